#include "platform/ConsoleHost.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include "platform/HelperWindow.h"
#else
#include <csignal>
#include <unistd.h>
#endif

namespace {
std::atomic<std::atomic<bool>*> interruptFlag{nullptr};
}  // namespace

#ifdef _WIN32

namespace {

HANDLE StdHandle(TStdStream stream) {
  return GetStdHandle(stream == TStdStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// Longer than the system waits for a closing console (about 5 s) or a
// logoff or shutdown: it is the system that cuts this wait short.
constexpr DWORD kCloseWaitMs = 30000;

BOOL WINAPI OnConsoleControl(DWORD type) {
  std::atomic<bool>* flag = interruptFlag.load();
  if (flag == nullptr) return FALSE;
  flag->store(true);
  // Ctrl+C and Ctrl+Break: handled, the process goes on and stops by itself.
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  // A closed console window, logoff or shutdown: the system ends the process
  // as soon as this returns. Held here (on the system's thread for the
  // event) while the program stops its work; its own end then ends this wait.
  Sleep(kCloseWaitMs);
  return TRUE;
}

constexpr UINT kDeviceChangeMessage = WM_DEVICECHANGE;
constexpr WPARAM kDevNodesChanged = 7;  // DBT_DEVNODES_CHANGED

LRESULT CALLBACK WatchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kDeviceChangeMessage && wParam == kDevNodesChanged) {
    auto* watch = reinterpret_cast<TDeviceChangeWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (watch != nullptr) watch->Count();
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool IsConsoleStream(TStdStream stream) {
  DWORD mode = 0;
  return GetConsoleMode(StdHandle(stream), &mode) != 0;
}

bool WriteStdText(TStdStream stream, const std::string& utf8) {
  HANDLE handle = StdHandle(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  if (utf8.empty()) return true;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode) != 0) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (length <= 0) return false;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    DWORD written = 0;
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
  }
  DWORD written = 0;
  return WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) != 0 &&
         written == utf8.size();
}

bool EnableConsoleCursorControl(TStdStream stream) {
  HANDLE handle = StdHandle(stream);
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode) == 0) return false;
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void InstallInterruptHandler(std::atomic<bool>* flag) {
  interruptFlag = flag;
  // A program started in a process group of its own, or by one that ignores
  // Ctrl+C, inherits the ignoring; the flasher must hear it to stop cleanly.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

TDeviceChangeWatch::TDeviceChangeWatch() {
  // Top-level (not message-only), never shown: broadcasts reach only those.
  HWND window = CreateHelperWindow(L"TVxDeviceChangeWatch", WatchWindowProc, nullptr);
  if (window != nullptr) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  FWindow = window;
}

TDeviceChangeWatch::~TDeviceChangeWatch() {
  if (FWindow != nullptr) DestroyWindow(static_cast<HWND>(FWindow));
}

void TDeviceChangeWatch::Serve() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

#else

namespace {
void OnInterrupt(int /*signal*/) {
  if (std::atomic<bool>* flag = interruptFlag.load()) flag->store(true);
}
}  // namespace

bool IsConsoleStream(TStdStream stream) { return isatty(stream == TStdStream::Output ? 1 : 2) != 0; }

bool WriteStdText(TStdStream stream, const std::string& utf8) {
  std::FILE* file = stream == TStdStream::Output ? stdout : stderr;
  const bool written = std::fwrite(utf8.data(), 1, utf8.size(), file) == utf8.size();
  return std::fflush(file) == 0 && written;
}

bool EnableConsoleCursorControl(TStdStream stream) { return IsConsoleStream(stream); }

void InstallInterruptHandler(std::atomic<bool>* flag) {
  interruptFlag = flag;
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);  // the terminal was closed
}

TDeviceChangeWatch::TDeviceChangeWatch() = default;
TDeviceChangeWatch::~TDeviceChangeWatch() = default;
void TDeviceChangeWatch::Serve() {}

#endif
