#include "crash/win32/CrashHandler.h"

#include <dbghelp.h>
#include <psapi.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>
#if defined(__GNUC__)
#include <cxxabi.h>
#endif

#include "crash/LogRing.h"
#include "crash/ReportBuffer.h"
#include "crash/ReportText.h"
#include "platform/ThreadTags.h"

namespace {

// ---- state reserved at installation ----

constexpr DWORD kReporterStack = 1024 * 1024;
// How long the report's files may take; a section that is not done by then is
// named as cut short and the dialog comes without it.
constexpr DWORD kReportWriteBound = 60000;
// How long one section of report.txt may go without the next one starting.
constexpr DWORD kReportStallBound = 30000;
// How long the dialog may stay: a technician away, or a dialog that cannot
// appear, does not keep a crashed process (and its devices) for ever.
constexpr DWORD kDialogBound = 10 * 60 * 1000;
// The stall and the dialog's bounds when a crash test gives the reporter a
// trouble of its own.
constexpr DWORD kTroubleBound = 3000;
constexpr DWORD kPathChars = 1024;
constexpr std::size_t kTextSize = std::size_t{512} * 1024;
constexpr int kMaxModules = 1024;

using TMiniDumpWriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                         PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
using TSymInitialize = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
using TSymRefreshModuleList = BOOL(WINAPI*)(HANDLE);
using TSymSetOptions = DWORD(WINAPI*)(DWORD);
using TSymFromAddr = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);
using TStackWalk64 = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID, PREAD_PROCESS_MEMORY_ROUTINE64,
                                   PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                                   PTRANSLATE_ADDRESS_ROUTINE64);
using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
using TWineGetVersion = const char*(CDECL*)();

struct TDbgHelp {
  TMiniDumpWriteDump MiniDumpWriteDump = nullptr;
  TSymInitialize SymInitialize = nullptr;
  TSymRefreshModuleList SymRefreshModuleList = nullptr;
  TSymSetOptions SymSetOptions = nullptr;
  TSymFromAddr SymFromAddr = nullptr;
  TStackWalk64 StackWalk64 = nullptr;
  PFUNCTION_TABLE_ACCESS_ROUTINE64 SymFunctionTableAccess64 = nullptr;
  PGET_MODULE_BASE_ROUTINE64 SymGetModuleBase64 = nullptr;
};

struct TCrash {
  EXCEPTION_POINTERS* Pointers = nullptr;
  DWORD Thread = 0;
  std::uint32_t Code = 0;
  char Detail[600] = {};
};

TCrashSetup setup;
char programVersion[128];
char buildKind[128];
char dialogCaption[128];
wchar_t logsDir[kPathChars];          // <exe>\Logs, without the trailing separator
wchar_t fallbackLogsDir[kPathChars];  // <local application data>\VXFWLoader\Logs
wchar_t reportDir[kPathChars];        // the folder of this report
bool reportInFallback = false;        // <exe>\Logs could not be written
std::atomic<bool> folderReady{false};  // reportDir names the report's folder
TDbgHelp dbghelp;
char dbghelpProblem[160];
TRtlGetVersion rtlGetVersion = nullptr;
TWineGetVersion wineGetVersion = nullptr;

std::atomic<LONG> crashing{0};
TCrash crash;
HANDLE crashEvent = nullptr;    // the filter wakes the reporter and the guard
HANDLE writtenEvent = nullptr;  // the report's files are written
HANDLE failedEvent = nullptr;   // the reporter faulted itself
HANDLE dialogEvent = nullptr;   // the guard is done with the files: the dialog's bound begins
DWORD reporterThread = 0;       // writes the files
DWORD guardThread = 0;          // bounds the writing, shows the dialog, ends the process
DWORD writeBound = kReportWriteBound, stallBound = kReportStallBound, dialogBound = kDialogBound;
std::atomic<std::uint32_t> reportProgress{0};  // counts the parts of the report begun
TReportTrouble trouble = TReportTrouble::None;
int* volatile troubleTarget = nullptr;

// report.txt, written section by section as each is made (appends only, so
// that a note of the guard never overwrites a section).
HANDLE reportFile = INVALID_HANDLE_VALUE;
std::size_t reportFlushed = 0;
std::atomic<const char*> reportSection{nullptr};  // the section being made
std::atomic<bool> reportAbandoned{false};         // the guard took the file over
std::uint32_t nestedCode = 0;                     // the reporter's own fault
char noteStorage[8 * 1024];
TReportBuffer note(noteStorage, sizeof noteStorage);

char textStorage[kTextSize];
TReportBuffer text(textStorage, sizeof textStorage);
HMODULE modules[kMaxModules];
alignas(8) std::uint8_t versionData[64 * 1024];
alignas(16) unsigned char symbolStorage[sizeof(SYMBOL_INFO) + 512];
char narrowScratch[4096];
wchar_t dialogText[8192];
bool dumpWritten = false, textWritten = false, screenshotWritten = false;
char screenshotProblem[160];

// ---- small helpers that use no heap ----

const char* Narrow(const wchar_t* wide) {
  const int n = WideCharToMultiByte(1251, 0, wide, -1, narrowScratch, sizeof narrowScratch, nullptr, nullptr);
  if (n <= 0) narrowScratch[0] = '\0';
  return narrowScratch;
}

const wchar_t* WideText(const char* cp1251, wchar_t* out, int size) {
  const int n = MultiByteToWideChar(1251, 0, cp1251, -1, out, size);
  if (n <= 0) out[0] = L'\0';
  out[size - 1] = L'\0';
  return out;
}

void CopyText(char* out, std::size_t size, const char* in) {
  std::snprintf(out, size, "%s", in != nullptr ? in : "");
}

// Ends the process with the crash's code as its exit code.
void EndProcess(std::uint32_t code) { TerminateProcess(GetCurrentProcess(), CrashExitCode(code)); }

bool FindModule(std::uint64_t address, HMODULE& module, const char*& name) {
  HMODULE m = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(static_cast<std::uintptr_t>(address)), &m) ||
      m == nullptr)
    return false;
  wchar_t path[MAX_PATH];
  if (GetModuleFileNameW(m, path, MAX_PATH) == 0) return false;
  const wchar_t* base = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p)
    if (*p == L'\\' || *p == L'/') base = p + 1;
  module = m;
  name = Narrow(base);
  return true;
}

void AppendAddress(TReportBuffer& out, std::uint64_t address) {
  HMODULE module = nullptr;
  const char* name = nullptr;
  if (FindModule(address, module, name))
    AppendCodeAddress(out, address, name, reinterpret_cast<std::uintptr_t>(module));
  else
    AppendCodeAddress(out, address, nullptr, 0);
}

void PathInReport(const wchar_t* name, wchar_t* out, std::size_t size) {
  std::swprintf(out, size, L"%ls\\%ls", reportDir, name);
}

void AppendToReportFile(const char* data, std::size_t size) {
  if (reportFile == INVALID_HANDLE_VALUE || size == 0) return;
  DWORD written = 0;
  WriteFile(reportFile, data, static_cast<DWORD>(size), &written, nullptr);
}

// Writes what the text gained since the last flush.
void FlushText() {
  if (reportAbandoned.load() || text.Length() <= reportFlushed) return;
  AppendToReportFile(text.Text() + reportFlushed, text.Length() - reportFlushed);
  reportFlushed = text.Length();
}

// Ends the section before (its text goes to the file) and starts `title`.
void BeginSection(const char* title) {
  FlushText();
  reportSection.store(title);
  reportProgress.fetch_add(1);
  text.AppendFormat("\r\n== %s ==\r\n", title);
}

void EndSections() {
  FlushText();
  reportSection.store(nullptr);
}

// A text that is not part of the sections (the guard's notes), written at once.
void WriteNote() {
  AppendToReportFile(note.Text(), note.Length());
  note.Clear();
}

// ---- the report's parts ----

bool CreateReportFolderIn(const wchar_t* base) {
  if (base[0] == L'\0') return false;
  SYSTEMTIME st;
  GetLocalTime(&st);
  const TLocalTime now{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
  for (int attempt = 1; attempt <= 50; ++attempt) {
    char name[64];
    if (!ReportFolderName(now, attempt, name, sizeof name)) return false;
    wchar_t wideName[64];
    WideText(name, wideName, 64);
    if (std::swprintf(reportDir, kPathChars, L"%ls\\%ls", base, wideName) < 0) return false;
    if (CreateDirectoryW(reportDir, nullptr)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

// Every directory of `path` from the drive on, as far as they are missing.
void CreateDirectories(const wchar_t* path) {
  static wchar_t partial[kPathChars];
  for (std::size_t i = 0; path[i] != L'\0' && i + 1 < kPathChars; ++i) {
    partial[i] = path[i];
    partial[i + 1] = L'\0';
    if ((path[i + 1] == L'\\' || path[i + 1] == L'\0') && i > 2) CreateDirectoryW(partial, nullptr);
  }
}

// Logs\crash-... next to the executable; when that cannot be written (an
// install folder under Program Files), the same in the user's local
// application data.
bool CreateReportFolder() {
  CreateDirectoryW(logsDir, nullptr);  // the operation log's directory; it may exist
  if (CreateReportFolderIn(logsDir)) return true;
  CreateDirectories(fallbackLogsDir);
  reportInFallback = CreateReportFolderIn(fallbackLogsDir);
  return reportInFallback;
}

// The crashed thread keeps its stack in the dump; the others keep their
// registers only, which keeps the dump small (a flash's thread and the
// reporter's own stacks say little about the crash).
BOOL CALLBACK ChooseDumpParts(PVOID, const PMINIDUMP_CALLBACK_INPUT input, PMINIDUMP_CALLBACK_OUTPUT output) {
  if (input == nullptr || output == nullptr) return FALSE;
  switch (input->CallbackType) {
    case ThreadCallback:
    case ThreadExCallback:
      if (input->Thread.ThreadId != crash.Thread) output->ThreadWriteFlags &= ~static_cast<ULONG>(ThreadWriteStack);
      return TRUE;
    case IncludeThreadCallback:
    case IncludeModuleCallback:
    case ModuleCallback:
      return TRUE;
    default:
      return FALSE;
  }
}

void WriteMiniDump() {
  if (dbghelp.MiniDumpWriteDump == nullptr) return;
  wchar_t path[kPathChars];
  PathInReport(L"crash.dmp", path, kPathChars);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  MINIDUMP_EXCEPTION_INFORMATION info{};
  info.ThreadId = crash.Thread;
  info.ExceptionPointers = crash.Pointers;
  info.ClientPointers = FALSE;
  const auto type =
      static_cast<MINIDUMP_TYPE>(MiniDumpNormal);
  MINIDUMP_CALLBACK_INFORMATION parts{};
  parts.CallbackRoutine = ChooseDumpParts;
  dumpWritten = dbghelp.MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, type,
                                          crash.Pointers != nullptr ? &info : nullptr, nullptr, &parts) != FALSE;
  CloseHandle(file);
}

void AppendException() {
  const EXCEPTION_RECORD* record = crash.Pointers != nullptr ? crash.Pointers->ExceptionRecord : nullptr;
  const char* name = ExceptionCodeName(crash.Code);
  text.AppendFormat("Код: 0x%08lX %s (%s)\r\n", static_cast<unsigned long>(crash.Code), name != nullptr ? name : "",
                    ExceptionCodeDescription(crash.Code));
  if (record != nullptr) {
    text.Append("Адрес: ");
    AppendAddress(text, reinterpret_cast<std::uintptr_t>(record->ExceptionAddress));
    text.Append("\r\n");
    if ((record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION || record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
        record->NumberParameters >= 2) {
      text.Append("Доступ: ");
      AppendAccessViolation(text, record->ExceptionInformation[0], record->ExceptionInformation[1]);
      text.Append("\r\n");
    }
  }
  if (crash.Detail[0] != '\0') text.AppendFormat("Подробности: %s\r\n", crash.Detail);
  TThreadTagInfo tag;
  const bool tagged = FindThreadTag(crash.Thread, tag);
  text.Append("Поток: ");
  AppendThreadDescription(text, crash.Thread, tagged ? &tag : nullptr);
  text.Append("\r\n");
}

void AppendCallStack() {
  if (crash.Pointers == nullptr || crash.Pointers->ContextRecord == nullptr) {
    text.Append("(нет состояния потока)\r\n");
    return;
  }
  if (dbghelp.StackWalk64 == nullptr) {
    text.AppendFormat("(стек не прочитан: %s)\r\n", dbghelpProblem);
    return;
  }
  HANDLE process = GetCurrentProcess();
  HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, crash.Thread);
  static CONTEXT context;  // StackWalk64 changes it; kept off the reporter's stack
  context = *crash.Pointers->ContextRecord;
  STACKFRAME64 frame{};
  DWORD machine = 0;
#if defined(_M_X64) || defined(__x86_64__)
  machine = IMAGE_FILE_MACHINE_AMD64;
  frame.AddrPC.Offset = context.Rip;
  frame.AddrFrame.Offset = context.Rbp;
  frame.AddrStack.Offset = context.Rsp;
#elif defined(_M_IX86) || defined(__i386__)
  machine = IMAGE_FILE_MACHINE_I386;
  frame.AddrPC.Offset = context.Eip;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrStack.Offset = context.Esp;
#endif
  frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(symbolStorage);
  // The driver libraries are loaded after the symbols were read: without
  // them the walk stops in their first frame.
  if (dbghelp.SymRefreshModuleList != nullptr) dbghelp.SymRefreshModuleList(process);
  const std::uint64_t faultAddress = frame.AddrPC.Offset;
  std::uint64_t previousStack = 0;
  int depth = 0;
  for (; depth < 64; ++depth) {
    if (!dbghelp.StackWalk64(machine, process, thread != nullptr ? thread : GetCurrentThread(), &frame, &context,
                             nullptr, dbghelp.SymFunctionTableAccess64, dbghelp.SymGetModuleBase64, nullptr))
      break;
    if (frame.AddrPC.Offset == 0) break;
    // A corrupt stack can make the walk go round in circles.
    if (depth > 0 && frame.AddrStack.Offset == previousStack && frame.AddrPC.Offset != 0) {
      text.Append("  (стек повторяется)\r\n");
      break;
    }
    previousStack = frame.AddrStack.Offset;
    text.AppendFormat("  #%-2d ", depth);
    AppendAddress(text, frame.AddrPC.Offset);
    std::memset(symbolStorage, 0, sizeof symbolStorage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 512 - 1;
    DWORD64 displacement = 0;
    if (dbghelp.SymFromAddr != nullptr && dbghelp.SymFromAddr(process, frame.AddrPC.Offset, &displacement, symbol))
      text.AppendFormat("  %s+0x%llx", symbol->Name, static_cast<unsigned long long>(displacement));
    text.Append("\r\n");
  }
  if (depth == 0) {
    // Not even the first frame walked: the crash's own address still tells where.
    text.Append("  #0  ");
    AppendAddress(text, faultAddress);
    text.Append("  (стек дальше не прочитан)\r\n");
  }
  if (thread != nullptr) CloseHandle(thread);
}

void AppendThreads() {
  TThreadTagInfo tags[kThreadTagSlots];
  const int n = ListThreadTags(tags, kThreadTagSlots);
  for (int i = 0; i < n; ++i) {
    text.Append("  ");
    AppendThreadDescription(text, tags[i].Thread, &tags[i]);
    if (tags[i].Thread == crash.Thread) text.Append("  <- сбой");
    text.Append("\r\n");
  }
  if (n == 0) text.Append("  (нет)\r\n");
}

void AppendFileVersion(const wchar_t* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0 || size > sizeof versionData || !GetFileVersionInfoW(path, 0, size, versionData)) {
    text.Append("-");
    return;
  }
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(versionData, L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
      length < sizeof *info) {
    text.Append("-");
    return;
  }
  text.AppendFormat("%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(info->dwFileVersionMS)),
                    static_cast<unsigned long>(LOWORD(info->dwFileVersionMS)),
                    static_cast<unsigned long>(HIWORD(info->dwFileVersionLS)),
                    static_cast<unsigned long>(LOWORD(info->dwFileVersionLS)));
}

void AppendModules() {
  DWORD needed = 0;
  if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed)) {
    text.AppendFormat("  (список модулей не получен, ошибка %lu)\r\n", GetLastError());
    return;
  }
  const int count = static_cast<int>(needed / sizeof(HMODULE)) < kMaxModules
                        ? static_cast<int>(needed / sizeof(HMODULE))
                        : kMaxModules;
  for (int i = 0; i < count; ++i) {
    MODULEINFO info{};
    GetModuleInformation(GetCurrentProcess(), modules[i], &info, sizeof info);
    wchar_t path[MAX_PATH];
    if (GetModuleFileNameW(modules[i], path, MAX_PATH) == 0) path[0] = L'\0';
    text.AppendFormat("  0x%0*llx %8lu  ", static_cast<int>(sizeof(void*) * 2),
                      static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(info.lpBaseOfDll)),
                      static_cast<unsigned long>(info.SizeOfImage));
    AppendFileVersion(path);
    text.AppendFormat("  %s\r\n", Narrow(path));
  }
}

void AppendSystem() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (rtlGetVersion != nullptr && rtlGetVersion(&version) == 0)
    text.AppendFormat("Windows: %lu.%lu.%lu %s\r\n", version.dwMajorVersion, version.dwMinorVersion,
                      version.dwBuildNumber, Narrow(version.szCSDVersion));
  if (wineGetVersion != nullptr) text.AppendFormat("Wine: %s\r\n", wineGetVersion());
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  const char* architecture = "другая";
  switch (system.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: architecture = "x64"; break;
    case PROCESSOR_ARCHITECTURE_INTEL: architecture = "x86"; break;
    case PROCESSOR_ARCHITECTURE_ARM64: architecture = "ARM64"; break;
    default: break;
  }
  text.AppendFormat("Процессор: %s, логических процессоров %lu\r\n", architecture,
                    static_cast<unsigned long>(system.dwNumberOfProcessors));
  BOOL wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) text.Append("Процесс: 32-разрядный под WOW64\r\n");
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory)) {
    constexpr unsigned long long kMiB = 1024ull * 1024;
    text.AppendFormat("Память: всего %llu МБ, свободно %llu МБ, загрузка %lu%%\r\n",
                      static_cast<unsigned long long>(memory.ullTotalPhys / kMiB),
                      static_cast<unsigned long long>(memory.ullAvailPhys / kMiB),
                      static_cast<unsigned long>(memory.dwMemoryLoad));
    text.AppendFormat("Адресное пространство: всего %llu МБ, свободно %llu МБ\r\n",
                      static_cast<unsigned long long>(memory.ullTotalVirtual / kMiB),
                      static_cast<unsigned long long>(memory.ullAvailVirtual / kMiB));
  }
}

void WriteTextReport() {
  text.Clear();
  reportFlushed = 0;
  wchar_t path[kPathChars];
  PathInReport(L"report.txt", path, kPathChars);
  reportFile = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  textWritten = reportFile != INVALID_HANDLE_VALUE;
  SYSTEMTIME st;
  GetLocalTime(&st);
  reportSection.store("Заголовок");
  text.Append("Отчёт о сбое программы обновления прошивки\r\n");
  text.AppendFormat("Время: %02u.%02u.%04u %02u:%02u:%02u\r\n", st.wDay, st.wMonth, st.wYear, st.wHour, st.wMinute,
                    st.wSecond);
  text.AppendFormat("Программа: %s, %s\r\n", programVersion, buildKind);
  text.AppendFormat("Командная строка: %s\r\n", Narrow(GetCommandLineW()));
  text.AppendFormat("Процесс: %lu\r\n", GetCurrentProcessId());
  BeginSection("Исключение");
  AppendException();
  BeginSection("Стек вызовов");
  AppendCallStack();
  BeginSection("Потоки программы");
  AppendThreads();
  BeginSection("Приборы");
  if (trouble == TReportTrouble::SectionFault) *troubleTarget = 1;
  if (trouble == TReportTrouble::SectionHang) Sleep(INFINITE);
  if (setup.DescribeDevices != nullptr) setup.DescribeDevices(text);
  else text.Append("  (нет сведений)\r\n");
  BeginSection("Последние строки журнала");
  if (CrashLogRing().AppendTo(text) == 0) text.Append("  (нет)\r\n");
  BeginSection("Система");
  AppendSystem();
  BeginSection("Модули");
  AppendModules();
  BeginSection("Файлы отчёта");
  text.AppendFormat("Папка: %s\r\n", Narrow(reportDir));
  if (reportInFallback) text.Append("(папка Logs рядом с программой недоступна для записи)\r\n");
  text.AppendFormat("crash.dmp: %s\r\n", dumpWritten ? "записан" : dbghelp.MiniDumpWriteDump ? "не записан" : dbghelpProblem);
  if (text.Truncated()) text.Append("\r\n(отчёт обрезан)\r\n");
  EndSections();
}

// The main window as it is on the screen. Taken from the screen rather than
// with PrintWindow: that sends the window a message, which a crashed or
// blocked window thread would never answer.
void WriteScreenshot() {
  HWND window = setup.MainWindow != nullptr ? setup.MainWindow() : nullptr;
  if (window == nullptr || !IsWindowVisible(window) || IsIconic(window)) {
    CopyText(screenshotProblem, sizeof screenshotProblem, "главное окно не показано");
    return;
  }
  RECT r{};
  GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) {
    CopyText(screenshotProblem, sizeof screenshotProblem, "главное окно не имеет размера");
    return;
  }
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file holds it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (screen == nullptr || memory == nullptr || bitmap == nullptr || bits == nullptr) {
    CopyText(screenshotProblem, sizeof screenshotProblem, "нет памяти для снимка");
  } else {
    HGDIOBJ old = SelectObject(memory, bitmap);
    const bool copied = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT) != FALSE;
    GdiFlush();
    SelectObject(memory, old);
    if (!copied) {
      CopyText(screenshotProblem, sizeof screenshotProblem, "снимок экрана не получен");
    } else {
      const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
      const DWORD imageSize = stride * static_cast<DWORD>(height);
      BITMAPFILEHEADER header{};
      header.bfType = 0x4D42;  // "BM"
      header.bfOffBits = sizeof header + sizeof info.bmiHeader;
      header.bfSize = header.bfOffBits + imageSize;
      info.bmiHeader.biSizeImage = imageSize;
      wchar_t path[kPathChars];
      PathInReport(L"window.bmp", path, kPathChars);
      HANDLE file =
          CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        DWORD w1 = 0, w2 = 0, w3 = 0;
        screenshotWritten = WriteFile(file, &header, sizeof header, &w1, nullptr) &&
                            WriteFile(file, &info.bmiHeader, sizeof info.bmiHeader, &w2, nullptr) &&
                            WriteFile(file, bits, imageSize, &w3, nullptr) && w3 == imageSize;
        CloseHandle(file);
      }
      if (!screenshotWritten) CopyText(screenshotProblem, sizeof screenshotProblem, "файл снимка не записан");
    }
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  if (memory != nullptr) DeleteDC(memory);
  if (screen != nullptr) ReleaseDC(nullptr, screen);
}

// ---- the dialog ----

constexpr int kOpenFolder = IDYES, kCopyPath = IDNO, kClose = IDCANCEL;
HHOOK dialogHook = nullptr;
WNDPROC boxProc = nullptr;

// Closing the box ends the process from within it: the box's end would first
// hand the activation to the main window, whose thread the crash may have
// stopped, and Wine waits 2 s for that thread before the box returns.
LRESULT CALLBACK CrashBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && LOWORD(wParam) == kClose) EndProcess(crash.Code);
  return CallWindowProcW(boxProc, box, message, wParam, lParam);
}

// Gives the message box's buttons our own texts as it is shown.
LRESULT CALLBACK DialogHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wParam);
    wchar_t label[64];
    SetDlgItemTextW(box, kOpenFolder, WideText("Открыть папку", label, 64));
    SetDlgItemTextW(box, kCopyPath, WideText("Копировать путь", label, 64));
    SetDlgItemTextW(box, kClose, WideText("Закрыть", label, 64));
    // Wider buttons for the longer texts, kept in their row.
    int offset = 0;
    for (int id : {kOpenFolder, kCopyPath, kClose}) {
      HWND button = GetDlgItem(box, id);
      if (button == nullptr) continue;
      RECT b{};
      GetWindowRect(button, &b);
      MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&b), 2);
      const int grow = 40;
      SetWindowPos(button, nullptr, b.left - 3 * grow / 2 + offset, b.top, b.right - b.left + grow, b.bottom - b.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      offset += grow;
    }
    boxProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CrashBoxProc)));
    UnhookWindowsHookEx(dialogHook);
    dialogHook = nullptr;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool CopyPathToClipboard() {
  if (!OpenClipboard(nullptr)) return false;
  EmptyClipboard();
  const std::size_t bytes = (std::wcslen(reportDir) + 1) * sizeof(wchar_t);
  bool done = false;
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* p = GlobalLock(memory)) {
      std::memcpy(p, reportDir, bytes);
      GlobalUnlock(memory);
      done = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    }
    // Freed only when the clipboard did not take it (once: cppcheck reads
    // the unlock above as a free).
    // cppcheck-suppress doubleFree
    if (!done) GlobalFree(memory);
  }
  CloseClipboard();
  return done;
}

// ---- the flashes the crash cuts short ----

std::int32_t unfinished[kThreadTagSlots];
int unfinishedCount = 0;

// Every flash still running is stopped where it is, so that what the dialog
// says of it stays true while it is shown; the process's end cuts them all.
// The crashed thread (a flash itself, maybe) only waits for that end.
void StopFlashes() {
  TThreadTagInfo tags[kThreadTagSlots];
  const int n = ListThreadTags(tags, kThreadTagSlots);
  unfinishedCount = 0;
  for (int i = 0; i < n; ++i) {
    if (tags[i].Kind != TThreadKind::Flashing || tags[i].Serial == 0) continue;
    if (tags[i].Thread != crash.Thread) {
      if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, static_cast<DWORD>(tags[i].Thread))) {
        SuspendThread(thread);
        CloseHandle(thread);
      }
    }
    unfinished[unfinishedCount++] = tags[i].Serial;
  }
}

void AppendUnfinishedFlashes(TReportBuffer& out) {
  if (unfinishedCount == 0) return;
  out.Append(unfinishedCount == 1 ? "Прошивка прибора " : "Прошивка приборов ");
  for (int i = 0; i < unfinishedCount; ++i)
    out.AppendFormat("%s%d", i > 0 ? ", " : "", static_cast<int>(unfinished[i]));
  out.Append(unfinishedCount == 1 ? " не завершена: прибор остался в загрузчике, прошейте его заново после "
                                    "перезапуска программы."
                                  : " не завершена: приборы остались в загрузчике, прошейте их заново после "
                                    "перезапуска программы.");
}

// ---- the dialog ----

// The dialog's text: Windows-1251 parts and wide paths.
class TDialogText {
public:
  void Clear() { FLength = 0, dialogText[0] = L'\0'; }
  void Append(const char* cp1251) {
    const int room = static_cast<int>(kSize - FLength);
    const int n = MultiByteToWideChar(1251, 0, cp1251, -1, dialogText + FLength, room);
    if (n > 0) FLength += static_cast<std::size_t>(n) - 1;
    dialogText[FLength] = L'\0';
  }
  void AppendWide(const wchar_t* wide) {
    while (*wide != L'\0' && FLength + 1 < kSize) dialogText[FLength++] = *wide++;
    dialogText[FLength] = L'\0';
  }

private:
  static constexpr std::size_t kSize = sizeof dialogText / sizeof dialogText[0];
  std::size_t FLength = 0;
};

void ShowCrashDialog(bool folderMade) {
  TThreadTagInfo tag;
  const bool tagged = FindThreadTag(crash.Thread, tag);
  static char message[3000];
  TReportBuffer m(message, sizeof message);
  m.Append("В программе произошёл сбой, и она будет закрыта.\n\n");
  m.AppendFormat("Причина: %s (код 0x%08lX).\n", ExceptionCodeDescription(crash.Code),
                 static_cast<unsigned long>(crash.Code));
  m.Append("Где: ");
  AppendThreadDescription(m, crash.Thread, tagged ? &tag : nullptr);
  m.Append(".\n");
  AppendUnfinishedFlashes(m);
  if (unfinishedCount > 0) m.Append("\n");
  const bool canOpen = folderMade && (dumpWritten || textWritten);
  static TDialogText shown;
  wchar_t caption[128];
  WideText(dialogCaption, caption, 128);
  const UINT flags = (canOpen ? MB_YESNOCANCEL : MB_OK) | MB_ICONERROR | MB_TOPMOST | MB_SETFOREGROUND;
  bool copied = false;
  for (;;) {
    shown.Clear();
    shown.Append(message);
    if (canOpen) {
      shown.Append("\nОтчёт о сбое сохранён в папке:\n");
      shown.AppendWide(reportDir);
      shown.Append("\n");
      if (reportInFallback) shown.Append("(папка Logs рядом с программой недоступна для записи)\n");
      if (!dumpWritten) shown.Append("(дамп памяти записать не удалось)\n");
      if (!screenshotWritten) {
        shown.Append("(снимок окна не сохранён: ");
        shown.Append(screenshotProblem);
        shown.Append(")\n");
      }
      shown.Append("\nПередайте эту папку разработчикам вместе с описанием того, что вы делали.");
    } else {
      shown.Append("\nОтчёт о сбое сохранить не удалось: нет доступа ни к папке Logs рядом с программой, ни к "
                   "папке пользователя:\n");
      shown.AppendWide(fallbackLogsDir);
    }
    if (copied) shown.Append("\n\nПуть к папке скопирован в буфер обмена.");
    if (canOpen) dialogHook = SetWindowsHookExW(WH_CBT, DialogHook, nullptr, GetCurrentThreadId());
    const int answer = MessageBoxW(nullptr, dialogText, caption, flags);
    if (dialogHook != nullptr) {
      UnhookWindowsHookEx(dialogHook);
      dialogHook = nullptr;
    }
    if (!canOpen || answer == kClose || answer == IDOK || answer == 0) return;
    if (answer == kOpenFolder) ShellExecuteW(nullptr, L"open", reportDir, nullptr, nullptr, SW_SHOWNORMAL);
    if (answer == kCopyPath) copied = CopyPathToClipboard();
  }
}

// The dialog, or for a program without a window what it is told instead.
void TellUser(bool folderMade) {
  if (setup.Announce == nullptr) {
    ShowCrashDialog(folderMade);
    return;
  }
  setup.Announce(folderMade && (dumpWritten || textWritten) ? reportDir : nullptr, crash.Code, unfinished,
                 unfinishedCount);
}

// ---- catching ----

bool WriteReportFiles() {
  if (!CreateReportFolder()) return false;
  folderReady.store(true);
  // The minidump stops every other thread while it is written (the guard
  // too): only the whole bound holds for it.
  WriteMiniDump();     // first: it needs nothing of ours that may be damaged
  WriteScreenshot();   // before the dialog, which would be in the picture
  WriteTextReport();
  return true;
}

// The end of the report: the flashes cut short, and the file closed.
void FinishReport() {
  StopFlashes();
  if (unfinishedCount > 0) {
    note.Append("\r\n== Незавершённые прошивки ==\r\n");
    AppendUnfinishedFlashes(note);
    note.Append("\r\n");
    WriteNote();
  }
}

DWORD WINAPI ReporterMain(void*) {
  const TThreadTag tag(TThreadKind::Reporter);
  WaitForSingleObject(crashEvent, INFINITE);
  if (WriteReportFiles()) SetEvent(writtenEvent);
  else SetEvent(failedEvent);
  Sleep(INFINITE);  // the guard ends the process
  return 0;
}

// Waits for the reporter's files within the bound, says in the report what is
// missing, shows the dialog and ends the process with the crash's code.
DWORD WINAPI GuardMain(void*) {
  const TThreadTag tag(TThreadKind::Reporter);
  WaitForSingleObject(crashEvent, INFINITE);
  const HANDLE done[] = {writtenEvent, failedEvent};
  // Done, faulted, or stalled: no part begun within the stall bound, or all
  // of them not done within the whole bound.
  const std::uint32_t start = GetTickCount();
  std::uint32_t progress = reportProgress.load(), progressAt = start;
  DWORD waited = WAIT_TIMEOUT;
  for (;;) {
    waited = WaitForMultipleObjects(2, done, FALSE, 250);
    if (waited != WAIT_TIMEOUT) break;
    const std::uint32_t now = GetTickCount();
    if (reportProgress.load() != progress) progress = reportProgress.load(), progressAt = now;
    if ((progress != 0 && now - progressAt >= stallBound) || now - start >= writeBound) break;
  }
  if (waited != WAIT_OBJECT_0) {
    reportAbandoned.store(true);
    const char* section = reportSection.load();
    // What the reporter made of the section is kept: it has faulted or
    // stands still.
    const std::size_t made = text.Length();
    if (section != nullptr && made > reportFlushed) AppendToReportFile(text.Text() + reportFlushed, made - reportFlushed);
    if (waited == WAIT_OBJECT_0 + 1 && nestedCode != 0) {
      note.AppendFormat("\r\n(раздел «%s» не дописан: сбой 0x%08lX при его записи)\r\n",
                        section != nullptr ? section : "", static_cast<unsigned long>(nestedCode));
    } else if (waited != WAIT_OBJECT_0 + 1 && section != nullptr) {
      note.AppendFormat("\r\n(раздел «%s» не дописан: не закончен за %lu с)\r\n", section,
                        static_cast<unsigned long>(stallBound / 1000));
    }
    WriteNote();
  }
  FinishReport();
  SetEvent(dialogEvent);
  if (trouble == TReportTrouble::DialogHang) Sleep(INFINITE);
  TellUser(folderReady.load());
  EndProcess(crash.Code);
  return 0;
}

// Every crash comes here on the thread that crashed. It only records the crash
// and wakes the reporter, so that it needs hardly any stack; then it bounds
// the whole report, dialog included.
[[noreturn]] void HandleCrash(EXCEPTION_POINTERS* pointers, std::uint32_t code, const char* detail) {
  if (crashing.exchange(1) != 0) {
    // A fault of the reporter keeps what it wrote; the guard carries on. A
    // fault of the guard ends the process at once. Either way the process
    // ends with the first crash's code. Another thread that crashes
    // meanwhile waits for the first report's end.
    const DWORD self = GetCurrentThreadId();
    if (self == reporterThread) {
      nestedCode = code;
      SetEvent(failedEvent);
    } else if (self == guardThread || reporterThread == 0) {
      EndProcess(crash.Code != 0 ? crash.Code : code);
    }
    for (;;) Sleep(INFINITE);
  }
  crash.Pointers = pointers;
  crash.Thread = GetCurrentThreadId();
  crash.Code = code;
  if (detail != nullptr) CopyText(crash.Detail, sizeof crash.Detail, detail);
  if (reporterThread != 0 && crash.Thread != reporterThread && crash.Thread != guardThread) {
    SetEvent(crashEvent);
    WaitForSingleObject(dialogEvent, writeBound + 5000);
    Sleep(dialogBound);
    note.AppendFormat("\r\n(сообщение о сбое не закрыто за %lu с: программа завершена)\r\n",
                      static_cast<unsigned long>(dialogBound / 1000));
    WriteNote();
    EndProcess(code);
  }
  // No reporter: the report is written from here, as far as the stack allows.
  const bool folderMade = WriteReportFiles();
  FinishReport();
  TellUser(folderMade);
  EndProcess(code);
  for (;;) Sleep(INFINITE);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
#if defined(__SEH__)
  // A C++ exception of this compiler that no frame catches is raised as an
  // exception first; continued, the runtime calls std::terminate, whose
  // handler reports it together with its type and text.
  if ((record->ExceptionCode & 0x20FFFFFF) == 0x20474343 && (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0)
    return EXCEPTION_CONTINUE_EXECUTION;
#endif
  HandleCrash(pointers, record->ExceptionCode, nullptr);
}

void DescribeCurrentException(char* out, std::size_t size) {
  const std::exception_ptr error = std::current_exception();
  if (!error) {
    CopyText(out, size, "std::terminate вызван без исключения");
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    const char* type = typeid(e).name();
#if defined(__GNUC__)
    int status = 0;
    char* readable = abi::__cxa_demangle(type, nullptr, nullptr, &status);
    std::snprintf(out, size, "исключение C++ %s: %s", status == 0 && readable != nullptr ? readable : type, e.what());
    std::free(readable);
#else
    std::snprintf(out, size, "исключение C++ %s: %s", type, e.what());
#endif
  } catch (...) {
    CopyText(out, size, "исключение C++ неизвестного типа");
  }
}

void OnTerminate() {
  static char detail[600];
  DescribeCurrentException(detail, sizeof detail);
  ReportSoftwareCrash(kCrashTerminate, detail);
}

void OnPureCall() { ReportSoftwareCrash(kCrashPureCall, "вызов чисто виртуальной функции"); }

void __cdecl OnInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t*, unsigned int,
                                std::uintptr_t) {
  static char detail[600];
  char functionText[200];
  CopyText(functionText, sizeof functionText, function != nullptr ? Narrow(function) : "");
  std::snprintf(detail, sizeof detail, "функция %s, выражение %s", functionText[0] ? functionText : "(не названа)",
                expression != nullptr ? Narrow(expression) : "(не названо)");
  ReportSoftwareCrash(kCrashInvalidParameter, detail);
}

void LoadDbgHelp() {
  // From System32 only: a dbghelp.dll in the application directory or on
  // PATH is never loaded.
  wchar_t path[MAX_PATH];
  const UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n + 13 >= MAX_PATH) {
    CopyText(dbghelpProblem, sizeof dbghelpProblem, "системная папка не найдена");
    return;
  }
  std::wcscat(path, L"\\dbghelp.dll");
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    std::snprintf(dbghelpProblem, sizeof dbghelpProblem, "dbghelp.dll не загружена, ошибка %lu", GetLastError());
    return;
  }
  auto resolve = [module](auto& pointer, const char* name) {
    pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(
        reinterpret_cast<void*>(GetProcAddress(module, name)));
  };
  resolve(dbghelp.MiniDumpWriteDump, "MiniDumpWriteDump");
  resolve(dbghelp.SymInitialize, "SymInitialize");
  resolve(dbghelp.SymRefreshModuleList, "SymRefreshModuleList");
  resolve(dbghelp.SymSetOptions, "SymSetOptions");
  resolve(dbghelp.SymFromAddr, "SymFromAddr");
  resolve(dbghelp.StackWalk64, "StackWalk64");
  resolve(dbghelp.SymFunctionTableAccess64, "SymFunctionTableAccess64");
  resolve(dbghelp.SymGetModuleBase64, "SymGetModuleBase64");
  if (dbghelp.MiniDumpWriteDump == nullptr)
    CopyText(dbghelpProblem, sizeof dbghelpProblem, "в dbghelp.dll нет MiniDumpWriteDump");
  // Symbols are read now, while the process is sound; the modules loaded
  // later are added by StackWalk64 as it meets them.
  if (dbghelp.SymSetOptions != nullptr) dbghelp.SymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_UNDNAME);
  if (dbghelp.SymInitialize == nullptr || !dbghelp.SymInitialize(GetCurrentProcess(), nullptr, TRUE)) {
    dbghelp.StackWalk64 = nullptr;
    CopyText(dbghelpProblem, sizeof dbghelpProblem, "символы не инициализированы");
  }
}

}  // namespace

#if defined(__GNUC__) && !defined(__clang__)
// The runtime's own handler prints a line nobody sees and calls std::terminate;
// this one names the fault in the report.
extern "C" void __cxa_pure_virtual() { OnPureCall(); }
#endif

__attribute__((noinline)) void ReportSoftwareCrash(std::uint32_t code, const char* detail) {
  static CONTEXT context;
  static EXCEPTION_RECORD record;
  static EXCEPTION_POINTERS pointers;
  if (crashing.load() == 0) {
    RtlCaptureContext(&context);
    record = EXCEPTION_RECORD{};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
#if defined(_M_X64) || defined(__x86_64__)
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
#else
    // Wine's 32-bit RtlCaptureContext can give an Eip that is not its
    // caller's (seen in a second thread, and on the way out of an unwinding
    // C++ exception: an address in ntdll or in no module at all); the address
    // this report was asked for from is the truth that is left.
    context.Eip = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
#endif
    pointers.ExceptionRecord = &record;
    pointers.ContextRecord = &context;
  }
  HandleCrash(&pointers, code, detail);
}

bool InstallCrashHandler(const TCrashSetup& given) {
  setup = given;
  CopyText(programVersion, sizeof programVersion, given.ProgramVersion);
  CopyText(buildKind, sizeof buildKind, given.BuildKind);
  CopyText(dialogCaption, sizeof dialogCaption, given.DialogCaption);
  setup.ProgramVersion = programVersion;
  setup.BuildKind = buildKind;
  setup.DialogCaption = dialogCaption;

  // The operation log's directory: the report goes next to the day's logs.
  // Taken as wide text from the system, so that any folder name works.
  const DWORD n = GetModuleFileNameW(nullptr, logsDir, kPathChars);
  if (n > 0 && n < kPathChars - 8) {
    wchar_t* end = logsDir + n;
    while (end > logsDir && end[-1] != L'\\' && end[-1] != L'/') --end;
    std::wcscpy(end, L"Logs");
  } else {
    logsDir[0] = L'\0';
  }
  // The folder of the user's own, for an executable in a folder the user
  // cannot write to. LOCALAPPDATA first: the session's own setting.
  wchar_t local[kPathChars] = {};
  const DWORD m = GetEnvironmentVariableW(L"LOCALAPPDATA", local, kPathChars);
  if ((m == 0 || m >= kPathChars) && SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local) != S_OK)
    local[0] = L'\0';
  if (local[0] != L'\0') std::swprintf(fallbackLogsDir, kPathChars, L"%ls\\VXFWLoader\\Logs", local);

  LoadDbgHelp();
  if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
    rtlGetVersion = reinterpret_cast<TRtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    wineGetVersion =
        reinterpret_cast<TWineGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  }

  // Timer callbacks run inside a handler of the system that swallows their
  // exceptions by default: a fault in a timer handler would pass unseen and
  // leave the program running in an unknown state.
  BOOL suppress = FALSE;
  SetUserObjectInformationW(GetCurrentProcess(), 7 /* UOI_TIMERPROC_EXCEPTION_SUPPRESSION */, &suppress,
                            sizeof suppress);

  // Both threads wake on the one crash event.
  crashEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  writtenEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  failedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  dialogEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE reporter = nullptr, guard = nullptr;
  if (crashEvent != nullptr && writtenEvent != nullptr && failedEvent != nullptr && dialogEvent != nullptr) {
    guard = CreateThread(nullptr, kReporterStack, GuardMain, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, &guardThread);
    if (guard != nullptr)
      reporter = CreateThread(nullptr, kReporterStack, ReporterMain, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                              &reporterThread);
  }
  if (reporter == nullptr) {
    // Without a reporter the guard has nothing to wait for: it stays asleep.
    reporterThread = 0;
    guardThread = 0;
  } else {
    CloseHandle(reporter);
  }
  if (guard != nullptr) CloseHandle(guard);

  SetUnhandledExceptionFilter(UnhandledFilter);
  std::set_terminate(OnTerminate);
  _set_invalid_parameter_handler(OnInvalidParameter);
#if defined(_MSC_VER)
  _set_purecall_handler(OnPureCall);
#endif
  return reporter != nullptr;
}

void SetCrashReportTrouble(TReportTrouble given) {
  trouble = given;
  if (trouble != TReportTrouble::None) stallBound = dialogBound = kTroubleBound;
}
