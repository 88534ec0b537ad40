#pragma once

// How a device's flash is divided into sectors, and which layout belongs to
// which processor. Six layouts; thirteen processors are known by their
// identifier, any other one gets a boot loader layout chosen by the suffix of
// the boot loader's version text.

#include <cstdint>
#include <string>
#include <vector>

namespace vxsim {

enum class TLayout { Uniform4K, Mixed256K, Mixed512K, Pages, Boot27, Boot28 };

struct TFlashSector {
  std::uint32_t Offset;
  std::uint32_t Size;
};

// The sectors of a layout, sector n at index n.
std::vector<TFlashSector> LayoutSectors(TLayout layout);

// The thirteen known processor identifiers, in no particular order.
const std::vector<std::uint32_t>& KnownProcessors();
bool IsKnownProcessor(std::uint32_t processorId);

// What a boot loader reports in its version text: the number (major x 100 +
// minor, 0 when the text has none) and the trimmed text after it.
struct TLoaderVersion {
  std::uint32_t Number = 0;
  std::string Suffix;
};
TLoaderVersion ParseLoaderVersion(const std::string& text);

// The layout of a device with this processor and boot loader version text.
TLayout LayoutFor(std::uint32_t processorId, const std::string& loaderVersion);

// A layout by its scenario name (4K, 256K, 512K, pages, boot27, boot28);
// false for any other name.
bool LayoutByName(const std::string& name, TLayout* layout);

}  // namespace vxsim
