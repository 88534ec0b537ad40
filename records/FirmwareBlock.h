#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "records/Exception.h"

// Largest firmware block, and so the largest image payload: 2 MiB.
inline constexpr std::uint32_t kMaxFirmwareBlockSize = 2'097'152;

// One piece of firmware destined for the device's flash. Its bytes are a copy
// made at construction and never change afterwards.
class TFirmwareBlock {
public:
  // A negative address means: at the start of the first sector to be written.
  std::int32_t Address;
  std::uint32_t Size;
  std::unique_ptr<std::uint8_t[]> Data;

  // Raises Exception("Слишком большой размер блока прошивки") when size is
  // above kMaxFirmwareBlockSize; no block is made then.
  TFirmwareBlock(std::int32_t address, const std::uint8_t* source, std::uint32_t size);
};

// A loaded image's blocks; the holder of the list owns them.
using TFirmwareBlockList = std::vector<std::unique_ptr<TFirmwareBlock>>;

// Deletes every block in index order, then empties the list.
void FreeFirmwareBlocks(TFirmwareBlockList& blocks);
