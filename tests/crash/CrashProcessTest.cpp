// The updater's executable, and the console flasher's, made to crash on
// purpose (a development build's VX_CRASH_TEST) with simulated devices: the
// report folder it leaves, the dialog the updater shows (the console flasher
// says where the report is instead), and how it ends. Needs an X display
// (xvfb-run).
#include <filesystem>
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "JsonLines.h"
#include "Win32Pump.h"
#include "crash/ReportText.h"
#include "platform/Ticks.h"

namespace {

// Every case ends within this, whatever the updater does.
constexpr std::uint32_t kCaseBound = 60000;

std::wstring Dir(const char* path) { return WindowsPath(path) + L"\\"; }

struct TStageOptions {
  bool BlockLogs = false;     // a file named Logs: the folder beside the program cannot be made
  const char* Fault = "";     // a fault of the first device's scenario
  bool SlowSecond = false;    // a second device whose flash is still running at the crash
};

// The user's local application data of the updater under test, named in
// letters outside Windows-1251, so that only wide paths reach it.
const wchar_t* const kLocalData = L"local \u03A9\u6587";

class TCrashStage {
public:
  explicit TCrashStage(const TStageOptions& options = {}) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    FDir = std::wstring(temp) + L"vxcrash" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
    CreateDirectoryW(FDir.c_str(), nullptr);
    CopyFileW((Dir(VX_APP_DIR) + L"vxfwloader.exe").c_str(), (FDir + L"\\vxfwloader.exe").c_str(), FALSE);
    for (const wchar_t* dll : {L"vxflash.exe", L"ftd2xx.dll", L"VXUSB.dll", L"vxsim.dll"})
      CopyFileW((Dir(VX_SIM_DIR) + dll).c_str(), (FDir + L"\\" + dll).c_str(), FALSE);
    // Boot-loader devices; each flashed as soon as it is found.
    std::string scenario =
        "[device]\nlibrary = ftdi\nserial = 1234567\nprocessor = 0x26013F37\n"
        "firmware_version = VXCR-1.8\nloader_version = VXBL-1.05\n";
    if (*options.Fault != '\0') scenario += std::string("fault = ") + options.Fault + "\n";
    if (options.SlowSecond)
      scenario += "[device]\nlibrary = ftdi\nserial = 7654321\nprocessor = 0x26013F37\n"
                  "firmware_version = VXCR-1.8\nloader_version = VXBL-1.05\nlatency = 40\n";
    WriteText(L"scenario.txt", scenario);
    WriteText(L"VXFWLoader.ini", "[COMMON]\r\nMainForm=100,100,680,500,1,165,1\r\n");
    if (options.BlockLogs) WriteText(L"Logs", "");
  }
  ~TCrashStage() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(FDir), ignored);
  }

  const std::wstring& Path() const { return FDir; }
  std::wstring FallbackLogs() const { return FDir + L"\\" + kLocalData + L"\\VXFWLoader\\Logs"; }

  PROCESS_INFORMATION Start(const char* crashTest) const {
    const TCrashEnvironment environment(*this, crashTest);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const std::wstring exe = FDir + L"\\vxfwloader.exe";
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, FDir.c_str(), &si, &pi))
      ADD_FAILURE() << "cannot start the updater, error " << GetLastError();
    return pi;
  }

  // The console flasher as a bench script runs it, to its end.
  TChildResult RunConsole(const char* crashTest, std::uint32_t limitMs) const {
    const TCrashEnvironment environment(*this, crashTest);
    char exe[MAX_PATH];
    WideCharToMultiByte(1251, 0, (FDir + L"\\vxflash.exe").c_str(), -1, exe, MAX_PATH, nullptr, nullptr);
    return RunChild(exe, {"flash", "--all", "--json"}, {}, {}, static_cast<int>(limitMs));
  }

  // The report folders in `logs`.
  static std::vector<std::wstring> ReportFolders(const std::wstring& logs) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((logs + L"\\crash-*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return found;
    do
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) found.push_back(logs + L"\\" + fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return found;
  }

private:
  // What the program under test inherits, for the life of one start.
  class TCrashEnvironment {
  public:
    TCrashEnvironment(const TCrashStage& stage, const char* crashTest) {
      SetEnvironmentVariableA("VX_CRASH_TEST", *crashTest != '\0' ? crashTest : nullptr);
      SetEnvironmentVariableW(L"VXSIM_SCENARIO", (stage.FDir + L"\\scenario.txt").c_str());
      GetEnvironmentVariableW(L"LOCALAPPDATA", FLocal, MAX_PATH);
      SetEnvironmentVariableW(L"LOCALAPPDATA", (stage.FDir + L"\\" + kLocalData).c_str());
    }
    ~TCrashEnvironment() {
      SetEnvironmentVariableA("VX_CRASH_TEST", nullptr);
      SetEnvironmentVariableW(L"LOCALAPPDATA", FLocal[0] != L'\0' ? FLocal : nullptr);
    }
    TCrashEnvironment(const TCrashEnvironment&) = delete;
    TCrashEnvironment& operator=(const TCrashEnvironment&) = delete;

  private:
    wchar_t FLocal[MAX_PATH] = {};
  };

  void WriteText(const wchar_t* name, const std::string& text) const {
    HANDLE file = CreateFileW((FDir + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE) return;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
  }
  std::wstring FDir;
};

struct TDialog {
  HWND Hwnd = nullptr;
  std::wstring Text;
};

BOOL CALLBACK CollectCrashDialog(HWND hwnd, LPARAM arg) {
  auto* search = reinterpret_cast<std::pair<DWORD, TDialog>*>(arg);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner == search->first && IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770" &&
      TextOf(hwnd) == W("Velmar Firmware Loader")) {
    wchar_t text[4096] = {};
    GetDlgItemTextW(hwnd, 0xFFFF, text, 4096);
    search->second = {hwnd, text};
    return FALSE;
  }
  return TRUE;
}

// The process's dialog once its text holds `containing`; none (and the text
// seen last in `seen`) when it does not come within `ms`.
TDialog WaitForDialog(DWORD pid, std::uint32_t ms, const std::wstring& containing, std::wstring* seen = nullptr) {
  std::pair<DWORD, TDialog> search{pid, {}};
  const bool found = PumpUntil(
      [&] {
        search.second = {};
        EnumWindows(CollectCrashDialog, reinterpret_cast<LPARAM>(&search));
        if (seen != nullptr && search.second.Hwnd != nullptr) *seen = search.second.Text;
        return search.second.Hwnd != nullptr && search.second.Text.find(containing) != std::wstring::npos;
      },
      ms);
  return found ? search.second : TDialog{};
}

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 3 + 1, '\0');
  out.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(),
                          static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

std::wstring ButtonText(HWND box, int id) {
  wchar_t text[128] = {};
  GetDlgItemTextW(box, id, text, 128);
  return text;
}

std::wstring ClipboardText() {
  std::wstring text;
  if (!OpenClipboard(nullptr)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = p;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

// What a minidump holds, read back through dbghelp from System32.
struct TDumpContents {
  bool Read = false;
  std::uint32_t ExceptionCode = 0;
  std::uint32_t ExceptionThread = 0;
  std::uint64_t ExceptionAddress = 0;
  bool ThreadListed = false;  // the exception's thread is among the dump's threads
  std::uint32_t Modules = 0;
  bool HasProgramModule = false;
  std::wstring FaultingModule;  // the file name of the module that holds the exception's address
};

TDumpContents ReadDump(const std::wstring& path, const wchar_t* program) {
  TDumpContents c;
  wchar_t dll[MAX_PATH];
  GetSystemDirectoryW(dll, MAX_PATH);
  wcscat(dll, L"\\dbghelp.dll");
  HMODULE dbghelp = LoadLibraryW(dll);
  using TRead = BOOL(WINAPI*)(PVOID, ULONG, PMINIDUMP_DIRECTORY*, PVOID*, ULONG*);
  const auto read = dbghelp != nullptr
                        ? reinterpret_cast<TRead>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpReadDumpStream")))
                        : nullptr;
  if (read == nullptr) return c;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return c;
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  void* base = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (base != nullptr) {
    PMINIDUMP_DIRECTORY dir = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    if (read(base, ExceptionStream, &dir, &stream, &size) && size >= sizeof(MINIDUMP_EXCEPTION_STREAM)) {
      const auto* e = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
      c.ExceptionCode = e->ExceptionRecord.ExceptionCode;
      c.ExceptionThread = e->ThreadId;
      c.ExceptionAddress = e->ExceptionRecord.ExceptionAddress;
      c.Read = true;
    }
    if (read(base, ThreadListStream, &dir, &stream, &size) && size >= sizeof(ULONG32)) {
      const auto* threads = static_cast<const MINIDUMP_THREAD_LIST*>(stream);
      for (ULONG32 i = 0; i < threads->NumberOfThreads; ++i)
        if (threads->Threads[i].ThreadId == c.ExceptionThread) c.ThreadListed = true;
    }
    if (read(base, ModuleListStream, &dir, &stream, &size) && size >= sizeof(ULONG32)) {
      const auto* list = static_cast<const MINIDUMP_MODULE_LIST*>(stream);
      c.Modules = list->NumberOfModules;
      for (ULONG32 i = 0; i < list->NumberOfModules; ++i) {
        const auto* name =
            reinterpret_cast<const MINIDUMP_STRING*>(static_cast<const char*>(base) + list->Modules[i].ModuleNameRva);
        const std::wstring n(reinterpret_cast<const wchar_t*>(name->Buffer), name->Length / sizeof(wchar_t));
        const std::size_t slash = n.find_last_of(L"\\/");
        const std::wstring fileName = n.substr(slash == std::wstring::npos ? 0 : slash + 1);
        if (_wcsicmp(fileName.c_str(), program) == 0) c.HasProgramModule = true;
        const MINIDUMP_MODULE& m = list->Modules[i];
        if (c.ExceptionAddress >= m.BaseOfImage && c.ExceptionAddress < m.BaseOfImage + m.SizeOfImage)
          c.FaultingModule = fileName;
      }
    } else {
      c.Read = false;
    }
    UnmapViewOfFile(base);
  }
  if (mapping != nullptr) CloseHandle(mapping);
  CloseHandle(file);
  return c;
}


struct TCrashCase {
  const char* Name;           // the test's name
  const char* Setting;        // VX_CRASH_TEST; empty for a crash the scenario makes
  std::uint32_t Code;
  const char* Where;          // "window" or "flash"
  const char* Module;         // the module the exception's address lies in
  const char* Extra;          // a further text the report must hold
  TStageOptions Stage{};
  bool Full = false;          // also the buttons, the clipboard, the screenshot and the day's log
  bool Closed = true;         // the dialog is closed (else it is left open: the bound ends the process)
  const char* Cut = nullptr;  // the section the report names as cut short
  bool Console = false;       // the console flasher, which shows no dialog
};

void EndProcess(PROCESS_INFORMATION& pi, std::uint32_t ms, DWORD& code) {
  code = STILL_ACTIVE;
  if (WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  else TerminateProcess(pi.hProcess, 99);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
}

void CheckScreenshotAndLog(const TCrashStage& stage, const std::wstring& folder, const std::string& report) {
  /* the day's log file holds every line up to the crash: the report's last one too */
  const std::string ringHeader = "== Последние строки журнала ==\r\n";
  const std::size_t ringStart = report.find(ringHeader);
  const std::size_t ringEnd = report.find("\r\n\r\n", ringStart);
  ASSERT_NE(ringEnd, std::string::npos);
  const std::string ring = report.substr(ringStart + ringHeader.size(), ringEnd - ringStart - ringHeader.size());
  const std::string lastLine = ring.substr(ring.rfind("\r\n") == std::string::npos ? 0 : ring.rfind("\r\n") + 2);
  ASSERT_FALSE(lastLine.empty());
  std::string log;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((stage.Path() + L"\\Logs\\*.log").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do log += ReadFileBytes(stage.Path() + L"\\Logs\\" + fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  EXPECT_NE(log.find("]\t" + lastLine + "\r\n"), std::string::npos) << "the log file lacks: " << lastLine;

  /* the screenshot of the main window: a whole 24-bit BMP */
  const std::string bmp = ReadFileBytes(folder + L"\\window.bmp");
  ASSERT_GT(bmp.size(), sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER));
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  std::memcpy(&file, bmp.data(), sizeof file);
  std::memcpy(&info, bmp.data() + sizeof file, sizeof info);
  EXPECT_EQ(file.bfType, 0x4D42);
  EXPECT_EQ(file.bfSize, bmp.size());
  EXPECT_GE(info.biWidth, 680);  // the window's width from the settings
  EXPECT_GE(info.biHeight, 300);
  EXPECT_EQ(info.biBitCount, 24);
  // Not a blank picture: the window has text and frames on it.
  std::size_t distinct = 0;
  for (std::size_t i = file.bfOffBits + 3; i < bmp.size() && distinct == 0; i += 3)
    if (bmp.compare(i, 3, bmp, file.bfOffBits, 3) != 0) ++distinct;
  EXPECT_GT(distinct, 0u);
}

// The minidump and report.txt of one case.
void CheckReport(const TCrashCase& test, const std::wstring& folder, const wchar_t* program, const char* thread) {
  const bool flash = std::strcmp(test.Where, "flash") == 0;
  /* the minidump reads back with the crash, its thread and the module it happened in */
  const TDumpContents dump = ReadDump(folder + L"\\crash.dmp", program);
  ASSERT_TRUE(dump.Read) << "crash.dmp has no exception or module stream";
  EXPECT_EQ(dump.ExceptionCode, test.Code);
  EXPECT_TRUE(dump.ThreadListed) << "thread " << dump.ExceptionThread;
  EXPECT_GT(dump.Modules, 5u);
  EXPECT_TRUE(dump.HasProgramModule);
  EXPECT_EQ(Utf8(dump.FaultingModule), test.Module);

  /* the text report: every section, or those before the one cut short and its name */
  const std::string report = ReadFileBytes(folder + L"\\report.txt");
  char codeText[16];
  std::snprintf(codeText, sizeof codeText, "0x%08X", static_cast<unsigned>(test.Code));
  std::vector<std::string> parts{"== Исключение ==", "== Стек вызовов ==", "== Потоки программы ==", "== Приборы ==",
                                 "Командная строка: ", "сборка для разработки", std::string("Адрес: ") + test.Module + "+0x",
                                 "  #0  ", codeText, thread, test.Extra};
  if (test.Cut == nullptr)
    parts.insert(parts.end(), {"== Последние строки журнала ==", "== Система ==", "== Модули ==", "kernel32.dll",
                               "прибор 1234567: FTDI, загрузчик", "Процессор: ", "Память: ", "crash.dmp: записан"});
  else
    parts.push_back(std::string("(раздел «") + test.Cut + "» не дописан: ");
  if (flash) parts.emplace_back("== Незавершённые прошивки ==\r\nПрошивка прибор");
  for (const std::string& part : parts)
    EXPECT_NE(report.find(part), std::string::npos) << "report.txt lacks: " << part;
  EXPECT_EQ(report.find("(отчёт обрезан)"), std::string::npos);
}

// The console flasher ends by itself, with no dialog, with the crash's code,
// and says where the report is on standard error and in its last JSON line.
void CheckConsoleCrash(const TCrashCase& test, const TCrashStage& stage, const std::wstring& logs,
                       std::uint32_t start) {
  const bool flash = std::strcmp(test.Where, "flash") == 0;
  const TChildResult r = stage.RunConsole(test.Setting, kCaseBound);
  ASSERT_NE(r.ExitCode, -1) << "it did not end by itself within " << kCaseBound << " ms: " << r.Err;
  EXPECT_EQ(static_cast<std::uint32_t>(r.ExitCode), test.Code) << r.Err;
  const std::vector<std::wstring> folders = TCrashStage::ReportFolders(logs);
  ASSERT_EQ(folders.size(), 1u) << "in " << Utf8(logs);
  const std::string folder = Utf8(folders[0]);
  EXPECT_NE(r.Err.find("vxflash: crashed: "), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("vxflash: the crash report is in " + folder + "\n"), std::string::npos) << r.Err;
  const std::vector<TJson> lines = JsonLines(r.Out);
  ASSERT_FALSE(lines.empty());
  const TJson& crash = lines.back();
  ASSERT_EQ(crash.count("!bad"), 0u) << r.Out;
  EXPECT_EQ(crash.at("event").Text, "crash");
  EXPECT_EQ(static_cast<std::uint32_t>(crash.at("code").Num), test.Code);
  EXPECT_EQ(crash.at("report").Text, folder);
  EXPECT_EQ(crash.at("reason").Text, Utf8(W(ExceptionCodeDescription(test.Code))));
  // The slow second flash was running: the device stays in its boot loader.
  bool slowCut = false;
  for (const TJsonValue& serial : crash.at("unfinished").Items) slowCut = slowCut || serial.Int() == 7654321;
  EXPECT_EQ(slowCut, flash) << r.Out;
  CheckReport(test, folders[0], L"vxflash.exe", flash ? "прошивка прибора), прибор " : "основной поток");
  EXPECT_LT(TickCount() - start, kCaseBound);
}

class CrashReport : public testing::TestWithParam<TCrashCase> {};
std::string CaseName(const testing::TestParamInfo<TCrashCase>& param) { return param.param.Name; }

// Runs one case to its end and checks everything it leaves.
TEST_P(CrashReport, CrashesAndIsReported) {
  const TCrashCase& test = GetParam();
  const bool flash = std::strcmp(test.Where, "flash") == 0;
  TCrashStage stage(test.Stage);
  const std::uint32_t start = TickCount();
  const std::wstring logs = test.Stage.BlockLogs ? stage.FallbackLogs() : stage.Path() + L"\\Logs";
  if (test.Console) {
    CheckConsoleCrash(test, stage, logs, start);
    return;
  }
  PROCESS_INFORMATION pi = stage.Start(test.Setting);
  ASSERT_NE(pi.hProcess, nullptr);

  /* the dialog: what happened, where, which flashes it cut short, and where the report is */
  DWORD code = STILL_ACTIVE;
  std::wstring seen;
  TDialog dialog;
  if (test.Closed) {
    dialog = WaitForDialog(pi.dwProcessId, kCaseBound, W("Отчёт о сбое сохранён в папке:"), &seen);
    if (dialog.Hwnd == nullptr) {
      EndProcess(pi, 0, code);
      FAIL() << "no crash dialog within " << kCaseBound << " ms; last box seen: " << Utf8(seen);
    }
  }
  // A dialog that never comes: the process ends by itself with the crash's code.
  if (!test.Closed) EndProcess(pi, kCaseBound, code);
  const std::vector<std::wstring> folders = TCrashStage::ReportFolders(logs);
  ASSERT_EQ(folders.size(), 1u) << "in " << Utf8(logs);
  const std::wstring& folder = folders[0];
  if (test.Closed) {
    EXPECT_NE(dialog.Text.find(W("В программе произошёл сбой, и она будет закрыта.")), std::wstring::npos);
    EXPECT_NE(dialog.Text.find(W(ExceptionCodeDescription(test.Code))), std::wstring::npos);
    // In a flash: whichever flash reaches its first sector first; the slow
    // second one is still running when the dialog comes.
    const bool first = dialog.Text.find(W("прошивка прибора), прибор 1234567")) != std::wstring::npos;
    const bool second = dialog.Text.find(W("прошивка прибора), прибор 7654321")) != std::wstring::npos;
    EXPECT_TRUE(flash ? first || second : dialog.Text.find(W("поток окна")) != std::wstring::npos)
        << Utf8(dialog.Text);
    EXPECT_NE(dialog.Text.find(L"\n" + folder + L"\n"), std::wstring::npos) << "the dialog names the report's folder";
    EXPECT_EQ(dialog.Text.find(W("папка Logs рядом с программой недоступна")) != std::wstring::npos,
              test.Stage.BlockLogs);
    if (flash) {
      const std::size_t unfinished = dialog.Text.find(W("Прошивка прибор"));
      const std::size_t advice = dialog.Text.find(W(" не завершена: прибор"));
      EXPECT_NE(unfinished, std::wstring::npos) << Utf8(dialog.Text);
      EXPECT_NE(advice, std::wstring::npos);
      EXPECT_NE(dialog.Text.find(W("прошейте")), std::wstring::npos);
      EXPECT_LT(dialog.Text.find(L"7654321", unfinished), advice) << "the dialog names the running flash";
      if (first) {
        EXPECT_LT(dialog.Text.find(L"1234567", unfinished), advice) << "the dialog names the crashed flash";
      }
    }
  }
  if (test.Full) {
    EXPECT_EQ(ButtonText(dialog.Hwnd, IDYES), W("Открыть папку"));
    EXPECT_EQ(ButtonText(dialog.Hwnd, IDNO), W("Копировать путь"));
    EXPECT_EQ(ButtonText(dialog.Hwnd, IDCANCEL), W("Закрыть"));
    /* copying the path: the dialog comes back and says so */
    PostMessageW(dialog.Hwnd, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog.Hwnd, IDNO)));
    dialog = WaitForDialog(pi.dwProcessId, 20000, W("Путь к папке скопирован в буфер обмена."), &seen);
    ASSERT_NE(dialog.Hwnd, nullptr) << Utf8(seen);
    EXPECT_EQ(ClipboardText(), folder);
  }
  /* closing ends the process with the crash's code */
  if (test.Closed) {
    PostMessageW(dialog.Hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog.Hwnd, IDCANCEL)));
    EndProcess(pi, 20000, code);
  }
  EXPECT_EQ(code, test.Code);
  CheckReport(test, folder, L"vxfwloader.exe", flash ? "прошивка прибора), прибор " : "поток окна");
  if (test.Full) CheckScreenshotAndLog(stage, folder, ReadFileBytes(folder + L"\\report.txt"));
  EXPECT_LT(TickCount() - start, kCaseBound);
}

// Every kind of the crash-test switch, on the window thread (at the end of the
// first discovery run) and in a flash (at its first sector, with a second
// flash running), and a fault inside the driver library's write call.
constexpr const char* kAv = "Доступ: запись по адресу 0x0";
constexpr const char* kCpp = "исключение C++ std::runtime_error: проверочное исключение";
constexpr const char* kTerminate = "std::terminate вызван без исключения";
constexpr const char* kPure = "вызов чисто виртуальной функции";
constexpr const char* kParam = "функция fclose";
constexpr TStageOptions kFlashing{false, "", true};

const TCrashCase kCases[] = {
    {"AvWindow", "av", 0xC0000005, "window", "vxfwloader.exe", kAv, {}, true},
    {"AvFlash", "av:flash", 0xC0000005, "flash", "vxfwloader.exe", kAv, kFlashing},
    {"CppWindow", "cpp", kCrashTerminate, "window", "vxfwloader.exe", kCpp},
    {"CppFlash", "cpp:flash", kCrashTerminate, "flash", "vxfwloader.exe", kCpp, kFlashing},
    {"StackWindow", "stack", 0xC00000FD, "window", "vxfwloader.exe", "EXCEPTION_STACK_OVERFLOW"},
    {"StackFlash", "stack:flash", 0xC00000FD, "flash", "vxfwloader.exe", "EXCEPTION_STACK_OVERFLOW", kFlashing},
    {"TerminateWindow", "terminate", kCrashTerminate, "window", "vxfwloader.exe", kTerminate},
    {"TerminateFlash", "terminate:flash", kCrashTerminate, "flash", "vxfwloader.exe", kTerminate, kFlashing},
    {"PureCallWindow", "purecall", kCrashPureCall, "window", "vxfwloader.exe", kPure},
    {"PureCallFlash", "purecall:flash", kCrashPureCall, "flash", "vxfwloader.exe", kPure, kFlashing},
    {"InvalidParameterWindow", "invalidparam", kCrashInvalidParameter, "window", "vxfwloader.exe", kParam},
    {"InvalidParameterFlash", "invalidparam:flash", kCrashInvalidParameter, "flash", "vxfwloader.exe", kParam, kFlashing},
    {"DivideByZeroWindow", "divzero", 0xC0000094, "window", "vxfwloader.exe", "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {"DivideByZeroFlash", "divzero:flash", 0xC0000094, "flash", "vxfwloader.exe", "EXCEPTION_INT_DIVIDE_BY_ZERO",
     kFlashing},
    {"IllegalWindow", "illegal", 0xC000001D, "window", "vxfwloader.exe", "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {"IllegalFlash", "illegal:flash", 0xC000001D, "flash", "vxfwloader.exe", "EXCEPTION_ILLEGAL_INSTRUCTION", kFlashing},
    {"DriverWriteFlash", "", 0xC0000005, "flash", "ftd2xx.dll", "Доступ: запись по адресу 0x0",
     {false, "write_fault skip=40", true}},
};
INSTANTIATE_TEST_SUITE_P(Kinds, CrashReport, testing::ValuesIn(kCases),
                         CaseName);

// Where the report goes when Logs beside the program cannot be made, and how
// the reporter's own faults, stalls and a dialog that never appears end.
const TCrashCase kReporterCases[] = {
    {"FolderFallsBackToLocalData", "av", 0xC0000005, "window", "vxfwloader.exe", kAv, {true}},
    {"OwnFaultCutsItsSection", "divzero:window:report-fault", 0xC0000094, "window", "vxfwloader.exe",
     "EXCEPTION_INT_DIVIDE_BY_ZERO", {}, false, true, "Приборы"},
    {"StalledSectionIsCutAtTheBound", "divzero:window:report-hang", 0xC0000094, "window", "vxfwloader.exe",
     "EXCEPTION_INT_DIVIDE_BY_ZERO", {}, false, true, "Приборы"},
    {"DialogThatNeverAppearsEndsAtTheBound", "divzero:window:dialog-hang", 0xC0000094, "window", "vxfwloader.exe",
     "EXCEPTION_INT_DIVIDE_BY_ZERO", {}, false, false},
};
INSTANTIATE_TEST_SUITE_P(Reporter, CrashReport, testing::ValuesIn(kReporterCases),
                         CaseName);

// The console flasher: the same reporter without the dialog, on its loop's
// thread (at the end of the first discovery run) and in a flash.
const TCrashCase kConsoleCases[] = {
    {"AvConsole", "av", 0xC0000005, "window", "vxflash.exe", kAv, {}, false, true, nullptr, true},
    {"AvFlashConsole", "av:flash", 0xC0000005, "flash", "vxflash.exe", kAv, kFlashing, false, true, nullptr, true},
    {"TerminateConsole", "terminate", kCrashTerminate, "window", "vxflash.exe", kTerminate, {}, false, true, nullptr,
     true},
    {"PureCallFlashConsole", "purecall:flash", kCrashPureCall, "flash", "vxflash.exe", kPure, kFlashing, false, true,
     nullptr, true},
    {"StackFlashConsole", "stack:flash", 0xC00000FD, "flash", "vxflash.exe", "EXCEPTION_STACK_OVERFLOW", kFlashing,
     false, true, nullptr, true},
};
INSTANTIATE_TEST_SUITE_P(Console, CrashReport, testing::ValuesIn(kConsoleCases), CaseName);

}  // namespace
