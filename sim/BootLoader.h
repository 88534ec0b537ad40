#pragma once

// The boot loader: framed requests in, one answer each.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/ModelState.h"

namespace vxsim {

inline constexpr std::size_t kHeader = 14;
inline constexpr std::size_t kBlock = 512;
inline constexpr std::size_t kBlockPacket = kHeader + kBlock;

// Fills the answer's header (Length = its size, at least 14) and checksum.
void AnswerHeader(std::vector<std::uint8_t>& a, std::uint16_t status, std::uint16_t param, std::uint32_t offset);

// Takes the whole requests waiting in the device's input and answers them.
void ProcessFrames(TModel& m, int index);

}  // namespace vxsim
