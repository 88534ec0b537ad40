#include "platform/SharedAppendFile.h"

#include "platform/Files.h"
#include "platform/Ticks.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// How long a single append waits for another appender's hold of the lock.
constexpr std::uint32_t kSingleAppendWaitMs = 1000;
}  // namespace

bool AppendToSharedFile(const std::string& path, const std::string& bytes) {
  TSharedAppendFile file;
  return file.Open(path) && file.Append(bytes, kSingleAppendWaitMs);
}

bool TSharedAppendFile::Append(const std::string& bytes, std::uint32_t waitMs) {
  if (!IsOpen()) return false;
  if (FHeld) return WriteAtEnd(bytes);
  if (!Hold(waitMs)) return false;
  const bool ok = WriteAtEnd(bytes);
  Release();
  return ok;
}

#ifdef _WIN32

namespace {
// The byte every appender locks: far past the end of any real file.
constexpr DWORD kLockOffsetHigh = 0x40000000u;
constexpr std::uint32_t kLockRetryPauseMs = 1;
}  // namespace

bool TSharedAppendFile::Open(const std::string& path) {
  Close();
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FHandle = file;
  return true;
}

bool TSharedAppendFile::Hold(std::uint32_t waitMs) {
  if (FHandle == nullptr) return false;
  if (FHeld) return true;
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  const std::uint32_t start = SystemTickCount();
  // A blocking lock could wait forever for a program that hangs holding it.
  while (!LockFileEx(FHandle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    if (GetLastError() != ERROR_LOCK_VIOLATION || SystemTickCount() - start >= waitMs) return false;
    SystemSleepMs(kLockRetryPauseMs);
  }
  FHeld = true;
  return true;
}

void TSharedAppendFile::Release() {
  if (!FHeld) return;
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(FHandle, 0, 1, 0, &at);
  FHeld = false;
}

bool TSharedAppendFile::WriteAtEnd(const std::string& bytes) {
  DWORD written = 0;
  return SetFilePointerEx(FHandle, LARGE_INTEGER{}, nullptr, FILE_END) &&
         WriteFile(FHandle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool TSharedAppendFile::Deleted() const {
  if (FHandle == nullptr) return false;
  FILE_STANDARD_INFO info{};
  if (!GetFileInformationByHandleEx(FHandle, FileStandardInfo, &info, sizeof info)) return false;
  return info.DeletePending != FALSE || info.NumberOfLinks == 0;
}

void TSharedAppendFile::Close() {
  Release();
  if (FHandle != nullptr) CloseHandle(FHandle);
  FHandle = nullptr;
}

bool TSharedAppendFile::IsOpen() const { return FHandle != nullptr; }

#else

bool TSharedAppendFile::Open(const std::string& path) {
  Close();
  FFd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  return FFd >= 0;
}

bool TSharedAppendFile::Hold(std::uint32_t /*waitMs*/) {
  FHeld = FFd >= 0;
  return FHeld;
}

void TSharedAppendFile::Release() { FHeld = false; }

bool TSharedAppendFile::WriteAtEnd(const std::string& bytes) {
  return write(FFd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool TSharedAppendFile::Deleted() const {
  struct stat st;
  return FFd >= 0 && fstat(FFd, &st) == 0 && st.st_nlink == 0;
}

void TSharedAppendFile::Close() {
  Release();
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

bool TSharedAppendFile::IsOpen() const { return FFd >= 0; }

#endif
