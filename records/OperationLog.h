#pragma once

#include "records/MessageKind.h"
#include "records/TextFormat.h"

// The narrow door through which the core reports to the operation log. The
// main window implements it; tests record what arrives.
class TOperationLog {
public:
  virtual ~TOperationLog() = default;

  // One line about the device with this serial number (0: no device).
  virtual void DeviceLog(TMessageKind kind, int serial, const char* text) = 0;

  void DeviceLogFmt(TMessageKind kind, int serial, const char* format, ...) VX_PRINTF(4, 5);
  void LogFmt(TMessageKind kind, const char* format, ...) VX_PRINTF(3, 4);
};
