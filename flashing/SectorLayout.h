#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flashing/SectorMaps.h"
#include "flashing/WriteResult.h"
#include "records/FirmwareBlock.h"
#include "records/FirmwareVersion.h"
#include "records/OperationLog.h"

// What a flash will write and where: the device's sector map and range, the
// image laid over a flat picture of its flash, and the work in 512-byte units.
// The flashing thread holds one; it touches neither the link nor the window.
struct TSectorLayout {
  TSectorMap FSectorMap;  // empty until chosen
  int FFirstSector = -1;
  int FLastSector = -1;
  std::vector<std::uint8_t> FImage;  // flash offset 0 to the end of the range, 0xFF where no block lies
  std::int32_t FTotalUnits = 0;
  int FResult = wrSuccess;

  // Chooses map and range from the processor identifier (unknown identifiers
  // by the boot loader's version suffix, with a log line about the device
  // `serial`), places the blocks and drops blank sectors at the end of the
  // range. Leaves FResult at wrSuccess or sets wrNoSectorRange,
  // wrImageTooLarge or wrNothingToWrite.
  void SelectSectors(std::uint32_t processorId, const std::string& loaderSuffix, const TFirmwareBlockList& blocks,
                     TOperationLog& log, int serial);
};

// True when the bytes, read as size / 4 32-bit words (size taken to 16 bits),
// are not all 0xFF.
[[nodiscard]] bool SectorHasData(const std::uint8_t* data, std::uint16_t size);

// Whether an image of family `imageName`, version `imageVersion` belongs on a
// device whose firmware family is `deviceName` and boot loader version
// `loaderVersion`.
[[nodiscard]] bool IsCompatible(const std::string& deviceName, std::uint16_t loaderVersion,
                                const std::string& imageName, std::uint16_t imageVersion);
