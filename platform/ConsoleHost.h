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

// Ctrl+C and Ctrl+Break set `flag` instead of ending the process. So do a
// closed console window, logoff and shutdown (elsewhere SIGTERM and SIGHUP),
// and on Windows the system's thread for the event is then held (the system
// ends the process when it is let go) until the process ends by itself or the
// system's own few seconds have passed. The flag must outlive the process's
// handling of it.
void InstallInterruptHandler(std::atomic<bool>* flag);

// A hidden top-level window of the calling thread that counts the
// device-change notifications (DBT_DEVNODES_CHANGED) the system broadcasts.
// Elsewhere than Windows it never counts: the caller hooks the simulated
// libraries' notification instead. Serve() handles the waiting window
// messages of the thread and must be called often on the thread that made it.
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

private:
  std::atomic<int> FChanges{0};
#ifdef _WIN32
  void* FWindow = nullptr;  // the hidden window's HWND
#endif
};
