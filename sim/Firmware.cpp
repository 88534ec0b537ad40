// The normal firmware: two text commands, recognised at the end of what
// arrived; framed requests mean nothing to it.

#include "sim/Firmware.h"

#include <algorithm>
#include <cstring>

#include "sim/Faults.h"

namespace vxsim {
namespace {

constexpr std::size_t kTextInputLimit = 256;

bool EndsWith(const std::vector<std::uint8_t>& input, const char* text) {
  const std::size_t n = std::strlen(text);
  return input.size() >= n && std::memcmp(input.data() + input.size() - n, text, n) == 0;
}

}  // namespace

void ProcessText(TModel& m, int index) {
  TDevice& d = m.At(index);
  const bool version = EndsWith(d.Input, "FL_READ_VERSION$");
  const bool start = EndsWith(d.Input, "START_BOOT_LOADER");
  if (!version && !start) {
    if (d.Input.size() > kTextInputLimit)
      d.Input.erase(d.Input.begin(), d.Input.end() - static_cast<std::ptrdiff_t>(kTextInputLimit));
    return;
  }
  d.Input.clear();
  ++d.Requests;
  const std::vector<TFault> faults = TakeFaults(d, 0, false);
  if (UnplugFault(m, index, faults)) return;
  ListDropoutFault(m, index, faults);
  if (version) {
    Deliver(m, index, std::vector<std::uint8_t>(d.Cfg.FirmwareVersion.begin(), d.Cfg.FirmwareVersion.end()), faults,
            false);
    return;
  }
  if (d.Cfg.AnswerStart)
    Deliver(m, index, std::vector<std::uint8_t>(d.Cfg.StartAnswer.begin(), d.Cfg.StartAnswer.end()), faults, false);
  // After STARTED the device leaves the bus and comes back in its boot loader.
  if (d.Cfg.AnswerStart && d.Cfg.StartAnswer.compare(0, 7, "STARTED") == 0)
    Schedule(m, {m.Now() + d.Cfg.Latency + d.Cfg.LeaveDelay, index, TEventKind::Leave, d.Generation,
                 std::max<std::uint32_t>(d.Cfg.RestartDelay, 1), true});
}

}  // namespace vxsim
