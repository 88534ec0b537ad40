#include "platform/Files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

#ifdef _WIN32

namespace {
std::string RealExecutableDirectory() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of("\\/") + 1);
}
}  // namespace

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CreateDirectories(const std::string& path) {
  std::string p = path;
  while (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  if (p.empty()) return false;
  const DWORD attributes = GetFileAttributesA(p.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const std::size_t cut = p.find_last_of("\\/");
  if (cut != std::string::npos && cut > 0 && p[cut - 1] != ':' && !CreateDirectories(p.substr(0, cut))) return false;
  return CreateDirectoryA(p.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool ReadWholeFileExclusive(const std::string& path, std::vector<std::uint8_t>& data) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart >= 0 && size.QuadPart < 0x7FFFFFFF;
  if (ok) {
    data.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    ok = data.empty() || (ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) &&
                          read == data.size());
  }
  CloseHandle(file);
  return ok;
}

bool AppendToSharedFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(file);
  return ok;
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
bool ReadWholeFileExclusive(const std::string& path, std::vector<std::uint8_t>& data) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
  struct stat st;
  ok = ok && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (ok && done < data.size()) {
      const ssize_t n = read(fd, data.data() + done, data.size() - done);
      if (n <= 0) ok = false;
      else done += static_cast<std::size_t>(n);
    }
  }
  close(fd);
  return ok;
}

bool AppendToSharedFile(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  return ok;
}

#endif
