#pragma once

#include <cstdint>

// 16-bit ones'-complement sum over little-endian words, not inverted, with an
// odd last byte taken as a word with high byte 0. Serves the command packets
// and the firmware image header; both pass only the low 16 bits of a length.
[[nodiscard]] std::uint16_t PacketChecksum(const void* data, std::uint16_t length);
