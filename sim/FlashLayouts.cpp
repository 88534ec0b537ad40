#include "sim/FlashLayouts.h"

#include <algorithm>
#include <cstdio>

namespace vxsim {
namespace {

// A run of equal sectors: how many, how large, where the first begins.
struct TRun {
  std::uint32_t Count;
  std::uint32_t Size;
  std::uint32_t Start;
};

std::vector<TRun> Runs(TLayout layout) {
  switch (layout) {
    case TLayout::Uniform4K: return {{64, 0x1000, 0}};
    case TLayout::Mixed256K: return {{16, 0x1000, 0}, {6, 0x8000, 0x10000}};
    case TLayout::Mixed512K: return {{16, 0x1000, 0}, {14, 0x8000, 0x10000}};
    case TLayout::Pages: return {{256, 0x200, 0x4400}};
    case TLayout::Boot27: return {{8, 0x1000, 0}, {14, 0x8000, 0x8000}, {5, 0x1000, 0x78000}};
    case TLayout::Boot28: return {{8, 0x1000, 0}, {14, 0x8000, 0x8000}, {6, 0x1000, 0x78000}};
  }
  return {};
}

struct TProcessorLayout {
  std::uint32_t Id;
  TLayout Layout;
};

// The processors whose boot loader reports a known part identification.
const TProcessorLayout kProcessors[] = {
    {0x10040204, TLayout::Uniform4K},
    {0x25011723, TLayout::Mixed256K}, {0x26013733, TLayout::Mixed256K}, {0x26013F33, TLayout::Mixed256K},
    {0x25013F37, TLayout::Mixed512K}, {0x25113737, TLayout::Mixed512K}, {0x26012837, TLayout::Mixed512K},
    {0x26013F37, TLayout::Mixed512K}, {0x26113F37, TLayout::Mixed512K}, {0x27193F47, TLayout::Mixed512K},
    {0x47193F47, TLayout::Mixed512K}, {0x481D3F47, TLayout::Mixed512K},
    {0x400FE000, TLayout::Pages},
};

bool Blank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

std::vector<TFlashSector> LayoutSectors(TLayout layout) {
  std::vector<TFlashSector> sectors;
  for (const TRun& run : Runs(layout))
    for (std::uint32_t i = 0; i < run.Count; ++i) sectors.push_back({run.Start + i * run.Size, run.Size});
  return sectors;
}

const std::vector<std::uint32_t>& KnownProcessors() {
  static const std::vector<std::uint32_t> ids = [] {
    std::vector<std::uint32_t> out;
    for (const TProcessorLayout& p : kProcessors) out.push_back(p.Id);
    return out;
  }();
  return ids;
}

bool IsKnownProcessor(std::uint32_t processorId) {
  return std::any_of(std::begin(kProcessors), std::end(kProcessors),
                     [processorId](const TProcessorLayout& p) { return p.Id == processorId; });
}

TLoaderVersion ParseLoaderVersion(const std::string& text) {
  TLoaderVersion v;
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos || dash == 0) return v;
  const std::string rest = text.substr(dash + 1);
  int major = 0, minor = 0;
  // A version text of the scenario file, which a test writes: a few digits each.
  if (std::sscanf(rest.c_str(), "%d.%d", &major, &minor) != 2) return v;  // NOLINT(cert-err34-c)
  v.Number = static_cast<std::uint32_t>(major * 100 + minor) & 0xFFFF;
  // The suffix is what follows the leading digits and points of the rest.
  const std::size_t at = rest.find_first_not_of("0123456789.");
  if (at == std::string::npos) return v;
  std::string suffix = rest.substr(at);
  while (!suffix.empty() && Blank(suffix.back())) suffix.pop_back();
  std::size_t lead = 0;
  while (lead < suffix.size() && Blank(suffix[lead])) ++lead;
  v.Suffix = suffix.substr(lead);
  return v;
}

TLayout LayoutFor(std::uint32_t processorId, const std::string& loaderVersion) {
  for (const TProcessorLayout& p : kProcessors)
    if (p.Id == processorId) return p.Layout;
  const std::string suffix = ParseLoaderVersion(loaderVersion).Suffix;
  return suffix == "TR" || suffix == "PP" ? TLayout::Boot27 : TLayout::Boot28;
}

bool LayoutByName(const std::string& name, TLayout* layout) {
  static const struct {
    const char* Name;
    TLayout Layout;
  } names[] = {{"4K", TLayout::Uniform4K}, {"256K", TLayout::Mixed256K}, {"512K", TLayout::Mixed512K},
               {"pages", TLayout::Pages},  {"boot27", TLayout::Boot27},   {"boot28", TLayout::Boot28}};
  for (const auto& n : names)
    if (name == n.Name) return *layout = n.Layout, true;
  return false;
}

}  // namespace vxsim
