#include "crash/win32/CrashHandler.h"

#include <dbghelp.h>
#include <psapi.h>

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
#include "platform/Files.h"
#include "platform/ThreadTags.h"

namespace {

// ---- state reserved at installation ----

constexpr DWORD kReporterStack = 1024 * 1024;
// How long the crashed thread waits for the report files; the dialog that
// follows waits for the technician.
constexpr DWORD kReportWriteTimeout = 60000;
constexpr std::size_t kTextSize = 512 * 1024;
constexpr int kMaxModules = 1024;

using TMiniDumpWriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                         PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
using TSymInitialize = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
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
wchar_t logsDir[MAX_PATH];     // ...\Logs, without the trailing separator
wchar_t reportDir[MAX_PATH];   // the folder of this report
char reportDirText[MAX_PATH * 2];
TDbgHelp dbghelp;
char dbghelpProblem[160];
TRtlGetVersion rtlGetVersion = nullptr;
TWineGetVersion wineGetVersion = nullptr;

std::atomic<LONG> crashing{0};
TCrash crash;
HANDLE crashEvent = nullptr;    // the filter wakes the reporter
HANDLE writtenEvent = nullptr;  // the report's files are written
DWORD reporterThread = 0;

char textStorage[kTextSize];
TReportBuffer text(textStorage, sizeof textStorage);
HMODULE modules[kMaxModules];
alignas(8) std::uint8_t versionData[64 * 1024];
alignas(16) unsigned char symbolStorage[sizeof(SYMBOL_INFO) + 512];
char narrowScratch[4096];
wchar_t dialogText[4096];
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

bool WriteWholeFile(const wchar_t* path, const void* data, DWORD size) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
  CloseHandle(file);
  return ok;
}

void PathInReport(const wchar_t* name, wchar_t* out, std::size_t size) {
  std::swprintf(out, size, L"%ls\\%ls", reportDir, name);
}

// ---- the report's parts ----

bool CreateReportFolder() {
  CreateDirectoryW(logsDir, nullptr);  // the operation log's directory; it may exist
  SYSTEMTIME st;
  GetLocalTime(&st);
  const TLocalTime now{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
  for (int attempt = 1; attempt <= 50; ++attempt) {
    char name[64];
    if (!ReportFolderName(now, attempt, name, sizeof name)) return false;
    wchar_t wideName[64];
    WideText(name, wideName, 64);
    std::swprintf(reportDir, MAX_PATH, L"%ls\\%ls", logsDir, wideName);
    if (CreateDirectoryW(reportDir, nullptr)) {
      CopyText(reportDirText, sizeof reportDirText, Narrow(reportDir));
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

void WriteMiniDump() {
  if (dbghelp.MiniDumpWriteDump == nullptr) return;
  wchar_t path[MAX_PATH];
  PathInReport(L"crash.dmp", path, MAX_PATH);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  MINIDUMP_EXCEPTION_INFORMATION info{};
  info.ThreadId = crash.Thread;
  info.ExceptionPointers = crash.Pointers;
  info.ClientPointers = FALSE;
  const auto type =
      static_cast<MINIDUMP_TYPE>(MiniDumpNormal);
  dumpWritten = dbghelp.MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, type,
                                          crash.Pointers != nullptr ? &info : nullptr, nullptr, nullptr) != FALSE;
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
  std::uint64_t previousStack = 0;
  for (int depth = 0; depth < 64; ++depth) {
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
    constexpr unsigned long long kMiB = 1024 * 1024;
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
  SYSTEMTIME st;
  GetLocalTime(&st);
  text.Append("Отчёт о сбое программы обновления прошивки\r\n");
  text.AppendFormat("Время: %02u.%02u.%04u %02u:%02u:%02u\r\n", st.wDay, st.wMonth, st.wYear, st.wHour, st.wMinute,
                    st.wSecond);
  text.AppendFormat("Программа: %s, %s\r\n", programVersion, buildKind);
  text.AppendFormat("Командная строка: %s\r\n", Narrow(GetCommandLineW()));
  text.AppendFormat("Процесс: %lu\r\n", GetCurrentProcessId());
  text.Append("\r\n== Исключение ==\r\n");
  AppendException();
  text.Append("\r\n== Стек вызовов ==\r\n");
  AppendCallStack();
  text.Append("\r\n== Потоки программы ==\r\n");
  AppendThreads();
  text.Append("\r\n== Приборы ==\r\n");
  if (setup.DescribeDevices != nullptr) setup.DescribeDevices(text);
  else text.Append("  (нет сведений)\r\n");
  text.Append("\r\n== Последние строки журнала ==\r\n");
  if (CrashLogRing().AppendTo(text) == 0) text.Append("  (нет)\r\n");
  text.Append("\r\n== Система ==\r\n");
  AppendSystem();
  text.Append("\r\n== Модули ==\r\n");
  AppendModules();
  text.Append("\r\n== Файлы отчёта ==\r\n");
  text.AppendFormat("crash.dmp: %s\r\n", dumpWritten ? "записан" : dbghelp.MiniDumpWriteDump ? "не записан" : dbghelpProblem);
  if (text.Truncated()) text.Append("\r\n(отчёт обрезан)\r\n");
  wchar_t path[MAX_PATH];
  PathInReport(L"report.txt", path, MAX_PATH);
  textWritten = WriteWholeFile(path, text.Text(), static_cast<DWORD>(text.Length()));
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
      wchar_t path[MAX_PATH];
      PathInReport(L"window.bmp", path, MAX_PATH);
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
    if (!done) GlobalFree(memory);
  }
  CloseClipboard();
  return done;
}

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
  if (tagged && tag.Kind == TThreadKind::Flashing && tag.Serial != 0)
    m.AppendFormat("Прошивка прибора %d не завершена: прибор остался в загрузчике, прошейте его заново после "
                   "перезапуска программы.\n",
                   static_cast<int>(tag.Serial));
  if (folderMade && (dumpWritten || textWritten)) {
    m.AppendFormat("\nОтчёт о сбое сохранён в папке:\n%s\n", reportDirText);
    if (!dumpWritten) m.Append("(дамп памяти записать не удалось)\n");
    if (!screenshotWritten) m.AppendFormat("(снимок окна не сохранён: %s)\n", screenshotProblem);
    m.Append("\nПередайте эту папку разработчикам вместе с описанием того, что вы делали.");
  } else {
    m.Append("\nОтчёт о сбое сохранить не удалось: нет доступа к папке Logs рядом с программой.");
  }
  const bool canOpen = folderMade && (dumpWritten || textWritten);
  wchar_t caption[128];
  WideText(dialogCaption, caption, 128);
  const UINT flags = (canOpen ? MB_YESNOCANCEL : MB_OK) | MB_ICONERROR | MB_TOPMOST | MB_SETFOREGROUND;
  bool copied = false;
  for (;;) {
    static char shown[3200];
    std::snprintf(shown, sizeof shown, "%s%s", message, copied ? "\n\nПуть к папке скопирован в буфер обмена." : "");
    WideText(shown, dialogText, static_cast<int>(sizeof dialogText / sizeof dialogText[0]));
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

// ---- catching ----

void WriteReportFiles(bool& folderMade) {
  folderMade = CreateReportFolder();
  if (!folderMade) return;
  WriteMiniDump();     // first: it needs nothing of ours that may be damaged
  WriteScreenshot();   // before the dialog, which would be in the picture
  WriteTextReport();
}

DWORD WINAPI ReporterMain(void*) {
  const TThreadTag tag(TThreadKind::Reporter);
  WaitForSingleObject(crashEvent, INFINITE);
  bool folderMade = false;
  WriteReportFiles(folderMade);
  SetEvent(writtenEvent);
  ShowCrashDialog(folderMade);
  TerminateProcess(GetCurrentProcess(), crash.Code);
  return 0;
}

// Every crash comes here on the thread that crashed. It only records the crash
// and wakes the reporter, so that it needs hardly any stack.
[[noreturn]] void HandleCrash(EXCEPTION_POINTERS* pointers, std::uint32_t code, const char* detail) {
  if (crashing.exchange(1) != 0) {
    // A fault while the report is written ends the process at once; another
    // thread that crashes meanwhile waits for the first report's end.
    if (GetCurrentThreadId() == reporterThread) TerminateProcess(GetCurrentProcess(), code);
    for (;;) Sleep(INFINITE);
  }
  crash.Pointers = pointers;
  crash.Thread = GetCurrentThreadId();
  crash.Code = code;
  if (detail != nullptr) CopyText(crash.Detail, sizeof crash.Detail, detail);
  if (reporterThread != 0 && crash.Thread != reporterThread) {
    SetEvent(crashEvent);
    if (WaitForSingleObject(writtenEvent, kReportWriteTimeout) == WAIT_OBJECT_0) Sleep(INFINITE);  // the dialog ends it
    TerminateProcess(GetCurrentProcess(), code);
  }
  // No reporter: the report is written from here, as far as the stack allows.
  bool folderMade = false;
  WriteReportFiles(folderMade);
  ShowCrashDialog(folderMade);
  TerminateProcess(GetCurrentProcess(), code);
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

void ReportSoftwareCrash(std::uint32_t code, const char* detail) {
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
  WideText((ExecutableDirectory() + "Logs").c_str(), logsDir, MAX_PATH);

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

  crashEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  writtenEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE reporter = nullptr;
  if (crashEvent != nullptr && writtenEvent != nullptr)
    reporter = CreateThread(nullptr, kReporterStack, ReporterMain, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                            &reporterThread);
  if (reporter == nullptr) reporterThread = 0;
  else CloseHandle(reporter);

  SetUnhandledExceptionFilter(UnhandledFilter);
  std::set_terminate(OnTerminate);
  _set_invalid_parameter_handler(OnInvalidParameter);
#if defined(_MSC_VER)
  _set_purecall_handler(OnPureCall);
#endif
  return reporter != nullptr;
}
