// The main window's settings file, operation log and firmware loading, in the
// headless backend. The same program runs under Wine, where the profile
// functions, share modes and the resource are the Windows ones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <new>

#include "MainFormDesign.h"
#include "TestFiles.h"
#include "TempDir.h"
#include "TestImages.h"
#include "firmware/FirmwareImage.h"
#include "gui/headless/Headless.h"
#include "link/DriverLibraries.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "ui/MainForm.h"
#include "ui/SettingsFile.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::uint8_t> Image(const char* version, std::size_t payload) { return TestImage(version, payload); }

class MainFormShellTest : public ::testing::Test {
protected:
  void SetUp() override {
    headless::Reset();
    SetMainThread();
    SetExecutableDirectory(app.Dir());
    hFtdiLib.store(LoadFtdiLibrary(FixturePath("ftd2xx").c_str()));
    hVxUsbLib.store(LoadVxUsbLibrary(FixturePath("vxusb").c_str()));
  }
  void TearDown() override {
    Destroy();
    SetExecutableDirectory("");
    SetCommandLineArguments({});
    SetLocalTimeSource(nullptr);
  }
  TMainForm& Start(std::vector<std::string> arguments = {}) {
    TMainForm& f = CreateMainForm(form, std::move(arguments));
    f.Show();
    return f;
  }
  void Destroy() { DestroyMainForm(form); }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < form->reLog.LineCount(); ++i) lines.push_back(form->reLog.Line(i));
    return lines;
  }
  std::string Ini() const { return app.Read(kSettingsFileName); }

  TempDir app;
  std::unique_ptr<TMainForm> form;
};

const std::string kNoDevice = "Прибор -------\t";

TEST_F(MainFormShellTest, SettingsAreReadAtShowAndWrittenAtDestruction) {
  app.Write(kSettingsFileName,
            "[COMMON]\r\nMainForm=100,50,800,600,1,200,0\r\nLastFile=c:\\old.eraw\r\nBDURL=http://x/\r\n"
            "[FILES]\r\na=x.eraw\r\n0=\r\n1=y.eraw\r\n2=z.eraw\r\n3=w.eraw\r\n");
  TMainForm& f = Start();
  EXPECT_EQ(f.Left(), 100);
  EXPECT_EQ(f.Top(), 50);
  EXPECT_EQ(f.Width(), 800);
  EXPECT_EQ(f.Height(), 600);
  EXPECT_TRUE(f.cbAutoWrite.Checked());
  EXPECT_EQ(f.reLog.Height(), 200);
  EXPECT_FALSE(f.cbWritelogToFile.Checked());
  EXPECT_EQ(f.FBdUrl, "http://x/");
  EXPECT_THAT(f.edFWFile.Items(), ElementsAre("x.eraw", "y.eraw", "z.eraw", "w.eraw"));
  /* default mode empties the box after the start-up load */
  EXPECT_EQ(f.edFWFile.Text(), "");

  /* written at destruction: current values, empty LastFile, FILES/0..3; the
     old key "a" stays and BDURL is not written */
  f.cbAutoWrite.SetChecked(false);
  f.SetBounds(120, 60, 900, 700);
  Destroy();
  const TStoredSettings s = ReadStoredSettings(TIniFile(app.File(kSettingsFileName)));
  EXPECT_THAT(s.MainForm, HasSubstr("120,60,900,700,0,"));
  EXPECT_EQ(s.LastFile, "");
  EXPECT_EQ(s.BdUrl, "http://x/");
  EXPECT_THAT(s.RecentFiles, ElementsAre("x.eraw", "x.eraw", "y.eraw", "z.eraw", "w.eraw"));
  EXPECT_EQ(Ini().find("BDURL=http://x/"), Ini().rfind("BDURL"));  // still the one line
}

TEST_F(MainFormShellTest, PlacementIsCheckedAgainstTheVirtualDesktop) {
  headless::SetVirtualDesktop(1920, 1080);
  app.Write(kSettingsFileName, "[COMMON]\r\nMainForm=5000,50,800,600\r\n");
  TMainForm& f = Start();
  const int designLeft = TMainForm().Left();
  EXPECT_EQ(f.Left(), designLeft);
  EXPECT_EQ(f.Top(), 50);
  EXPECT_EQ(f.Width(), 800);
  EXPECT_FALSE(f.cbAutoWrite.Checked());
  Destroy();

  /* three fields: nothing applied; the minimum width still holds */
  app.Write(kSettingsFileName, "[COMMON]\r\nMainForm=10,10,300\r\n");
  EXPECT_EQ(Start().Top(), TMainForm().Top());
  Destroy();
  app.Write(kSettingsFileName, "[COMMON]\r\nMainForm=10,10,300,500\r\n");
  EXPECT_EQ(Start().Width(), 680);
}

TEST_F(MainFormShellTest, ExternalModeKeepsLastFileAndTheCommandLineWins) {
  app.Write("last.eraw", Image("KOLV-9.2", 64));
  app.Write(kSettingsFileName, "[COMMON]\r\nLastFile=" + app.File("last.eraw") + "\r\n");
  TMainForm& f = Start({"-ExternFirmware"});
  EXPECT_EQ(f.edFWFile.Text(), app.File("last.eraw"));
  EXPECT_EQ(f.lblFileVer.Text(), "KOLV-9.2");
  EXPECT_EQ(f.lblFirmwDate.Text(), "02-03-2021 04:05:06");
  EXPECT_THAT(f.edFWFile.Items(), ElementsAre(app.File("last.eraw")));
  EXPECT_TRUE(f.edFWFile.Visible());
  Destroy();
  EXPECT_EQ(ReadStoredSettings(TIniFile(app.File(kSettingsFileName))).LastFile, app.File("last.eraw"));
}

TEST_F(MainFormShellTest, DefaultModeLoadsTheEmbeddedImage) {
  TMainForm& f = Start();
  EXPECT_THAT(LogLines(), ::testing::IsSupersetOf({kNoDevice + "Загружена прошивка из ресурсов",
                                                   kNoDevice + "Версия прошивки \"VXCR-1.9\"",
                                                   kNoDevice + "Дата компиляции \"18-03-2014 11:01:30\""}));
  EXPECT_EQ(f.lblFileVer.Text(), "VXCR-1.9");
  /* a load from the resource never enters the recent list */
  f.btnFwLoad.Click();
  EXPECT_TRUE(f.edFWFile.Items().empty());
  Destroy();
  EXPECT_THAT(Ini(), HasSubstr("LastFile=\r\n"));
}

TEST_F(MainFormShellTest, ExternalFilesTheDialogAndTheRecentList) {
  TMainForm& f = Start({"/externfirmware"});
  /* LastFile empty: the file-not-found line with an empty name */
  EXPECT_THAT(LogLines(), ::testing::IsSupersetOf({kNoDevice + "Загрузка прошивки: Файл  не найден",
                                                   kNoDevice + "Ошибка загрузки прошивки"}));
  EXPECT_EQ(f.lblFileVer.Text(), "Неизвестна");

  app.Write("a.eraw", Image("ZARU-3.4", 10));
  app.Write("b.raw", Image("VXWF-1.2", 10));
  /* a cancelled dialog loads nothing; it starts at the box's text */
  std::string offered;
  headless::SetOpenDialogHandler([&](TOpenDialog& d) {
    offered = d.FileName;
    return false;
  });
  f.edFWFile.SetText("start.eraw");
  const std::size_t before = f.reLog.LineCount();
  f.btnFwOpen.Click();
  EXPECT_EQ(offered, "start.eraw");
  EXPECT_EQ(f.reLog.LineCount(), before);
  EXPECT_EQ(f.OpenDialog1.Filter, "Encode Raw binary|*.eraw|Raw binary|*.raw|Any files|*.*");

  /* a chosen file is loaded: labels, log lines, the list gains it at the top */
  headless::SetOpenDialogHandler([&](TOpenDialog& d) {
    d.FileName = app.File("a.eraw");
    return true;
  });
  f.btnFwOpen.Click();
  EXPECT_EQ(f.lblFileVer.Text(), "ZARU-3.4");
  EXPECT_EQ(LogLines().back(), kNoDevice + "Дата компиляции \"02-03-2021 04:05:06\"");
  EXPECT_EQ(f.reLog.Line(f.reLog.LineCount() - 3), kNoDevice + "Загружена прошивка из файла \"" + app.File("a.eraw") + "\"");
  /* a ".raw" file loads the same way; the same path twice enters once; */
  f.edFWFile.SetText(app.File("b.raw"));
  f.btnFwLoad.Click();
  f.btnFwLoad.Click();
  EXPECT_THAT(f.edFWFile.Items(), ElementsAre(app.File("b.raw"), app.File("a.eraw")));
  /* the same path in another letter case is another entry (written as a
     second file, so that it loads on case-sensitive file systems too) */
  app.Write("B.raw", Image("VXWF-1.2", 10));
  f.edFWFile.SetText(app.File("B.raw"));
  f.btnFwLoad.Click();
  EXPECT_THAT(f.edFWFile.Items(), ElementsAre(app.File("B.raw"), app.File("b.raw"), app.File("a.eraw")));
  /* a failed load leaves the labels */
  f.edFWFile.SetText(app.File("gone.eraw"));
  f.btnFwLoad.Click();
  EXPECT_EQ(f.lblFileVer.Text(), "VXWF-1.2");
  EXPECT_EQ(f.reLog.Line(f.reLog.LineCount() - 1), kNoDevice + "Ошибка загрузки прошивки");
  EXPECT_EQ(f.reLog.Runs().back().Color, clRed);
  EXPECT_EQ(f.edFWFile.Items().size(), 3u);
}

TEST_F(MainFormShellTest, AFileOnTheCommandLineWinsOverLastFile) {
  // Named relative to the current directory: a leading "/" would be taken as
  // a switch prefix.
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(app.Dir());
  app.Write("cmd.eraw", Image("KOLV-9.5", 8));
  app.Write("last.eraw", Image("KOLV-9.1", 8));
  app.Write(kSettingsFileName, "[COMMON]\r\nLastFile=last.eraw\r\n");
  TMainForm& f = Start({"CMD.ERAW"});
  EXPECT_TRUE(f.FExternalFirmware);
  EXPECT_EQ(f.edFWFile.Text(), "cmd.eraw");
  EXPECT_EQ(f.lblFileVer.Text(), "KOLV-9.5");
  Destroy();
  EXPECT_EQ(ReadStoredSettings(TIniFile(app.File(kSettingsFileName))).LastFile, "cmd.eraw");
  std::filesystem::current_path(before);
}

TEST_F(MainFormShellTest, TooLargeAPayloadIsShownAndTheUpdaterGoesOn) {
  app.Write("big.eraw", OversizedImage());
  app.Write(kSettingsFileName, "[COMMON]\r\nLastFile=" + app.File("big.eraw") + "\r\n");
  hFtdiLib.store(nullptr);  // start-up has to look for it after the error

  TMainForm& f = Start({"-externfirmware"});
  /* the error box, then the rest of the start: the library search and the
     visible file box */
  ASSERT_EQ(headless::MessageBoxes().size(), 2u);
  EXPECT_EQ(headless::MessageBoxes()[0].Text, "Слишком большой размер блока прошивки");
  EXPECT_EQ(headless::MessageBoxes()[1].Text, "Драйвер устройств FTDI не установлен.");
  EXPECT_EQ(f.lblFileVer.Text(), "Неизвестна");
  EXPECT_TRUE(f.edFWFile.Visible());
  EXPECT_TRUE(f.Visible());
}

TEST_F(MainFormShellTest, LogColoursAndTheDailyFile) {
  TLocalTime now{2014, 3, 5, 23, 59, 59, 999};
  SetLocalTimeSource([&] { return now; });
  TMainForm& f = Start();
  const std::size_t first = f.reLog.LineCount();

  /* nothing goes to a file while the box is unchecked */
  f.DeviceLog(mkInfo, 5, "before");
  EXPECT_FALSE(FileExists(app.Dir() + "Logs" + kPathSeparator + "20140305.log"));

  f.cbWritelogToFile.SetChecked(true);
  f.DeviceLog(mkError, 1234567, "ошибка");
  now = {2014, 3, 6, 0, 0, 0, 1};
  f.DeviceLog(mkSuccess, 42, "готово");
  f.cbWritelogToFile.SetChecked(false);
  f.DeviceLog(mkInfo, 0, "after");
  f.cbWritelogToFile.SetChecked(true);
  f.DeviceLog(mkInfo, 0, "again");

  const std::string sep(1, kPathSeparator);
  EXPECT_EQ(app.Read("Logs" + sep + "20140305.log"), "[05.03.2014 23:59:59.999]\tПрибор 1234567\tошибка\r\n");
  EXPECT_EQ(app.Read("Logs" + sep + "20140306.log"),
            "[06.03.2014 00:00:00.001]\tПрибор      42\tготово\r\n"
            "[06.03.2014 00:00:00.001]\tПрибор -------\tagain\r\n");
  /* every line is in reLog, coloured by its kind */
  ASSERT_EQ(f.reLog.LineCount(), first + 5);
  EXPECT_EQ(f.reLog.Runs()[first].Color, clBlack);
  EXPECT_EQ(f.reLog.Runs()[first + 1].Color, clRed);
  EXPECT_EQ(f.reLog.Runs()[first + 2].Color, clGreen);
  EXPECT_EQ(f.reLog.Line(first + 3), kNoDevice + "after");

  /* the user's own selection stays where it was */
  f.reLog.SetSelection(3, 4);
  f.DeviceLog(mkError, 7, "x");
  int start = 0, length = 0;
  f.reLog.GetSelection(start, length);
  EXPECT_EQ(start, 3);
  EXPECT_EQ(length, 4);
}

TEST_F(MainFormShellTest, UnwritableSettingsAreReportedAndDevicesStillClosed) {
  using TCount = int(VX_WINAPI*)();
  auto closes = reinterpret_cast<TCount>(FindLibrarySymbol(hFtdiLib.load(), "FixtureCloseCount"));
  ASSERT_NE(closes, nullptr);
  TMainForm& f = Start();
  int handle = 0;
  auto entry = std::make_unique<TDevEntry>("101", kFtdiDeviceCode, lbFtdi);
  entry->FtHandle = &handle;
  f.FDevices.push_back(std::move(entry));
  f.FAppDir = app.File("missing-dir") + kPathSeparator;  // nowhere to write
  const int before = closes();
  const std::size_t boxes = headless::MessageBoxes().size();
  Destroy();
  ASSERT_EQ(headless::MessageBoxes().size(), boxes + 1);
  EXPECT_THAT(headless::MessageBoxes().back().Text, HasSubstr("VXFWLoader.ini"));
  EXPECT_EQ(closes(), before + 1);
}

TEST_F(MainFormShellTest, AHugeLastFileIsRefusedAtEveryStartAndTheWindowComesUp) {
  const std::string huge = app.File("disk.img");
  ASSERT_TRUE(MakeSparseFile(huge, std::uint64_t{3} << 30));
  app.Write(kSettingsFileName, "[COMMON]\r\nLastFile=" + huge + "\r\n");
  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE(start);
    TMainForm& f = Start({"-externfirmware"});
    /* refused with its lines, no error box, the window up as usual */
    EXPECT_THAT(LogLines(), ::testing::IsSupersetOf(
                                {kNoDevice + "Загрузка прошивки: Файл " + huge +
                                     " слишком большой (3221225472 байт), образ прошивки не больше 2228232 байт",
                                 kNoDevice + "Ошибка загрузки прошивки"}));
    EXPECT_TRUE(headless::MessageBoxes().empty());
    EXPECT_TRUE(f.Visible());
    EXPECT_EQ(f.lblFileVer.Text(), "Неизвестна");
    EXPECT_TRUE(f.edFWFile.Items().empty());
    Destroy();
    /* the box's path is kept as the last file, and the next start is the same */
    EXPECT_EQ(ReadStoredSettings(TIniFile(app.File(kSettingsFileName))).LastFile, huge);
  }
}

// A window whose every image load runs out of memory.
class TOutOfMemoryForm : public TMainForm {
public:
  bool LoadFirmware(TFirmwareBlockList&, TFirmwareVersion&) override { throw std::bad_alloc(); }
};

TEST_F(MainFormShellTest, AnyErrorOfTheStartUpLoadIsShownAndTheStartGoesOn) {
  SetCommandLineArguments({"-externfirmware"});
  form = std::make_unique<TOutOfMemoryForm>();
  MainForm = form.get();
  Application.MainForm = form.get();
  hFtdiLib.store(nullptr);  // start-up has to look for it after the error
  form->Show();
  ASSERT_EQ(headless::MessageBoxes().size(), 2u);
  EXPECT_EQ(headless::MessageBoxes()[0].Text, std::bad_alloc().what());
  EXPECT_EQ(headless::MessageBoxes()[1].Text, "Драйвер устройств FTDI не установлен.");
  EXPECT_TRUE(form->Visible());
  EXPECT_TRUE(form->edFWFile.Visible());
  /* the button does the same later, and the window stays */
  form->btnFwLoad.Click();
  EXPECT_EQ(headless::MessageBoxes().size(), 3u);
  EXPECT_TRUE(form->Visible());
}

TEST_F(MainFormShellTest, FilesThatCannotBeWrittenOrHaveGone) {
  app.Write("fw.eraw", Image("ZARU-3.4", 10));
  TMainForm& f = Start({"-externfirmware"});

  /* a log directory that cannot be made (a file stands in its place): every
     line is still in the window, and nobody is bothered */
  app.Write("Logs", std::string("not a directory"));
  f.cbWritelogToFile.SetChecked(true);
  const std::size_t lines = f.reLog.LineCount();
  f.DeviceLog(mkInfo, 7, "в окне");
  EXPECT_EQ(f.reLog.LineCount(), lines + 1);
  EXPECT_EQ(f.reLog.Line(lines), "Прибор       7\tв окне");
  EXPECT_EQ(app.Read("Logs"), "not a directory");

  /* a file deleted between choosing it and its load */
  headless::SetOpenDialogHandler([&](TOpenDialog& d) {
    d.FileName = app.File("fw.eraw");
    std::filesystem::remove(d.FileName);
    return true;
  });
  f.btnFwOpen.Click();
  EXPECT_EQ(f.edFWFile.Text(), app.File("fw.eraw"));
  EXPECT_THAT(LogLines(), ::testing::IsSupersetOf({kNoDevice + "Загрузка прошивки: Файл " + app.File("fw.eraw") +
                                                       " не найден",
                                                   kNoDevice + "Ошибка загрузки прошивки"}));
  EXPECT_TRUE(f.edFWFile.Items().empty());

  /* a name the dialog gives with a letter our texts cannot hold is not
     opened through its "?" */
  app.Write("x.eraw", Image("ZARU-3.5", 10));
  headless::SetOpenDialogHandler([&](TOpenDialog& d) {
    d.FileName = app.File("?.eraw");
    d.FileNameExact = false;
    return true;
  });
  f.edFWFile.SetText(app.File("x.eraw"));
  f.btnFwOpen.Click();
  EXPECT_EQ(f.edFWFile.Text(), app.File("x.eraw"));
  EXPECT_EQ(f.lblFileVer.Text(), "Неизвестна");
  EXPECT_EQ(f.reLog.Line(f.reLog.LineCount() - 2),
            kNoDevice + "Загрузка прошивки: Имя файла " + app.File("?.eraw") +
                " содержит знаки, которых нет в кодировке Windows-1251");

  /* a read-only settings file: one error box naming it at exit, the file
     byte for byte as it was, no temporary file left, and the exit goes on */
  const std::string before = "[COMMON]\r\nMainForm=1,2,800,600,0,100,0\r\nLastFile=old.eraw\r\n";
  app.Write(kSettingsFileName, before);
  ASSERT_TRUE(SetReadOnly(app.File(kSettingsFileName), true));
  const std::size_t boxes = headless::MessageBoxes().size();
  Destroy();
  ASSERT_EQ(headless::MessageBoxes().size(), boxes + 1);
  EXPECT_EQ(headless::MessageBoxes().back().Text,
            "Не удалось записать настройки в файл " + app.File(kSettingsFileName));
  EXPECT_EQ(app.Read(kSettingsFileName), before);
  EXPECT_FALSE(std::filesystem::exists(app.File(std::string(kSettingsFileName) + ".tmp")));
  EXPECT_TRUE(SetReadOnly(app.File(kSettingsFileName), false));
}

}  // namespace
