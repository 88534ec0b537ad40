#include "flashing/SectorLayout.h"

#include <algorithm>
#include <cstring>

void TSectorLayout::SelectSectors(std::uint32_t processorId, const std::string& loaderSuffix,
                                  const TFirmwareBlockList& blocks, TOperationLog& log, int serial) {
  if (const TProcessorInfo* p = FindProcessor(processorId)) {
    FSectorMap = *p->SectorMap;
    FFirstSector = p->FirstSector;
    FLastSector = p->LastSector;
  } else {
    log.DeviceLogFmt(mkInfo, serial, "Неизвестный идентификатор %08X", processorId);
    const bool boot27 = loaderSuffix == "TR" || loaderSuffix == "PP";
    FSectorMap = boot27 ? SectorMapBoot27 : SectorMapBoot28;
    FFirstSector = 4;
    FLastSector = boot27 ? 26 : 27;
  }

  if (FSectorMap.empty() || FFirstSector < 0 || FLastSector < 0 || FFirstSector > FLastSector ||
      static_cast<std::size_t>(FLastSector) >= FSectorMap.size()) {
    FResult = wrNoSectorRange;
    return;
  }

  const TSectorInfo& last = FSectorMap[static_cast<std::size_t>(FLastSector)];
  FImage.assign(static_cast<std::size_t>(last.Offset) + last.Size, 0xFF);
  const std::uint64_t imageSize = FImage.size();
  const std::uint32_t rangeStart = FSectorMap[static_cast<std::size_t>(FFirstSector)].Offset;

  for (const auto& block : blocks) {
    const std::uint64_t destination = block->Address >= 0 ? static_cast<std::uint64_t>(block->Address) : rangeStart;
    if (destination + block->Size > imageSize) {
      FResult = wrImageTooLarge;
      return;
    }
    if (block->Size != 0) std::memcpy(FImage.data() + destination, block->Data.get(), block->Size);
  }

  while (FLastSector >= FFirstSector) {
    const TSectorInfo& s = FSectorMap[static_cast<std::size_t>(FLastSector)];
    if (SectorHasData(FImage.data() + s.Offset, s.Size)) break;
    --FLastSector;
  }
  if (FLastSector < FFirstSector) {
    FResult = wrNothingToWrite;
    return;
  }
  const TSectorInfo& end = FSectorMap[static_cast<std::size_t>(FLastSector)];
  FTotalUnits = static_cast<std::int32_t>((end.Offset + end.Size - rangeStart) >> 9);
}

bool SectorHasData(const std::uint8_t* data, std::uint16_t size) {
  const std::size_t words = size / 4u;
  for (std::size_t i = 0; i < words; ++i) {
    std::uint32_t word;
    std::memcpy(&word, data + i * 4, sizeof word);
    if (word != 0xFFFFFFFFu) return true;
  }
  return false;
}

bool IsCompatible(const std::string& deviceName, std::uint16_t loaderVersion, const std::string& imageName,
                  std::uint16_t imageVersion) {
  const bool loaderBound = deviceName == "VXRQ" || deviceName == "KOLV";
  // Boot loaders before 1.04 take only images before 9.00, later ones only
  // images from 9.00 on.
  if (loaderBound && loaderVersion < 104 && imageVersion >= 900) return false;
  if (loaderBound && loaderVersion >= 104 && imageVersion < 900) return false;
  if (deviceName == imageName) return true;
  if (deviceName == "VXRQ" && imageName == "KOLV") return true;
  if (imageName == "VXRQ" && deviceName == "KOLV") return true;
  if (deviceName.empty() || deviceName == "unk") return true;
  if (deviceName == "ZARU" && imageName == "VXWF" && imageVersion >= 304) return true;
  return false;
}
