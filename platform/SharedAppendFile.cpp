#include "platform/SharedAppendFile.h"

#include "platform/Files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

bool TSharedAppendFile::Open(const std::string& path) {
  Close();
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FHandle = file;
  return true;
}

bool TSharedAppendFile::Append(const std::string& bytes) {
  if (FHandle == nullptr) return false;
  DWORD written = 0;
  return SetFilePointer(FHandle, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
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

bool TSharedAppendFile::Append(const std::string& bytes) {
  return FFd >= 0 && write(FFd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool TSharedAppendFile::Deleted() const {
  struct stat st;
  return FFd >= 0 && fstat(FFd, &st) == 0 && st.st_nlink == 0;
}

void TSharedAppendFile::Close() {
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

bool TSharedAppendFile::IsOpen() const { return FFd >= 0; }

#endif
