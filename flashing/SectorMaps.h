#pragma once

#include <cstdint>
#include <span>

// One sector of a device's flash: byte offset from the start of the flash and
// length. Sector number n is entry n of its map.
struct TSectorInfo {
  std::uint32_t Offset;
  std::uint16_t Size;
};

using TSectorMap = std::span<const TSectorInfo>;

extern const TSectorMap SectorMap4K;      // 64 x 4 KiB
extern const TSectorMap SectorMap256K;    // 16 x 4 KiB, 6 x 32 KiB
extern const TSectorMap SectorMap512K;    // 16 x 4 KiB, 14 x 32 KiB
extern const TSectorMap SectorMapPages;   // 256 x 512 bytes from 0x4400
extern const TSectorMap SectorMapBoot27;  // 8 x 4 KiB, 14 x 32 KiB, 5 x 4 KiB
extern const TSectorMap SectorMapBoot28;  // as Boot27 plus one 4 KiB sector

// A processor the boot loader can report, with the sectors an image may use.
struct TProcessorInfo {
  std::uint32_t ProcessorId;
  const TSectorMap* SectorMap;
  int FirstSector;
  int LastSector;
};

extern const std::span<const TProcessorInfo> ProcessorTable;

// The table entry of a known processor, or null.
[[nodiscard]] const TProcessorInfo* FindProcessor(std::uint32_t processorId);
