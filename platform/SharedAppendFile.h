#pragma once

#include <cstdint>
#include <string>

// A file kept open for appending while other programs may read it, append to
// it and delete it: the day's log file, which the window, a second copy of it
// and any number of console flashers write at once. Paths are 8-bit
// Windows-1251 text.
//
// Every write goes to the end of the file as it is at that moment and
// arrives whole, whatever the other appenders do: on Windows each write is
// made under the lock all appenders take (one byte far past the end of any
// real file, so that a reader is never held up by it), because under Wine two
// programs' appends to one file can land on the same offset. Taking that lock
// costs a round trip to the system, so a caller with several lines in a row
// takes it once for all of them (Hold ... Release); natively an O_APPEND
// write is already whole and at the end, and Hold takes nothing.
class TSharedAppendFile {
public:
  TSharedAppendFile() = default;
  ~TSharedAppendFile() { Close(); }
  TSharedAppendFile(const TSharedAppendFile&) = delete;
  TSharedAppendFile& operator=(const TSharedAppendFile&) = delete;

  // Opens (creating it when missing, keeping what it holds); false when it
  // cannot be opened (another program holding it without write sharing among
  // the reasons). Closes whatever was open before.
  [[nodiscard]] bool Open(const std::string& path);
  // Takes the appenders' lock until Release or Close, waiting for another
  // appender's hold for up to `waitMs`; false when it could not be had.
  [[nodiscard]] bool Hold(std::uint32_t waitMs);
  void Release();
  [[nodiscard]] bool Held() const { return FHeld; }
  // Appends in one write at the current end of the file, under the hold when
  // there is one and else under a lock of its own, waiting for it up to
  // `waitMs`.
  [[nodiscard]] bool Append(const std::string& bytes, std::uint32_t waitMs);
  // True when another program has deleted the file since it was opened:
  // what is written to it now is lost with it.
  [[nodiscard]] bool Deleted() const;
  void Close();
  [[nodiscard]] bool IsOpen() const;

private:
  [[nodiscard]] bool WriteAtEnd(const std::string& bytes);
#ifdef _WIN32
  void* FHandle = nullptr;
#else
  int FFd = -1;
#endif
  bool FHeld = false;
};
