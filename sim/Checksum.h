#pragma once

#include <cstddef>
#include <cstdint>

namespace vxsim {

// The boot loader's packet checksum: little-endian 16-bit words added with
// the carry out of bit 15 brought back in at bit 0; an odd last byte counts
// as a word whose high byte is 0; the sum is not inverted.
std::uint16_t FrameChecksum(const std::uint8_t* bytes, std::size_t count);

}  // namespace vxsim
