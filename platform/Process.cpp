#include "platform/Process.h"

#include <mutex>
#include <optional>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "platform/CodePage.h"
#else
#include <limits.h>
#include <unistd.h>
#endif

namespace {

std::mutex argumentsMutex;
std::optional<std::vector<std::string>>& GivenArguments() {
  static std::optional<std::vector<std::string>> arguments;
  return arguments;
}

constexpr char kSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

}  // namespace

std::string ExecutablePath() {
#ifdef _WIN32
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return Utf16ToCp1251(std::u16string_view(reinterpret_cast<const char16_t*>(path.data()), path.size()));
#else
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
  return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
#endif
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  const std::size_t slash = path.find_last_of(kSeparator);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::vector<std::string> CommandLineArguments() {
  {
    std::lock_guard lock(argumentsMutex);
    if (GivenArguments()) return *GivenArguments();
  }
  std::vector<std::string> out;
#ifdef _WIN32
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr) return out;
  for (int i = 1; i < count; ++i) {
    const std::wstring_view w(args[i]);
    out.push_back(Utf16ToCp1251(std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size())));
  }
  LocalFree(args);
#endif
  return out;
}

void SetCommandLineArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(argumentsMutex);
  GivenArguments() = std::move(arguments);
}
