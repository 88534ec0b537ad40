#pragma once

#include <cstdint>

// The checksum of a command packet: the 16-bit ones'-complement sum of its
// little-endian words (OnesComplementSum16), over the low 16 bits of its length.
[[nodiscard]] std::uint16_t PacketChecksum(const void* data, std::uint16_t length);
