#pragma once

// Files in states the tests need, named by Windows-1251 paths like the
// updater's own.
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "platform/CodePage.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
inline std::wstring TestWidePath(const std::string& path) {
  const std::u16string u = Cp1251ToUtf16(path);
  return std::wstring(u.begin(), u.end());
}
#endif

// A file of the given size that takes no disk space: its length is set
// without writing any data (NTFS and the usual Linux file systems keep such
// a file sparse; Wine sets the length with ftruncate).
inline bool MakeSparseFile(const std::string& path, std::uint64_t size) {
#ifdef _WIN32
  HANDLE file = CreateFileW(TestWidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);  // NTFS; harmless elsewhere
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return ok;
#else
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  close(fd);
  return ok;
#endif
}

// Read-only as Windows has it (the attribute), or no write permission for
// anyone elsewhere; false takes it back.
inline bool SetReadOnly(const std::string& path, bool readOnly) {
#ifdef _WIN32
  return SetFileAttributesW(TestWidePath(path).c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != 0;
#else
  return chmod(path.c_str(), readOnly ? 0444 : 0644) == 0;
#endif
}
