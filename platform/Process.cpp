#include "platform/Process.h"

#include <mutex>
#include <optional>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "platform/CodePage.h"
#endif

namespace {

std::mutex argumentsMutex;
std::optional<std::vector<std::string>>& GivenArguments() {
  static std::optional<std::vector<std::string>> arguments;
  return arguments;
}

}  // namespace

std::vector<std::string> CommandLineArguments() {
  std::vector<bool> exact;
  return CommandLineArguments(exact);
}

std::vector<std::string> CommandLineArguments(std::vector<bool>& exact) {
  exact.clear();
  {
    std::lock_guard lock(argumentsMutex);
    if (GivenArguments()) {
      exact.assign(GivenArguments()->size(), true);
      return *GivenArguments();
    }
  }
  std::vector<std::string> out;
#ifdef _WIN32
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr) return out;
  for (int i = 1; i < count; ++i) {
    const std::wstring_view w(args[i]);
    std::string text;
    exact.push_back(
        Utf16ToCp1251Exact(std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()), text));
    out.push_back(std::move(text));
  }
  LocalFree(args);
#endif
  return out;
}

void SetCommandLineArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(argumentsMutex);
  GivenArguments() = std::move(arguments);
}
