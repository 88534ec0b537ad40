#pragma once

#include <string>
#include <vector>

#include "records/OperationLog.h"

// Keeps every line the core logs, for the test to assert on.
class RecordingLog : public TOperationLog {
public:
  struct Line {
    TMessageKind kind;
    int serial;
    std::string text;
  };
  std::vector<Line> lines;

  void DeviceLog(TMessageKind kind, int serial, const char* text) override { lines.push_back({kind, serial, text}); }

  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const Line& l : lines) out.push_back(l.text);
    return out;
  }
};
