#include "platform/Files.h"

#include <cstdint>

#ifdef _WIN32
#include <windows.h>

#include "platform/CodePage.h"
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#endif

namespace {

std::string& DirectoryOverride() {
  static std::string directory;
  return directory;
}

std::string RealExecutableDirectory();

}  // namespace

void SetExecutableDirectory(std::string directory) { DirectoryOverride() = std::move(directory); }

std::string ExecutableDirectory() {
  return DirectoryOverride().empty() ? RealExecutableDirectory() : DirectoryOverride();
}

bool ReadWholeFileExclusive(const std::string& path, std::vector<std::uint8_t>& data) {
  std::uint64_t size = 0;
  return ReadWholeFileExclusive(path, UINT64_MAX, data, size) == TFileRead::Done;
}

#ifdef _WIN32

std::wstring WidePath(const std::string& path) {
  const std::u16string u = Cp1251ToUtf16(path);
  return std::wstring(u.begin(), u.end());
}

namespace {

bool NarrowPath(const std::wstring& path, std::string& out) {
  return Utf16ToCp1251Exact(std::u16string_view(reinterpret_cast<const char16_t*>(path.data()), path.size()), out);
}

std::string RealExecutableDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return std::string();
    path.resize(path.size() * 2);
  }
  const std::wstring directory = path.substr(0, path.find_last_of(L"\\/") + 1);
  std::string text;
  if (NarrowPath(directory, text)) return text;
  // A letter Windows-1251 has no place for: the short name is plain ASCII
  // where the volume keeps short names; otherwise the "?" text fails to open
  // and the settings and logs are refused (reported at exit), never misplaced.
  std::wstring shortName(directory.size() + 1, L'\0');
  const DWORD n = GetShortPathNameW(directory.c_str(), shortName.data(), static_cast<DWORD>(shortName.size()));
  if (n > 0 && n < shortName.size()) {
    shortName.resize(n);
    std::string shortText;
    if (NarrowPath(shortName, shortText)) return shortText;
  }
  return text;
}

}  // namespace

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CreateDirectories(const std::string& path) {
  std::string p = path;
  while (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  if (p.empty()) return false;
  const DWORD attributes = GetFileAttributesW(WidePath(p).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const std::size_t cut = p.find_last_of("\\/");
  if (cut != std::string::npos && cut > 0 && p[cut - 1] != ':' && !CreateDirectories(p.substr(0, cut))) return false;
  return CreateDirectoryW(WidePath(p).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

TFileRead ReadWholeFileExclusive(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>& data,
                                 std::uint64_t& size) {
  size = 0;
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return TFileRead::CannotOpen;
  // Closed on every path, an allocation failure included.
  struct TCloser {
    HANDLE h;
    ~TCloser() { CloseHandle(h); }
  } closer{file};
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(file, &fileSize) || fileSize.QuadPart < 0) return TFileRead::Incomplete;
  size = static_cast<std::uint64_t>(fileSize.QuadPart);
  // One ReadFile takes at most a DWORD's worth, and nothing on x86 holds more.
  if (size > limit || size > 0x7FFFFFFEu) return TFileRead::TooLarge;
  data.resize(static_cast<std::size_t>(size));
  DWORD read = 0;
  const bool ok = data.empty() || (ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) &&
                                   read == data.size());
  return ok ? TFileRead::Done : TFileRead::Incomplete;
}

bool ReadWholeFileShared(const std::string& path, std::string& data) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  struct TCloser {
    HANDLE h;
    ~TCloser() { CloseHandle(h); }
  } closer{file};
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || size.QuadPart > 0x7FFFFFFE) return false;
  data.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!data.empty() && !ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr)) return false;
  data.resize(read);
  return true;
}

bool ReplaceFileContents(const std::string& path, const std::string& bytes) {
  const std::wstring target = WidePath(path);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
    return false;
  const std::wstring temporary = target + L".tmp";
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = (bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                     written == bytes.size())) &&
                  FlushFileBuffers(file);
  CloseHandle(file);
  if (ok && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  DeleteFileW(temporary.c_str());
  return false;
}

#else

namespace {
std::string RealExecutableDirectory() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}
}  // namespace

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateDirectories(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) return false;
  struct stat st;
  if (stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t cut = p.rfind('/');
  if (cut != std::string::npos && cut > 0 && !CreateDirectories(p.substr(0, cut))) return false;
  return mkdir(p.c_str(), 0777) == 0 || errno == EEXIST;
}

// POSIX has no share modes; an exclusive advisory lock keeps cooperating
// programs (and the tests) out while the file is read.
TFileRead ReadWholeFileExclusive(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>& data,
                                 std::uint64_t& size) {
  size = 0;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return TFileRead::CannotOpen;
  struct TCloser {
    int fd;
    ~TCloser() { close(fd); }
  } closer{fd};
  // cppcheck does not follow the closer above: every return closes fd.
  // cppcheck-suppress resourceLeak
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return TFileRead::CannotOpen;
  struct stat st;
  // cppcheck-suppress resourceLeak
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return TFileRead::Incomplete;
  size = static_cast<std::uint64_t>(st.st_size);
  // cppcheck-suppress resourceLeak
  if (size > limit || size > static_cast<std::uint64_t>(PTRDIFF_MAX)) return TFileRead::TooLarge;
  data.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = read(fd, data.data() + done, data.size() - done);
    if (n <= 0) return TFileRead::Incomplete;
    done += static_cast<std::size_t>(n);
  }
  return TFileRead::Done;
}

bool ReadWholeFileShared(const std::string& path, std::string& data) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct TCloser {
    int fd;
    ~TCloser() { close(fd); }
  } closer{fd};
  data.clear();
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

bool ReplaceFileContents(const std::string& path, const std::string& bytes) {
  // As on Windows, a read-only file (no write permission for anyone) is not
  // replaced, which renaming over it would do.
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0))
    return false;
  const std::string temporary = path + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

#endif

