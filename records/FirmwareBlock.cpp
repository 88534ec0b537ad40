#include "records/FirmwareBlock.h"

#include <cstring>

TFirmwareBlock::TFirmwareBlock(std::int32_t address, const std::uint8_t* source, std::uint32_t size)
    : Address(address), Size(size) {
  if (size > kMaxFirmwareBlockSize) throw Exception("Слишком большой размер блока прошивки");
  Data = std::make_unique<std::uint8_t[]>(size);
  if (size != 0) std::memcpy(Data.get(), source, size);
}

void FreeFirmwareBlocks(TFirmwareBlockList& blocks) {
  for (auto& block : blocks) block.reset();
  blocks.clear();
}
