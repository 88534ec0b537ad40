#include <cstdlib>
#include <sstream>

#include "sim/DriverTypes.h"
#include "sim/FlashLayouts.h"
#include "sim/Scenario.h"

namespace vxsim {
namespace {

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Quotes are optional; \r \n \t \\ \" and \xHH stand for their bytes.
bool Unescape(const std::string& raw, std::string& out) {
  std::string s = raw;
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'x': {
        // Exactly two hex digits: no sign, no blank, nothing shorter.
        if (i + 2 >= s.size() || !IsHexDigit(s[i + 1]) || !IsHexDigit(s[i + 2])) return false;
        out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

bool Number(const std::string& text, std::uint32_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull || text[0] == '-') return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool Flag(const std::string& text, bool& out) {
  if (text == "yes" || text == "true" || text == "1") return out = true, true;
  if (text == "no" || text == "false" || text == "0") return out = false, true;
  return false;
}

bool Library(const std::string& text, int& out) {
  if (text == "ftdi") return out = VXSIM_FTDI, true;
  if (text == "vxusb") return out = VXSIM_VXUSB, true;
  return false;
}

bool ParseFault(const std::string& value, TFault& f, std::string& error) {
  std::istringstream in(value);
  std::string kind;
  in >> kind;
  static const struct {
    const char* name;
    TFaultKind kind;
  } kinds[] = {{"no_answer", TFaultKind::NoAnswer},       {"short_answer", TFaultKind::ShortAnswer},
               {"wrong_sector", TFaultKind::WrongSector}, {"wrong_offset", TFaultKind::WrongOffset},
               {"damaged", TFaultKind::Damaged},          {"late_answer", TFaultKind::Late},
               {"unplug", TFaultKind::Unplug},            {"short_write", TFaultKind::ShortWrite},
               {"list_dropout", TFaultKind::ListDropout}, {"lost_request", TFaultKind::LostRequest},
               {"write_fault", TFaultKind::WriteFault}};
  bool known = false;
  for (const auto& k : kinds)
    if (kind == k.name) f.Kind = k.kind, known = true;
  if (!known) return error = "unknown fault \"" + kind + "\"", false;
  std::string option;
  while (in >> option) {
    const auto eq = option.find('=');
    std::uint32_t v = 0;
    if (eq == std::string::npos || !Number(option.substr(eq + 1), v))
      return error = "bad fault option \"" + option + "\"", false;
    const std::string key = option.substr(0, eq);
    if (key == "code")
      f.Code = static_cast<std::uint16_t>(v);
    else if (key == "skip")
      f.Skip = v;
    else if (key == "times")
      f.Times = v;
    else if (key == "value" || key == "bytes" || key == "delay" || key == "byte")
      f.Value = v;
    else
      return error = "unknown fault option \"" + key + "\"", false;
  }
  if (f.Times == 0) return error = "times must be at least 1", false;
  return true;
}

bool DeviceKey(TDeviceConfig& d, const std::string& key, const std::string& raw, std::string& error) {
  std::string text;
  if (!Unescape(raw, text)) return error = "bad escape in \"" + raw + "\"", false;
  std::uint32_t n = 0;
  bool ok = true;
  if (key == "library")
    ok = Library(text, d.Library);
  else if (key == "serial")
    d.Serial = text;
  else if (key == "description")
    d.Description = text;
  else if (key == "code")
    ok = Number(text, n) && n <= 0xFFFF, d.DeviceCode = static_cast<std::uint16_t>(n);
  else if (key == "mode")
    ok = text == "loader" || text == "firmware", d.BootLoader = text == "loader";
  else if (key == "firmware_version")
    d.FirmwareVersion = text;
  else if (key == "loader_version")
    d.LoaderVersion = text;
  else if (key == "processor")
    ok = Number(text, d.ProcessorId);
  else if (key == "sector_map") {
    TLayout layout;
    d.SectorMap = text;
    ok = text == "auto" || LayoutByName(text, &layout);
  }
  else if (key == "protected") {
    std::istringstream in(text);
    std::string item;
    while (ok && in >> item) ok = Number(item, n), d.Protected.insert(static_cast<int>(n));
  } else if (key == "locked")
    ok = Flag(text, d.Locked);
  else if (key == "latency")
    ok = Number(text, d.Latency);
  else if (key == "flash_fill")
    ok = Number(text, n) && n <= 0xFF, d.FlashFill = static_cast<std::uint8_t>(n);
  else if (key == "start_answer") {
    d.AnswerStart = raw != "none";
    d.StartAnswer = d.AnswerStart ? text : std::string();
  } else if (key == "leave_delay")
    ok = Number(text, d.LeaveDelay);
  else if (key == "restart_delay")
    ok = Number(text, d.RestartDelay);
  else if (key == "refuse_open")
    ok = Number(text, d.RefuseOpen);
  else if (key == "refuse_open_skip")
    ok = Number(text, d.RefuseOpenSkip);
  else if (key == "empty_description")
    ok = Number(text, d.EmptyDescription);
  else if (key == "open_elsewhere") {
    std::uint32_t v = 0;
    ok = Number(text, v) && v <= 1;
    d.OpenElsewhere = v == 1;
  }
  else if (key == "frame_gap")
    ok = Number(text, d.FrameGap);
  else if (key == "plugged")
    ok = Flag(text, d.Plugged);
  else if (key == "plug_at")
    ok = Number(text, d.PlugAt);
  else if (key == "fault") {
    TFault f;
    if (!ParseFault(text, f, error)) return false;
    d.Faults.push_back(f);
  } else
    return error = "unknown device key \"" + key + "\"", false;
  if (!ok) error = "bad value \"" + raw + "\" for " + key;
  return ok;
}

bool GlobalKey(TScenario& s, const std::string& key, const std::string& value, std::string& error) {
  if (key == "clock") {
    if (value != "virtual" && value != "real") return error = "clock is virtual or real", false;
    s.SetClock = true;
    s.VirtualClock = value == "virtual";
    return true;
  }
  if (key == "clock_start") return Number(value, s.ClockStart) || (error = "bad clock_start", false);
  if (key == "fail_list") {
    std::istringstream in(value);
    std::string lib, count, which, rest;
    int l = 0;
    std::uint32_t n = 0;
    in >> lib >> count >> which >> rest;
    if (!Library(lib, l) || !Number(count, n) || !(which.empty() || which == "second") || !rest.empty())
      return error = "fail_list is LIBRARY COUNT [second]", false;
    s.FailList[l][which.empty() ? 0 : 1] += n;
    return true;
  }
  return error = "unknown key \"" + key + "\"", false;
}

}  // namespace

int ParseScenario(const std::string& text, TScenario& out, std::string& error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  TDeviceConfig* device = nullptr;
  while (std::getline(in, line)) {
    ++number;
    const auto hash = line.find('#');
    // A "#" inside a quoted value is part of it.
    if (hash != std::string::npos && line.find('"') == std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    if (line == "[device]") {
      out.Devices.emplace_back();
      device = &out.Devices.back();
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) return error = "expected key = value or [device]", number;
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    const bool ok = device != nullptr ? DeviceKey(*device, key, value, error) : GlobalKey(out, key, value, error);
    if (!ok) return number;
  }
  return 0;
}

}  // namespace vxsim
