#include "ui/SettingsFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "TempDir.h"
#include "TestFiles.h"
#include "platform/Files.h"


namespace {

using ::testing::ElementsAre;

TEST(IniFile, ProfileStringRules) {
  // The same expectations hold for the Windows profile functions (under Wine)
  // and for our own implementation.
  TempDir dir;
  dir.Write("a.ini",
            "; comment\r\n[Common]\r\n  MainForm = 1,2,3,4 \r\nquoted=\"x y\"\r\n\r\n[FILES]\r\nb=one\r\n0=\r\na=two\r\n");
  TIniFile ini(dir.File("a.ini"));
  /* names without regard to case, white space dropped, quotes removed */
  EXPECT_EQ(ini.ReadString("COMMON", "mainform", "d"), "1,2,3,4");
  EXPECT_EQ(ini.ReadString("common", "QUOTED", "d"), "x y");
  EXPECT_EQ(ini.ReadString("COMMON", "missing", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("NOSECTION", "MainForm", "dflt"), "dflt");
  EXPECT_THAT(ini.ReadSectionKeys("FILES"), ElementsAre("b", "0", "a"));
  EXPECT_TRUE(ini.ReadSectionKeys("NONE").empty());

  /* writes replace a key in place, add new keys to their section, and are
     visible in the file at once */
  ASSERT_TRUE(ini.WriteString("FILES", "0", "zero"));
  ASSERT_TRUE(ini.WriteString("FILES", "1", "new"));
  ASSERT_TRUE(ini.WriteString("COMMON", "LastFile", "c:\\fw\\x.eraw"));
  EXPECT_EQ(TIniFile(dir.File("a.ini")).ReadString("FILES", "0", ""), "zero");
  EXPECT_THAT(ini.ReadSectionKeys("FILES"), ElementsAre("b", "0", "a", "1"));
  EXPECT_EQ(ini.ReadString("COMMON", "LastFile", ""), "c:\\fw\\x.eraw");
  EXPECT_EQ(ini.ReadString("Common", "MainForm", ""), "1,2,3,4");

  /* a file that does not exist yet is created by the first write */
  TIniFile fresh(dir.File("new.ini"));
  EXPECT_EQ(fresh.ReadString("COMMON", "MainForm", ""), "");
  ASSERT_TRUE(fresh.WriteString("COMMON", "MainForm", "5"));
  EXPECT_NE(dir.Read("new.ini").find("MainForm=5"), std::string::npos);

  /* a file that cannot be written */
  TIniFile unwritable(dir.File("no-such-dir/x.ini"));
  EXPECT_FALSE(unwritable.WriteString("COMMON", "MainForm", "1"));
}

TEST(IniFile, DamagedFilesReadAsTheProfileFunctionsReadThem) {
  // Files the fuzzer and the random settings test made; the Windows profile
  // functions (under Wine) read them so, and our own reader must agree.
  TempDir dir;
  /* a second section of the same name is not read; writes go to the first */
  dir.Write("twice.ini", "[FILES]\r\n0=a.eraw\r\n[COMMON]\r\nLastFile=x\r\n[files]\r\n0=b.eraw\r\n1=c.eraw\r\n");
  TIniFile twice(dir.File("twice.ini"));
  EXPECT_THAT(twice.ReadSectionKeys("FILES"), ElementsAre("0"));
  EXPECT_EQ(twice.ReadString("FILES", "1", "none"), "none");
  EXPECT_THAT(ReadStoredSettings(twice).RecentFiles, ElementsAre("a.eraw"));
  ASSERT_TRUE(twice.WriteString("FILES", "1", "d.eraw"));
  EXPECT_EQ(TIniFile(dir.File("twice.ini")).ReadString("FILES", "1", "none"), "d.eraw");
  EXPECT_EQ(twice.ReadString("COMMON", "LastFile", ""), "x");

  /* a line "=value" names no key */
  dir.Write("nameless.ini", "[FILES]\na=x.eraw\n=[Files]\n2=y.raw\n");
  const TIniFile nameless(dir.File("nameless.ini"));
  EXPECT_THAT(nameless.ReadSectionKeys("FILES"), ElementsAre("a", "2"));
  EXPECT_THAT(ReadStoredSettings(nameless).RecentFiles, ElementsAre("x.eraw", "y.raw"));

  /* a lone carriage return ends a line */
  dir.Write("cr.ini", "[COMMON]\rMainForm=100,50,800,600,1,200,0\r!BDURL=http://x/\rLastFile=f.eraw");
  const TIniFile cr(dir.File("cr.ini"));
  EXPECT_EQ(cr.ReadString("COMMON", "MainForm", ""), "100,50,800,600,1,200,0");
  EXPECT_THAT(cr.ReadSectionKeys("COMMON"), ElementsAre("MainForm", "!BDURL", "LastFile"));
  EXPECT_EQ(cr.ReadString("COMMON", "LastFile", ""), "f.eraw");
}

TEST(SettingsFile, Placement) {
  /* all seven applied */
  TWindowPlacement p = ParsePlacement("100,50,800,600,1,200,0", 1920, 1080);
  EXPECT_EQ(p.Left, 100);
  EXPECT_EQ(p.Top, 50);
  EXPECT_EQ(p.Width, 800);
  EXPECT_EQ(p.Height, 600);
  EXPECT_EQ(p.AutoWrite, true);
  EXPECT_EQ(p.LogHeight, 200);
  EXPECT_EQ(p.WriteLogToFile, false);
  /* negative left on one monitor: not applied; four fields leave the rest */
  p = ParsePlacement("-1900,50,800,600", 1920, 1080);
  EXPECT_FALSE(p.Left);
  EXPECT_EQ(p.Top, 50);
  EXPECT_EQ(p.Height, 600);
  EXPECT_FALSE(p.AutoWrite);
  EXPECT_FALSE(p.LogHeight);
  EXPECT_FALSE(p.WriteLogToFile);
  /* the left edge must lie 100 pixels inside the virtual desktop */
  EXPECT_FALSE(ParsePlacement("5000,50,800,600", 1920, 1080).Left);
  EXPECT_FALSE(ParsePlacement("1820,50,800,600", 1920, 1080).Left);
  EXPECT_EQ(ParsePlacement("1819,979,800,600", 1920, 1080).Left, 1819);
  EXPECT_FALSE(ParsePlacement("0,980,800,600", 1920, 1080).Top);
  EXPECT_EQ(ParsePlacement("5000,50,800,600", 7680, 1080).Left, 5000);
  /* fewer than four fields: nothing */
  p = ParsePlacement("10,10,800", 1920, 1080);
  EXPECT_FALSE(p.Left || p.Top || p.Width || p.Height || p.AutoWrite || p.LogHeight || p.WriteLogToFile);
  EXPECT_FALSE(ParsePlacement("", 1920, 1080).Width);
  /* five and six fields: the rest not applied; any non-zero value checks */
  p = ParsePlacement("1,2,3,4,7,9", 1920, 1080);
  EXPECT_EQ(p.AutoWrite, true);
  EXPECT_EQ(p.LogHeight, 9);
  EXPECT_FALSE(p.WriteLogToFile);
  EXPECT_EQ(FormatPlacement(-8, 10, 680, 500, true, 165, false), "-8,10,680,500,1,165,0");
}

TEST(SettingsFile, StoredValues) {
  TempDir dir;
  dir.Write("VXFWLoader.ini",
            "[COMMON]\r\nMainForm=1,2,3,4\r\nLastFile=c:\\last.eraw\r\n[FILES]\r\na=x.eraw\r\n0=\r\n1=y.eraw\r\n"
            "2=z.eraw\r\n3=w.eraw\r\n4=v.eraw\r\n");
  TIniFile ini(dir.File("VXFWLoader.ini"));
  TStoredSettings s = ReadStoredSettings(ini);
  EXPECT_EQ(s.MainForm, "1,2,3,4");
  EXPECT_EQ(s.LastFile, "c:\\last.eraw");
  EXPECT_EQ(s.BdUrl, kDefaultBdUrl);
  /* file order, any key names, empty values skipped */
  EXPECT_THAT(s.RecentFiles, ElementsAre("x.eraw", "y.eraw", "z.eraw", "w.eraw", "v.eraw"));

  /* writing three items keeps keys 3, 4 and a; BDURL is never written */
  WriteStoredSettings(ini, "9,9,700,500,0,100,1", "", {"x.eraw", "y.eraw", "q.eraw"});
  s = ReadStoredSettings(ini);
  EXPECT_EQ(s.MainForm, "9,9,700,500,0,100,1");
  EXPECT_EQ(s.LastFile, "");
  EXPECT_THAT(s.RecentFiles, ElementsAre("x.eraw", "x.eraw", "y.eraw", "q.eraw", "w.eraw", "v.eraw"));
  EXPECT_EQ(dir.Read("VXFWLoader.ini").find("BDURL"), std::string::npos);

  /* a settings file that cannot be written raises the error naming it */
  TIniFile bad(dir.File("missing-dir/VXFWLoader.ini"));
  try {
    WriteStoredSettings(bad, "1,2,3,4,0,0,0", "", {});
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("VXFWLoader.ini"));
  }
}

// Run under Wine with a Western locale as well (see tests/CMakeLists.txt):
// the names must mean the same files there as on a Russian Windows.
TEST(ForeignCodePage, CyrillicFoldersFilesAndSettingsAreTheSameOnEverySystem) {
#ifdef _WIN32
  std::printf("system ANSI code page: %u\n", GetACP());
  if (std::getenv("VX_EXPECT_FOREIGN_CODE_PAGE") != nullptr) {
    ASSERT_NE(GetACP(), 1251u) << "the locale did not take: this run needs an ANSI code page other than 1251";
  }
#endif
  TempDir dir;
  const std::string sep(1, kPathSeparator);
  const std::string folder = dir.Dir() + "Прошивки Вельмар";
  const std::string image = folder + sep + "образ.eraw";

  /* folders, a file written, found and read back */
  ASSERT_TRUE(CreateDirectories(folder + sep + "Логи"));
  ASSERT_TRUE(AppendToSharedFile(image, "образ"));
  EXPECT_TRUE(FileExists(image));
  EXPECT_FALSE(FileExists(folder + sep + "другой.eraw"));
  std::vector<std::uint8_t> read;
  ASSERT_TRUE(ReadWholeFileExclusive(image, read));
  EXPECT_EQ(std::string(read.begin(), read.end()), "образ");
#ifdef _WIN32
  /* on disk they carry the Cyrillic names, not the system code page's
     reading of their bytes */
  const std::u16string base = Cp1251ToUtf16(dir.Dir());
  const std::wstring wideFolder = std::wstring(base.begin(), base.end()) + L"Прошивки Вельмар";
  const DWORD logs = GetFileAttributesW((wideFolder + L"\\Логи").c_str());
  EXPECT_TRUE(logs != INVALID_FILE_ATTRIBUTES && (logs & FILE_ATTRIBUTE_DIRECTORY) != 0);
  EXPECT_NE(GetFileAttributesW((wideFolder + L"\\образ.eraw").c_str()), INVALID_FILE_ATTRIBUTES);
#endif

  /* the settings file in that folder keeps a Cyrillic path in Windows-1251 */
  const std::string settings = folder + sep + "VXFWLoader.ini";
  TIniFile ini(settings);
  ASSERT_TRUE(ini.WriteString("COMMON", "LastFile", image));
  ASSERT_TRUE(ini.WriteString("FILES", "0", image));
  EXPECT_EQ(TIniFile(settings).ReadString("COMMON", "LastFile", ""), image);
  EXPECT_THAT(TIniFile(settings).ReadSectionKeys("FILES"), ElementsAre("0"));
  std::string bytes;
  ASSERT_TRUE(ReadWholeFileShared(settings, bytes));
  EXPECT_EQ(bytes, "[COMMON]\r\nLastFile=" + image + "\r\n[FILES]\r\n0=" + image + "\r\n");
  EXPECT_NE(bytes.find("\xCF\xF0\xEE\xF8\xE8\xE2\xEA\xE8"), std::string::npos);  // Прошивки

  /* a read-only settings file is refused and keeps its contents */
  ASSERT_TRUE(ReplaceFileContents(settings, "[COMMON]\r\nLastFile=x\r\n"));
  ASSERT_TRUE(SetReadOnly(settings, true));
  EXPECT_FALSE(TIniFile(settings).WriteString("COMMON", "LastFile", "y"));
  ASSERT_TRUE(ReadWholeFileShared(settings, bytes));
  EXPECT_EQ(bytes, "[COMMON]\r\nLastFile=x\r\n");
  EXPECT_TRUE(SetReadOnly(settings, false));
}

}  // namespace
