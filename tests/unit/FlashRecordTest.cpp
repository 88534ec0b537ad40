// The record of finished flashes: its line format, and appending to it from
// several threads and programs at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "CsvRead.h"
#include "TempDir.h"
#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/Ticks.h"
#include "records/FlashRecord.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const std::string kBom = "\xEF\xBB\xBF";

TFlashRecord Awkward() {
  TFlashRecord r;
  r.Time = {2026, 3, 5, 9, 7, 3, 120};
  r.Program = "vxfwloader";
  r.Serial = -1;
  r.Library = "ftd2xx";
  r.ProcessorId = 0x26013F37;
  r.FirmwareBefore = " VXCR-1.8";  // a leading blank a spreadsheet would drop
  r.LoaderVersion = "VXBL-1.05";
  r.ImageVersion = "VXCR-2.0b";
  r.ImageChecksum = 0x0000ABCD;
  r.ImageFile = "C:\\Прошивки\\образ; \"новый\"\r\nвторая строка.eraw";
  r.Result = 6;
  r.ResultText = "Ошибка 6 при обновлении прошивки";
  r.LastAnswer = 128;
  r.ElapsedMs = 4321;
  r.BlocksWritten = 17;
  r.Retries = 2;
  r.Timeouts = 3;
  r.LongestAnswerMs = 25;
  r.MeanAnswerMs = 9;
  return r;
}

TEST(FlashRecord, FieldsAreQuotedOnlyWhereASpreadsheetWouldMisreadThem) {
  const std::map<std::string, std::string> cases = {
      {"", ""},
      {"VXCR-1.9", "VXCR-1.9"},
      {"a;b", "\"a;b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"lf\nonly", "\"lf\nonly\""},
      {" lead", "\" lead\""},
      {"trail ", "\"trail \""},
      {"in side", "in side"},
  };
  for (const auto& [text, field] : cases) EXPECT_EQ(CsvField(text), field) << text;
}

TEST(FlashRecord, ALineHoldsEveryColumnInUtf8AndReadsBackAsWritten) {
  const std::string header = FlashRecordHeader();
  ASSERT_EQ(header.substr(0, 3), kBom);
  const std::string line = FlashRecordLine(Awkward());
  ASSERT_GE(line.size(), 2u);
  EXPECT_NE(line.find(reinterpret_cast<const char*>(u8"Прошивки")), std::string::npos) << "UTF-8 in the file";
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");

  bool whole = false;
  const auto rows = ParseCsv(header.substr(3) + line, whole);
  ASSERT_TRUE(whole);
  ASSERT_EQ(rows.size(), 2u) << "the newline inside the file name stays inside its field";
  const std::vector<std::string> expected = {
      "05.03.2026 09:07:03", "vxfwloader", "-1", "ftd2xx", "0x26013F37", " VXCR-1.8", "VXBL-1.05", "VXCR-2.0b",
      "0x0000ABCD", "C:\\Прошивки\\образ; \"новый\"\r\nвторая строка.eraw", "6", "Ошибка 6 при обновлении прошивки",
      "128", "4321", "17", "2", "3", "25", "9"};
  EXPECT_EQ(rows[1], expected);
  ASSERT_EQ(rows[0].size(), expected.size());
  EXPECT_EQ(rows[0][0], "Дата и время");
  EXPECT_EQ(rows[0][2], "Серийный номер");
  EXPECT_EQ(rows[0][16], "Тайм-аутов");

  TFlashRecord embedded = Awkward();
  embedded.ImageFile.clear();
  EXPECT_EQ(ParseCsv(FlashRecordLine(embedded), whole)[0][9], "embedded");
}

TEST(FlashRecord, NoDeviceTextOrFileNameBecomesAFormula) {
  /* each text from a device or a file, beginning with what a spreadsheet takes for a formula */
  for (const std::string lead : {"=", "+", "-", "@", "\t", "\r"}) {
    TFlashRecord r = Awkward();
    r.FirmwareBefore = lead + "1+2-1.8";
    r.LoaderVersion = lead + "VXBL-1.05";
    r.ImageVersion = lead + "HYPERLINK(\"x\")-2.0";
    r.ImageFile = lead + "cmd|' /c calc'!A1";
    bool whole = false;
    const auto rows = ParseCsv(FlashRecordLine(r), whole);
    ASSERT_EQ(rows.size(), 1u);
    const std::vector<std::string> texts(rows[0].begin() + 5, rows[0].begin() + 10);
    EXPECT_EQ(texts, (std::vector<std::string>{"'" + r.FirmwareBefore, "'" + r.LoaderVersion, "'" + r.ImageVersion,
                                               "0x0000ABCD", "'" + r.ImageFile}))
        << static_cast<int>(lead[0]);
    EXPECT_EQ(rows[0][2], "-1") << "a number of our own stays a number";
  }
  /* such a character further in stays; a text's own first apostrophe gets one more */
  TFlashRecord r = Awkward();
  r.FirmwareBefore = "VXCR-1.8=x";
  r.ImageFile = "'quoted.eraw";
  bool whole = false;
  const auto rows = ParseCsv(FlashRecordLine(r), whole);
  EXPECT_EQ(rows[0][5], "VXCR-1.8=x");
  EXPECT_EQ(rows[0][9], "''quoted.eraw");
}

TEST(FlashRecord, Crc32IsTheCommonOneAndCanBeChained) {
  const std::string check = "123456789";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(check.data());
  EXPECT_EQ(Crc32(bytes, check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(bytes + 4, 5, Crc32(bytes, 4)), 0xCBF43926u);
  EXPECT_EQ(Crc32(bytes, 0), 0u);
}

TEST(FlashRecord, ANewFileGetsTheHeaderOnceAndAnExistingOneOnlyRows) {
  TempDir dir;
  const std::string path = FlashRecordPath(dir.Dir());
  const TFlashRecord r = Awkward();
  ASSERT_TRUE(AppendFlashRecord(path, r)) << "the Logs folder is made as needed";
  ASSERT_TRUE(AppendFlashRecord(path, r));
  EXPECT_EQ(dir.Read("Logs/flashes.csv"), FlashRecordHeader() + FlashRecordLine(r) + FlashRecordLine(r));

  // A file that already holds lines (an older header included) gets rows only.
  dir.Write("Logs/flashes.csv", "old;header\r\n");
  ASSERT_TRUE(AppendFlashRecord(path, r));
  EXPECT_EQ(dir.Read("Logs/flashes.csv"), "old;header\r\n" + FlashRecordLine(r));
}

TEST(FlashRecord, ALineTornByAKilledProgramIsClosedAndEveryLaterRowParses) {
  const TFlashRecord r = Awkward();
  const std::string line = FlashRecordLine(r);
  const std::size_t inQuotes = line.find("\"C:") + 10;  // within the quoted file name
  const struct {
    const char* label;
    std::string torn;
  } cases[] = {
      {"cut between fields", line.substr(0, 40)},
      {"cut inside a quoted field", line.substr(0, inQuotes)},
      {"cut between CR and LF", line.substr(0, line.size() - 1)},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = FlashRecordPath(dir.Dir());
    ASSERT_TRUE(AppendFlashRecord(path, r));
    const std::string before = dir.Read("Logs/flashes.csv") + c.torn;
    dir.Write("Logs/flashes.csv", before);
    ASSERT_TRUE(AppendFlashRecord(path, r)) << c.label;
    ASSERT_TRUE(AppendFlashRecord(path, r)) << c.label;
    const std::string after = dir.Read("Logs/flashes.csv");
    EXPECT_EQ(after.substr(0, before.size()), before) << c.label << ": the torn line stays as evidence";
    bool whole = false;
    const auto rows = ParseCsv(after.substr(3), whole);
    EXPECT_TRUE(whole) << c.label;
    ASSERT_EQ(rows.size(), 5u) << c.label << ": header, row, torn row, two rows";
    const auto expected = ParseCsv(line, whole)[0];
    EXPECT_EQ(rows[1], expected) << c.label;
    EXPECT_EQ(rows[3], expected) << c.label;
    EXPECT_EQ(rows[4], expected) << c.label;
  }
}

TEST(FlashRecord, AFileThatCannotBeWrittenFailsWithinAboutASecond) {
  TempDir dir;
  // A folder where the file should be: it cannot be opened as a file.
  std::filesystem::create_directories(dir.File("Logs/flashes.csv"));
  const std::uint32_t start = SystemTickCount();
  EXPECT_FALSE(AppendFlashRecord(FlashRecordPath(dir.Dir()), Awkward()));
  EXPECT_LT(SystemTickCount() - start, 1500u);
}

#ifdef _WIN32
TEST(FlashRecord, AReaderThatDeniesWritingCostsTheLineAndAboutASecondOnly) {
  TempDir dir;
  const std::string path = FlashRecordPath(dir.Dir());
  ASSERT_TRUE(AppendFlashRecord(path, Awkward()));
  const std::wstring name = WidePath(path);
  {
    // A spreadsheet that lets others read but not write.
    HANDLE reader = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const std::uint32_t start = SystemTickCount();
    EXPECT_FALSE(AppendFlashRecord(path, Awkward()));
    EXPECT_LT(SystemTickCount() - start, 1500u);
    CloseHandle(reader);
  }
  {
    // One that lets others write as well does not stand in the way.
    HANDLE reader = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(AppendFlashRecord(path, Awkward()));
    CloseHandle(reader);
  }
  EXPECT_EQ(dir.Read("Logs/flashes.csv"), FlashRecordHeader() + FlashRecordLine(Awkward()) + FlashRecordLine(Awkward()));
}
#endif

// Every line of the file whole, the header once at the start, and for each
// program the serials 0 .. count-1 exactly once.
void ExpectAllLines(const std::string& text, const std::vector<std::string>& programs, int count) {
  ASSERT_EQ(text.substr(0, FlashRecordHeader().size()), FlashRecordHeader());
  bool whole = false;
  const auto rows = ParseCsv(text.substr(3), whole);
  ASSERT_TRUE(whole) << "the file ends with a whole line";
  ASSERT_EQ(rows.size(), 1 + programs.size() * static_cast<std::size_t>(count));
  std::map<std::string, std::vector<int>> seen;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), rows[0].size()) << "line " << i;
    EXPECT_EQ(rows[i][9], "файл; с \"кавычками\"\r\nи переводом строки") << "line " << i;
    seen[rows[i][1]].push_back(std::stoi(rows[i][2]));
  }
  for (const std::string& p : programs) {
    std::vector<int> serials = seen[p];
    std::sort(serials.begin(), serials.end());
    std::vector<int> expected(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(serials, expected) << p;
  }
}

TEST(FlashRecord, SeveralThreadsAppendingAtOnceLoseAndMixNoLine) {
  TempDir dir;
  const std::string path = FlashRecordPath(dir.Dir());
  constexpr int kCount = 60;
  const std::vector<std::string> programs = {"t1", "t2", "t3", "t4"};
  std::vector<std::thread> threads;
  for (const std::string& p : programs)
    threads.emplace_back([&path, p] {
      for (int i = 0; i < kCount; ++i) {
        TFlashRecord r;
        r.Program = p;
        r.Serial = i;
        r.ImageFile = "файл; с \"кавычками\"\r\nи переводом строки";
        EXPECT_TRUE(AppendFlashRecord(path, r));
      }
    });
  for (auto& t : threads) t.join();
  ExpectAllLines(dir.Read("Logs/flashes.csv"), programs, kCount);
}

// Starts the appender program; Wait returns its exit status.
class TAppender {
public:
  TAppender(const std::string& path, const std::string& program, int count, const std::string& mode = "record") {
    const std::string exe = VX_APPENDER_PATH;
#ifdef _WIN32
    std::wstring cmd = L"\"" + std::wstring(exe.begin(), exe.end()) + L"\" " + std::wstring(mode.begin(), mode.end()) +
                       L" \"" +
                       std::wstring(path.begin(), path.end()) + L"\" " +
                       std::wstring(program.begin(), program.end()) + L" " + std::to_wstring(count);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      FProcess = pi.hProcess;
    }
#else
    const std::string n = std::to_string(count);
    FPid = fork();
    if (FPid == 0) {
      execl(exe.c_str(), exe.c_str(), mode.c_str(), path.c_str(), program.c_str(), n.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
#endif
  }
  int Wait() {
#ifdef _WIN32
    if (FProcess == nullptr) return -1;
    WaitForSingleObject(FProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(FProcess, &code);
    CloseHandle(FProcess);
    FProcess = nullptr;
    return static_cast<int>(code);
#else
    if (FPid <= 0) return -1;
    int status = 0;
    waitpid(FPid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  }

private:
#ifdef _WIN32
  HANDLE FProcess = nullptr;
#else
  pid_t FPid = -1;
#endif
};

TEST(FlashRecord, TwoProgramsAppendingAtOnceLoseAndMixNoLine) {
  TempDir dir;
  const std::string path = FlashRecordPath(dir.Dir());
  std::filesystem::create_directories(dir.File("Logs"));
  constexpr int kCount = 200;
  TAppender first(path, "p1", kCount);
  TAppender second(path, "p2", kCount);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(second.Wait(), 0);
  ExpectAllLines(dir.Read("Logs/flashes.csv"), {"p1", "p2"}, kCount);
}

TEST(DaysLogFile, TwoProgramsWritingItAtOnceLoseNoLine) {
  TempDir dir;
  constexpr int kCount = 2000;
  std::string folder = dir.Dir();
  folder.pop_back();  // its separator: see the appender
  TAppender first(folder, "p1", kCount, "log");
  TAppender second(folder, "p2", kCount, "log");
  EXPECT_EQ(first.Wait(), 0) << "a line of p1 could not be written";
  EXPECT_EQ(second.Wait(), 0) << "a line of p2 could not be written";
  // Every line whole, each program's lines in its own order (a test run
  // across midnight would split them over two files: read every one).
  std::string text;
  for (const auto& f : std::filesystem::directory_iterator(dir.File("Logs")))
    text += dir.Read("Logs/" + f.path().filename().string());
  int next[2] = {0, 0};
  std::size_t at = 0, lines = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "a torn last line";
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    ++lines;
    const std::size_t tab = line.find("]\t");
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string body = line.substr(tab + 2);
    ASSERT_TRUE(body.rfind("p1 ", 0) == 0 || body.rfind("p2 ", 0) == 0) << line;
    const int who = body[1] - '1';
    EXPECT_EQ(body.substr(3), std::to_string(next[who])) << line;
    next[who] = std::stoi(body.substr(3)) + 1;
  }
  EXPECT_EQ(lines, 2u * kCount);
  EXPECT_EQ(next[0], kCount);
  EXPECT_EQ(next[1], kCount);
}

}  // namespace
