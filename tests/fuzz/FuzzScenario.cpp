// Feeds arbitrary text to the simulator's scenario reader: a text it refuses
// names the bad line, one that exists, and says why; nothing crashes or hangs.
#include <string>

#include "sim/Scenario.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

int LineCount(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines + (text.empty() || text.back() == '\n' ? 0 : 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vxsim::TScenario scenario;
  std::string error;
  const int line = vxsim::ParseScenario(text, scenario, error);
  Check(line >= 0 && line <= LineCount(text));
  Check((line == 0) == error.empty());
  if (line == 0) {
    for (const vxsim::TDeviceConfig& d : scenario.Devices)
      for (const vxsim::TFault& f : d.Faults) Check(f.Times >= 1);
  }
  return 0;
}
