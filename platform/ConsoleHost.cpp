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

// Longer than the system waits for a closing console (about 5 s) or for a
// window at logoff or shutdown: it is the system that cuts this wait short.
constexpr DWORD kEndWaitMs = 30000;

// The system ends the process as soon as its thread for the event returns:
// the program is told to stop, and that thread is held while the program
// stops its work; the program's own end then ends this wait. False when no
// program is listening.
bool StopAndHold() {
  std::atomic<bool>* flag = interruptFlag.load();
  if (flag == nullptr) return false;
  flag->store(true);
  Sleep(kEndWaitMs);
  return true;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  // Ctrl+C and Ctrl+Break: handled, the process goes on and stops by itself.
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    std::atomic<bool>* flag = interruptFlag.load();
    if (flag == nullptr) return FALSE;
    flag->store(true);
    return TRUE;
  }
  // A closed console window (logoff and shutdown come to the watch's window:
  // a process with windows gets no console event for them).
  return StopAndHold() ? TRUE : FALSE;
}

DWORD WINAPI CloseTestThread(void* event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  (void)OnConsoleControl(CTRL_CLOSE_EVENT);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return 0;
}

constexpr UINT kDeviceChangeMessage = WM_DEVICECHANGE;
constexpr WPARAM kDevNodesChanged = 7;  // DBT_DEVNODES_CHANGED

LRESULT CALLBACK WatchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* watch = reinterpret_cast<TDeviceChangeWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case kDeviceChangeMessage:
      if (wParam != kDevNodesChanged) break;
      if (watch != nullptr) watch->Count();
      return TRUE;
    case WM_QUERYENDSESSION:
      return TRUE;  // the flashes stop when the session really ends
    case WM_ENDSESSION:
      // Logoff or shutdown: the process ends once this returns.
      if (wParam != FALSE && watch != nullptr) {
        watch->FEnding.store(true);
        (void)StopAndHold();
      }
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI WatchThread(void* context) {
  auto* watch = static_cast<TDeviceChangeWatch*>(context);
  // Top-level (not message-only), never shown: broadcasts reach only those.
  HWND window = CreateHelperWindow(L"TVxDeviceChangeWatch", WatchWindowProc, nullptr);
  if (window != nullptr) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(watch));
  watch->FWindow = window;
  SetEvent(static_cast<HANDLE>(watch->FReady));
  if (window == nullptr) return 0;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
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

void InstallConsoleCloseTest(const char* eventName) {
  if (eventName == nullptr || *eventName == '\0') return;
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, eventName);
  if (event == nullptr) return;
  // The event and the thread stay for the process's life.
  if (HANDLE thread = CreateThread(nullptr, 0, CloseTestThread, event, 0, nullptr)) CloseHandle(thread);
}

// The window has a thread of its own: the end of the session is told to it,
// and it must be held there while the program's thread stops the flashes.
TDeviceChangeWatch::TDeviceChangeWatch() {
  FReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (FReady == nullptr) return;
  FThread = CreateThread(nullptr, 0, WatchThread, this, 0, nullptr);
  if (FThread != nullptr) WaitForSingleObject(static_cast<HANDLE>(FReady), INFINITE);
}

TDeviceChangeWatch::~TDeviceChangeWatch() {
  if (FThread != nullptr) {
    // A thread held for the session's end stays so: this process ends next.
    if (!FEnding.load()) {
      if (FWindow != nullptr) PostMessageW(static_cast<HWND>(FWindow), WM_CLOSE, 0, 0);
      WaitForSingleObject(static_cast<HANDLE>(FThread), INFINITE);
    }
    CloseHandle(static_cast<HANDLE>(FThread));
  }
  if (FReady != nullptr) CloseHandle(static_cast<HANDLE>(FReady));
}

// The thread's other messages: the hand-over of its workers' calls.
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
