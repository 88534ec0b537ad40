#include "records/OperationLog.h"

void TOperationLog::DeviceLogFmt(TMessageKind kind, int serial, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = FormatTextV(format, args);
  va_end(args);
  DeviceLog(kind, serial, text.c_str());
}

void TOperationLog::LogFmt(TMessageKind kind, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = FormatTextV(format, args);
  va_end(args);
  DeviceLog(kind, 0, text.c_str());
}
