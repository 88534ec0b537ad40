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

}  // namespace

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

bool AppendLineLocked(const std::string& path, const std::string& header, const std::string& line,
                      std::uint32_t waitMs) {
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
    if (GetFileSizeEx(file, &size)) {
      const std::string bytes = size.QuadPart == 0 ? header + line : line;
      ok = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && WriteAll(file, bytes);
      if (!ok && SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    }
    UnlockFileEx(file, 0, 1, 0, &at);
  }
  CloseHandle(file);
  return ok;
}

#else

bool AppendLineLocked(const std::string& path, const std::string& header, const std::string& line,
                      std::uint32_t waitMs) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
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
    if (fstat(fd, &st) == 0) {
      const std::string bytes = st.st_size == 0 ? header + line : line;
      ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
      if (!ok) (void)ftruncate(fd, st.st_size);
    }
    flock(fd, LOCK_UN);
  }
  close(fd);
  return ok;
}

#endif
