#pragma once

// Runs a program as a process of its own with its output captured, the way a
// script runs the console flasher.
#include <functional>
#include <string>
#include <vector>

struct TChildResult {
  int ExitCode = -1;  // -1 when it did not exit by itself
  std::string Out, Err;
};

// What ends the program early: `OnLine` sees each line of standard output
// (standard error with `WatchErr`) as it arrives and may return true to send
// the event once.
struct TChildInterrupt {
  enum TEvent {
    CtrlC,
    Close,   // its console window closed (under Wine through the program's test hook; elsewhere SIGHUP)
    Logoff,  // the session ends (elsewhere: SIGTERM, as at shutdown)
  };
  std::function<bool(const std::string&)> OnLine;
  bool WatchErr = false;
  TEvent Event = CtrlC;
};

// The program is killed after `limitMs`.
TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      const TChildInterrupt& interrupt = {}, int limitMs = 60000);
