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

// `onOutLine` sees each line of standard output as it arrives and may return
// true to interrupt the program (Ctrl+C) once. The program is killed after
// `limitMs`.
TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      const std::function<bool(const std::string&)>& onOutLine = {}, int limitMs = 60000);
