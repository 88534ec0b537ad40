#pragma once

#include <atomic>
#include <string>

// What a program without a window needs from the system: text on its
// standard streams, Ctrl+C, and the device-change notification.

enum class TStdStream { Output, Error };

// True when the stream is an interactive console (a terminal elsewhere).
[[nodiscard]] bool IsConsoleStream(TStdStream stream);

// Writes UTF-8 text. On a Windows console it goes in as UTF-16
// (WriteConsoleW), so that it shows correctly whatever the console's code
// page; redirected, the bytes go out as they are. False when it could not be
// written.
bool WriteStdText(TStdStream stream, const std::string& utf8);

// Turns on cursor movement by escape sequences on a Windows console (it is on
// everywhere else). False when the console cannot do it.
bool EnableConsoleCursorControl(TStdStream stream);

// Ctrl+C and Ctrl+Break set `flag` instead of ending the process. So does a
// closed console window (elsewhere SIGHUP, and SIGTERM), and the system's
// thread for the event is then held (the system ends the process when it is
// let go) until the process ends by itself or the system's own few seconds
// have passed; logoff and shutdown reach a TDeviceChangeWatch, which does the
// same. The flag must outlive the process's handling of it.
void InstallInterruptHandler(std::atomic<bool>* flag);

#ifdef _WIN32
// Development builds' tests: once the named event (made by the test) is set,
// the console window is taken for closed as the system does it, the handler
// of InstallInterruptHandler on a thread of its own and the process ended
// when it returns. (Wine ends a console's processes at once when its window
// closes, without the event.) Nothing without a name or such an event.
void InstallConsoleCloseTest(const char* eventName);
#endif

// A hidden top-level window, on a thread of its own, that counts the
// device-change notifications (DBT_DEVNODES_CHANGED) the system broadcasts,
// and at logoff or shutdown sets the flag of InstallInterruptHandler and holds
// the session's end as a closed console does. Elsewhere than Windows it never
// counts: the caller hooks the simulated libraries' notification instead.
// Serve() handles the waiting window messages of the calling thread and must
// be called often on the thread that made the watch.
class TDeviceChangeWatch {
public:
  TDeviceChangeWatch();
  ~TDeviceChangeWatch();  // NOLINT(performance-trivially-destructible): destroys the window on Windows
  TDeviceChangeWatch(const TDeviceChangeWatch&) = delete;
  TDeviceChangeWatch& operator=(const TDeviceChangeWatch&) = delete;

  void Serve();
  // Notifications since the last call; counted from any thread.
  int TakeChanges() { return FChanges.exchange(0); }
  void Count() { ++FChanges; }

#ifdef _WIN32
  // The window's thread only, and the destructor.
  void* FWindow = nullptr;  // the hidden window's HWND
  void* FReady = nullptr;   // event: FWindow is set; owned
  void* FThread = nullptr;  // the window's thread; owned
  std::atomic<bool> FEnding{false};  // the session ends: the thread is held
#endif

private:
  std::atomic<int> FChanges{0};
};
