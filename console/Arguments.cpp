#include "console/Arguments.h"

#include <cerrno>
#include <cstdlib>
#include <set>

#include "records/TextFormat.h"

namespace {

// A whole decimal number within [low, high].
bool ParseNumber(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty() || text.size() > 18) return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  value = std::strtoll(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

}  // namespace

const char* ConsoleUsage() {
  return "Usage:\n"
         "  vxflash list [--json]\n"
         "  vxflash flash [--image FILE] (--all | --serial N ...) [--expect N] [--timeout SECONDS]\n"
         "                [--skip-same] [--json]\n"
         "  vxflash --help\n"
         "\n"
         "list     shows the connected devices and exits.\n"
         "flash    writes the embedded firmware image (or FILE) into the selected devices at once;\n"
         "         a device running its firmware is restarted into its boot loader first.\n"
         "  --all             every device found\n"
         "  --serial N        the device with serial number N (may be given several times)\n"
         "  --expect N        wait until N selected devices are present before starting\n"
         "  --timeout S       how long to wait for devices, in seconds (default 60)\n"
         "  --skip-same       leave alone a device whose firmware version equals the image's\n"
         "  --json            one JSON object per line on standard output\n"
         "\n"
         "Exit status: 0 all selected devices flashed or skipped, 1 at least one failed or the run\n"
         "was interrupted, 2 bad usage or a refused image, 3 fewer devices than expected in time.\n";
}

bool ParseConsoleArguments(const std::vector<std::string>& arguments, TConsoleOptions& options, std::string& error,
                           const std::vector<bool>& exact) {
  options = TConsoleOptions{};
  if (arguments.empty()) {
    error = "no command given (list or flash); see vxflash --help";
    return false;
  }
  const std::string& command = arguments[0];
  if (command == "--help" || command == "-h" || command == "help") {
    options.Command = TConsoleCommand::Help;
    return true;
  }
  if (command == "list") {
    options.Command = TConsoleCommand::List;
  } else if (command == "flash") {
    options.Command = TConsoleCommand::Flash;
  } else {
    error = FormatText("unknown command \"%s\"; see vxflash --help", command.c_str());
    return false;
  }
  const bool flash = options.Command == TConsoleCommand::Flash;
  std::set<std::string> given;  // every option but --serial is given once at most
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    // The value of an option that takes one: never the next option, which a
    // forgotten value would otherwise turn into a file name.
    auto value = [&](std::string& out) {
      if (i + 1 >= arguments.size()) {
        error = FormatText("option %s needs a value", a.c_str());
        return false;
      }
      const std::string& next = arguments[i + 1];
      if (next.rfind("--", 0) == 0 || next == "-h") {
        error = FormatText("option %s needs a value, not the option \"%s\"", a.c_str(), next.c_str());
        return false;
      }
      out = arguments[++i];
      return true;
    };
    std::string v;
    long long number = 0;
    if (a == "--help" || a == "-h") {
      options.Command = TConsoleCommand::Help;
      return true;
    }
    if (a != "--serial" && a.rfind("--", 0) == 0 && !given.insert(a).second) {
      error = FormatText("%s may be given only once", a.c_str());
      return false;
    }
    if (a == "--json") {
      options.Json = true;
    } else if (!flash) {
      error = FormatText("unknown option \"%s\" for list", a.c_str());
      return false;
    } else if (a == "--all") {
      options.All = true;
    } else if (a == "--skip-same") {
      options.SkipSame = true;
    } else if (a == "--image") {
      if (!value(v)) return false;
      if (v.empty()) {
        error = "--image needs a file name";
        return false;
      }
      // With "?" in place of a letter it would name another file, or none.
      if (i < exact.size() && !exact[i]) {
        error = FormatText("the image file name %s holds letters that Windows-1251 has no place for", v.c_str());
        return false;
      }
      options.ImageFile = v;
    } else if (a == "--serial") {
      if (!value(v)) return false;
      if (!ParseNumber(v, 0, 2147483647, number)) {
        error = FormatText("--serial needs a serial number (digits only), not \"%s\"", v.c_str());
        return false;
      }
      const auto serial = static_cast<std::int32_t>(number);
      bool known = false;
      for (const std::int32_t s : options.Serials) known = known || s == serial;
      if (!known) options.Serials.push_back(serial);
    } else if (a == "--expect") {
      if (!value(v)) return false;
      if (!ParseNumber(v, 1, 1000000, number)) {
        error = FormatText("--expect needs a number of devices of at least 1, not \"%s\"", v.c_str());
        return false;
      }
      options.Expect = static_cast<int>(number);
    } else if (a == "--timeout") {
      if (!value(v)) return false;
      if (!ParseNumber(v, 1, 86400, number)) {
        error = FormatText("--timeout needs a number of seconds from 1 to 86400, not \"%s\"", v.c_str());
        return false;
      }
      options.TimeoutSeconds = static_cast<std::uint32_t>(number);
    } else {
      error = FormatText("unknown option \"%s\"; see vxflash --help", a.c_str());
      return false;
    }
  }
  if (!flash) return true;
  if (options.All && !options.Serials.empty()) {
    error = "--all and --serial exclude each other";
    return false;
  }
  if (!options.All && options.Serials.empty()) {
    error = "flash needs --all or at least one --serial N";
    return false;
  }
  if (!options.Serials.empty() && options.Expect > static_cast<int>(options.Serials.size())) {
    error = FormatText("--expect %d is more than the %d serial numbers given", options.Expect,
                       static_cast<int>(options.Serials.size()));
    return false;
  }
  return true;
}
