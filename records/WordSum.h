#pragma once

#include <cstdint>

// 16-bit ones'-complement sum over little-endian words, not inverted, with an
// odd last byte taken as a word with high byte 0. The command packets and
// the firmware image header are both summed this way; both pass only the low
// 16 bits of a length.
[[nodiscard]] std::uint16_t OnesComplementSum16(const void* data, std::uint16_t length);
