#include "platform/LockedAppend.h"

#include "platform/Files.h"
#include "platform/Ticks.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

// Between two tries at a file another program holds or has locked.
constexpr std::uint32_t kRetryPauseMs = 5;

// Runs `attempt` until it succeeds or gives up for good, pausing between
// tries while `waitMs` of the system clock have not passed. `attempt` returns
// 1 done, 0 try again, -1 give up.
template <class F>
bool Retrying(std::uint32_t waitMs, F attempt) {
  const std::uint32_t start = SystemTickCount();
  for (;;) {
    const int outcome = attempt();
    if (outcome != 0) return outcome > 0;
    if (SystemTickCount() - start >= waitMs) return false;
    SystemSleepMs(kRetryPauseMs);
  }
}

// A file larger than this is not read for its torn line: its closer sees
// nothing of it.
constexpr std::uint64_t kTornReadLimit = 256u << 20;

// What goes into the file at its end `size`: the header for an empty file,
// else what closes a torn last line, then the line. `readTail(n, out)` reads
// the file's last n bytes: two of them, and the whole file only when its last
// line is torn.
template <class ReadTail>
bool BytesToAppend(std::uint64_t size, const std::string& header, const std::string& line, TTornLineEnd closeTorn,
                   ReadTail readTail, std::string& bytes) {
  bytes.clear();
  if (size == 0) {
    bytes = header;
  } else if (closeTorn != nullptr) {
    std::string tail;
    if (!readTail(size < 2 ? 1 : 2, tail)) return false;
    if (tail != "\r\n") {
      if (size > kTornReadLimit) {
        tail.clear();
      } else if (!readTail(static_cast<std::size_t>(size), tail)) {
        return false;
      }
      bytes = closeTorn(tail);
    }
  }
  bytes += line;
  return true;
}

}  // namespace

bool AppendLineLocked(const std::string& path, const std::string& header, const std::string& line,
                      std::uint32_t waitMs) {
  return AppendLineClosingTorn(path, header, line, waitMs, nullptr);
}

#ifdef _WIN32

namespace {

// The byte every appender locks: far past the end of any real file, so that
// the lock never stands in the way of a program reading the lines.
constexpr DWORD kLockOffsetHigh = 0x40000000u;

bool WriteAll(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

}  // namespace

bool AppendLineClosingTorn(const std::string& path, const std::string& header, const std::string& line,
                           std::uint32_t waitMs, TTornLineEnd closeTorn) {
  const std::wstring name = WidePath(path);
  HANDLE file = INVALID_HANDLE_VALUE;
  const bool opened = Retrying(waitMs, [&] {
    file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return 1;
    // Another program has it open without letting others write: it may let
    // go soon. Anything else (no access, no such folder) stays as it is.
    return GetLastError() == ERROR_SHARING_VIOLATION ? 0 : -1;
  });
  if (!opened) return false;

  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  const bool locked = Retrying(waitMs, [&] {
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return 1;
    return GetLastError() == ERROR_LOCK_VIOLATION ? 0 : -1;
  });
  bool ok = false;
  if (locked) {
    LARGE_INTEGER size{};
    std::string bytes;
    const auto readTail = [&](std::size_t count, std::string& tail) {
      LARGE_INTEGER from{};
      from.QuadPart = size.QuadPart - static_cast<LONGLONG>(count);
      tail.assign(count, '\0');
      DWORD read = 0;
      return SetFilePointerEx(file, from, nullptr, FILE_BEGIN) &&
             ReadFile(file, tail.data(), static_cast<DWORD>(count), &read, nullptr) && read == count;
    };
    if (GetFileSizeEx(file, &size) &&
        BytesToAppend(static_cast<std::uint64_t>(size.QuadPart), header, line, closeTorn, readTail, bytes)) {
      ok = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && WriteAll(file, bytes);
      if (!ok && SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    }
    UnlockFileEx(file, 0, 1, 0, &at);
  }
  CloseHandle(file);
  return ok;
}

#else

bool AppendLineClosingTorn(const std::string& path, const std::string& header, const std::string& line,
                           std::uint32_t waitMs, TTornLineEnd closeTorn) {
  // Read as well: the end of a torn line is looked at.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  // flock locks belong to the open file: two threads of one program, each
  // with its own open, keep each other out as two programs do.
  const bool locked = Retrying(waitMs, [&] {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
    return errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  });
  bool ok = false;
  if (locked) {
    struct stat st {};
    std::string bytes;
    const auto readTail = [&](std::size_t count, std::string& tail) {
      tail.assign(count, '\0');
      return pread(fd, tail.data(), count, st.st_size - static_cast<off_t>(count)) == static_cast<ssize_t>(count);
    };
    if (fstat(fd, &st) == 0 &&
        BytesToAppend(static_cast<std::uint64_t>(st.st_size), header, line, closeTorn, readTail, bytes)) {
      ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
      if (!ok) (void)ftruncate(fd, st.st_size);
    }
    flock(fd, LOCK_UN);
  }
  close(fd);
  return ok;
}

#endif
