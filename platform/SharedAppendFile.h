#pragma once

#include <string>

// A file kept open for appending while other programs may read it and may
// delete it (the sharing of AppendToSharedFile, held for several writes).
// Paths are 8-bit Windows-1251 text.
class TSharedAppendFile {
public:
  TSharedAppendFile() = default;
  ~TSharedAppendFile() { Close(); }
  TSharedAppendFile(const TSharedAppendFile&) = delete;
  TSharedAppendFile& operator=(const TSharedAppendFile&) = delete;

  // Opens (creating it when missing, keeping what it holds); false when it
  // cannot be opened. Closes whatever was open before.
  [[nodiscard]] bool Open(const std::string& path);
  // Appends in one write at the current end of the file.
  [[nodiscard]] bool Append(const std::string& bytes);
  // True when another program has deleted the file since it was opened:
  // what is written to it now is lost with it.
  [[nodiscard]] bool Deleted() const;
  void Close();
  [[nodiscard]] bool IsOpen() const;

private:
#ifdef _WIN32
  void* FHandle = nullptr;
#else
  int FFd = -1;
#endif
};
