#include "ui/CommandLine.h"

#include "platform/CodePage.h"
#include "platform/Files.h"

namespace {

// From the last "." of the file name on; a "." in a directory name does not count.
std::string Extension(const std::string& path) {
  const std::size_t name = path.find_last_of("\\/");
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (name != std::string::npos && dot < name)) return std::string();
  return path.substr(dot);
}

}  // namespace

TCommandLineChoice ReadCommandLine(const std::vector<std::string>& arguments) {
  TCommandLineChoice choice;
  for (const std::string& argument : arguments) {
    std::string text = AnsiLowerCase(argument);
    if (text.empty()) continue;
    if (text[0] == '/' || text[0] == '-') text.erase(0, 1);
    if (Extension(text) == ".eraw" && FileExists(text)) {
      choice.ExternalFirmware = true;
      choice.FirmwareFile = text;
    }
    if (text == "externfirmware") choice.ExternalFirmware = true;
  }
  return choice;
}
