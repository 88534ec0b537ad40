#include "crash/ReportBuffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

TReportBuffer::TReportBuffer(char* storage, std::size_t capacity) : FStorage(storage), FCapacity(capacity) { Clear(); }

void TReportBuffer::Clear() {
  FLength = 0;
  FTruncated = false;
  if (FCapacity > 0) FStorage[0] = '\0';
}

void TReportBuffer::Append(const char* text) {
  if (text == nullptr || FCapacity == 0) return;
  const std::size_t room = FCapacity - 1 - FLength;
  std::size_t n = std::strlen(text);
  if (n > room) {
    n = room;
    FTruncated = true;
  }
  std::memcpy(FStorage + FLength, text, n);
  FLength += n;
  FStorage[FLength] = '\0';
}

void TReportBuffer::AppendFormat(const char* format, ...) {
  if (FCapacity == 0) return;
  const std::size_t room = FCapacity - FLength;  // the terminator included
  std::va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(FStorage + FLength, room, format, args);
  va_end(args);
  if (n < 0) {
    FStorage[FLength] = '\0';  // a format error adds nothing
    FTruncated = true;
    return;
  }
  if (static_cast<std::size_t>(n) >= room) {
    FLength = FCapacity - 1;
    FStorage[FLength] = '\0';
    FTruncated = true;
    return;
  }
  FLength += static_cast<std::size_t>(n);
}
