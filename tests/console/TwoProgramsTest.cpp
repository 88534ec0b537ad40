// The window and the console flasher on one bench: both programs from one
// folder, each with its own simulated devices and a node another program
// holds open, flashing at the same time into the same day's log file and the
// same record of flashes. Both finish every flash, and the files hold every
// line and row of both, whole.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CsvRead.h"
#include "DeviceDump.h"
#include "JsonLines.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string Device(const char* library, int serial, const std::string& extra = "") {
  std::string d = std::string("[device]\nlibrary = ") + library + "\nserial = " + std::to_string(serial) +
                  "\nprocessor = 0x26013F37\nfirmware_version = VXCR-1.8\nloader_version = VXBL-1.05\n";
  if (std::string(library) == "vxusb") d += "code = 0x0A01\n";
  return d + extra;
}

// A scenario of three boot-loader devices from `first` on, and after them an
// adapter another program holds open.
std::string Bench(int first) {
  return Device("ftdi", first) + Device("vxusb", first + 1) + Device("ftdi", first + 2) +
         Device("ftdi", first + 9, "open_elsewhere = 1\n");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

BOOL CALLBACK FindMainForm(HWND hwnd, LPARAM arg) {
  auto* found = reinterpret_cast<std::pair<DWORD, HWND>*>(arg);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  wchar_t name[32] = {};
  GetClassNameW(hwnd, name, 32);
  if (owner == found->first && std::wstring(name) == L"TMainForm") found->second = hwnd;
  return TRUE;
}

// The records of the day's log file: every line whole ("[stamp]\t" text CR
// LF), in the file's order.
std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    EXPECT_NE(end, std::string::npos) << "a torn last line";
    if (end == std::string::npos) break;
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    EXPECT_TRUE(line.size() > 27 && line[0] == '[' && line[24] == ']' && line[25] == '\t') << line;
    lines.push_back(line.substr(26));
  }
  return lines;
}

TEST(TwoPrograms, TheWindowAndTheConsoleFlasherAtOnceFinishEveryFlashAndLoseNoLine) {
  TempDir stage;
  const fs::path bin(VX_BIN_DIR);
  for (const char* name : {"vxflash.exe", "ftd2xx.dll", "VXUSB.dll", "vxsim.dll"})
    fs::copy_file(bin / name, stage.File(name));
  fs::copy_file(VX_WINDOW_PATH, stage.File("vxfwloader.exe"));
  // Automatic flashing and the day's file on.
  stage.Write("VXFWLoader.ini", "[COMMON]\r\nMainForm=10,10,800,600,1,200,1\r\n");
  stage.Write("window.txt", Bench(3101));
  stage.Write("console.txt", Bench(4101));
  fs::create_directories(stage.File("window-dump"));
  fs::create_directories(stage.File("console-dump"));

  /* the window, with its own devices */
  SetEnvironmentVariableW(L"VXSIM_SCENARIO", Wide(stage.File("window.txt")).c_str());
  SetEnvironmentVariableW(L"VXSIM_DUMP", Wide(stage.File("window-dump")).c_str());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION window{};
  std::wstring cmd = L"\"" + Wide(stage.File("vxfwloader.exe")) + L"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, Wide(stage.Dir()).c_str(), &si,
                             &window));

  /* the console flasher beside it, with its own */
  const TChildResult console = RunChild(stage.File("vxflash.exe"), {"flash", "--all", "--expect", "3", "--json"},
                                        {{"VXSIM_SCENARIO", stage.File("console.txt")},
                                         {"VXSIM_DUMP", stage.File("console-dump")}},
                                        {}, 120000);
  EXPECT_EQ(console.ExitCode, 0) << console.Err;
  const std::vector<TJson> objects = JsonLines(console.Out);
  const auto summary = std::find_if(objects.begin(), objects.end(), [](const TJson& o) {
    return o.count("event") != 0 && o.at("event").Text == "summary";
  });
  ASSERT_NE(summary, objects.end()) << console.Out;
  std::vector<long long> flashed;
  for (const TJsonValue& v : summary->at("flashed").Items) flashed.push_back(v.Int());
  std::sort(flashed.begin(), flashed.end());
  EXPECT_EQ(flashed, (std::vector<long long>{4101, 4102, 4103}));

  /* the window's three flashes reach the record; then it is closed */
  const std::string record = stage.File("Logs\\flashes.csv");
  const auto windowRows = [&] {
    bool whole = false;
    int rows = 0;
    for (const auto& row : ParseCsv(ReadFile(record), whole))
      if (row.size() > 2 && row[1] == "vxfwloader") ++rows;
    return rows;
  };
  for (int waited = 0; windowRows() < 3 && waited < 60000; waited += 100) Sleep(100);
  EXPECT_EQ(windowRows(), 3);
  std::pair<DWORD, HWND> main{window.dwProcessId, nullptr};
  EnumWindows(FindMainForm, reinterpret_cast<LPARAM>(&main));
  ASSERT_NE(main.second, nullptr);
  PostMessageW(main.second, WM_CLOSE, 0, 0);
  DWORD windowExit = STILL_ACTIVE;
  if (WaitForSingleObject(window.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(window.hProcess, &windowExit);
  else TerminateProcess(window.hProcess, 99);
  CloseHandle(window.hProcess);
  CloseHandle(window.hThread);
  EXPECT_EQ(windowExit, 0u);

  /* every device of both holds the image and got its finishing request; the
     adapter held elsewhere was never touched */
  for (const char* dump : {"window-dump", "console-dump"})
    for (int device = 0; device < 4; ++device) {
      SCOPED_TRACE(dump);
      const TDeviceDump left(stage.File(dump), device);
      if (device == 3) {
        left.ExpectUntouched();
      } else {
        left.ExpectFlashedWithImage();
      }
    }

  /* the day's file: every line whole; every device's sector lines one after
     another, none missing, and its result; the two programs' lines mixed,
     so they were written at the same time */
  std::string text;
  for (const auto& entry : fs::directory_iterator(stage.File("Logs")))
    if (entry.path().extension() == ".log") text += ReadFile(entry.path().string());
  const std::vector<std::string> lines = LogLines(text);
  int lastProgram = -1, switches = 0;
  for (const int serial : {3101, 3102, 3103, 4101, 4102, 4103}) {
    SCOPED_TRACE(serial);
    const std::string prefix = "Прибор    " + std::to_string(serial) + "\t";
    int nextSector = -1, sectors = 0, results = 0;
    for (const std::string& line : lines) {
      if (line.rfind(prefix, 0) != 0) continue;
      // Each sector is begun ("Перепрошивка сектора N:", or "Сектор N пустой.
      // Пропускаем.") after the one before it, and a begun one is written
      // ("Сектор N записан").
      const auto number = [&](const char* before, const char* after) {
        const std::size_t at = line.find(before);
        if (at == std::string::npos || line.find(after, at) == std::string::npos) return -1;
        return std::atoi(line.c_str() + at + std::string(before).size());
      };
      int n = number("Перепрошивка сектора ", ":");
      if (n < 0) n = number("Сектор ", "пустой");
      if (n >= 0) {
        if (nextSector >= 0) {
          EXPECT_EQ(n, nextSector) << line;
        }
        nextSector = n + 1;
        ++sectors;
      }
      const int written = number("Сектор ", "записан");
      if (written >= 0) {
        EXPECT_EQ(written, nextSector - 1) << line;
      }
      if (line.find("Прошивка завершена успешно") != std::string::npos) ++results;
    }
    EXPECT_GT(sectors, 0);
    EXPECT_EQ(results, 1);
  }
  for (const std::string& line : lines) {
    const int program = line.rfind("Прибор    31", 0) == 0 ? 0 : line.rfind("Прибор    41", 0) == 0 ? 1 : -1;
    if (program < 0) continue;
    if (lastProgram >= 0 && program != lastProgram) ++switches;
    lastProgram = program;
  }
  EXPECT_GE(switches, 2) << "the two programs' flashes did not overlap (" << switches << " switches)";

  /* the record: six rows that parse, each flash once, all succeeded */
  bool whole = false;
  const auto rows = ParseCsv(ReadFile(record), whole);
  EXPECT_TRUE(whole);
  ASSERT_EQ(rows.size(), 7u);
  std::vector<std::string> serials;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), rows[0].size());
    const std::string program = rows[i][2][0] == '3' ? "vxfwloader" : "vxflash";
    EXPECT_EQ(rows[i][1], program);
    EXPECT_EQ(rows[i][10], "0");
    serials.push_back(rows[i][2]);
  }
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::string>{"3101", "3102", "3103", "4101", "4102", "4103"}));
}

}  // namespace
