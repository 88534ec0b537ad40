#include "sim/Transcript.h"

namespace vxsim {

void WriteTranscript(const TModel& m, std::FILE* f) {
  for (const TRecord& r : m.Transcript) {
    const VxSimCall& c = r.Call;
    std::fprintf(f, "%10u %10u %12llu %-6s %-26s dev %2d args %u %u %u %u -> %d", c.Tick, c.EndTick,
                 static_cast<unsigned long long>(c.Micros), c.Library == VXSIM_FTDI ? "ftdi" : "vxusb", c.Function,
                 c.Device, c.Args[0], c.Args[1], c.Args[2], c.Args[3], c.Result);
    if (!r.Data.empty()) std::fputs(" :", f);
    for (std::uint8_t b : r.Data) std::fprintf(f, " %02X", b);
    std::fputc('\n', f);
  }
}

}  // namespace vxsim
