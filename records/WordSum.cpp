#include "records/WordSum.h"

std::uint16_t OnesComplementSum16(const void* data, std::uint16_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t sum = 0;
  std::uint32_t remaining = length;
  for (; remaining >= 2; remaining -= 2, p += 2) {
    sum += static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
    sum = (sum & 0xFFFFu) + (sum >> 16);  // end-around carry
  }
  if (remaining == 1) {
    sum += p[0];
    sum = (sum & 0xFFFFu) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(sum);
}
