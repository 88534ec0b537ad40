#pragma once

#include <cstddef>

#include "records/TextFormat.h"

// A text built in storage given once (static storage, reserved at start-up),
// so that a crash report never needs the heap. Appends past the end are cut
// and remembered; the text stays zero-terminated.
class TReportBuffer {
public:
  TReportBuffer(char* storage, std::size_t capacity);

  void Clear();
  void Append(const char* text);
  void AppendFormat(const char* format, ...) VX_PRINTF(2, 3);

  [[nodiscard]] const char* Text() const { return FStorage; }
  [[nodiscard]] std::size_t Length() const { return FLength; }
  [[nodiscard]] bool Truncated() const { return FTruncated; }

private:
  char* FStorage;
  std::size_t FCapacity;
  std::size_t FLength = 0;
  bool FTruncated = false;
};
