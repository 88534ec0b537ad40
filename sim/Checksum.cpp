#include "sim/Checksum.h"

namespace vxsim {

std::uint16_t FrameChecksum(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < count; i += 2) {
    const std::uint32_t high = i + 1 < count ? bytes[i + 1] : 0u;
    sum += bytes[i] | high << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);  // at most 0xFFFF + 0xFFFF: one fold suffices
  }
  return static_cast<std::uint16_t>(sum);
}

}  // namespace vxsim
