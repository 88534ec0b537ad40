#include "flashing/SectorMaps.h"

#include <array>

namespace {

constexpr std::uint16_t k4K = 4096;
constexpr std::uint16_t k32K = 32768;

constexpr std::array<TSectorInfo, 64> kMap4K = [] {
  std::array<TSectorInfo, 64> m{};
  for (std::uint32_t n = 0; n < m.size(); ++n) m[n] = {n * k4K, k4K};
  return m;
}();

// The 256 KiB and 512 KiB members share their layout: sixteen 4 KiB sectors,
// then 32 KiB sectors from 0x10000.
template <std::size_t N>
constexpr std::array<TSectorInfo, N> SmallThenLarge() {
  std::array<TSectorInfo, N> m{};
  for (std::uint32_t n = 0; n < N; ++n)
    m[n] = n < 16 ? TSectorInfo{n * k4K, k4K} : TSectorInfo{0x10000u + (n - 16) * k32K, k32K};
  return m;
}
constexpr auto kMap256K = SmallThenLarge<22>();
constexpr auto kMap512K = SmallThenLarge<30>();

constexpr std::array<TSectorInfo, 256> kMapPages = [] {
  std::array<TSectorInfo, 256> m{};
  for (std::uint32_t n = 0; n < m.size(); ++n) m[n] = {0x4400u + n * 512u, 512};
  return m;
}();

template <std::size_t N>
constexpr std::array<TSectorInfo, N> BootLayout() {
  std::array<TSectorInfo, N> m{};
  for (std::uint32_t n = 0; n < N; ++n) {
    if (n < 8)
      m[n] = {n * k4K, k4K};
    else if (n < 22)
      m[n] = {0x8000u + (n - 8) * k32K, k32K};
    else
      m[n] = {0x78000u + (n - 22) * k4K, k4K};
  }
  return m;
}
constexpr auto kMapBoot27 = BootLayout<27>();
constexpr auto kMapBoot28 = BootLayout<28>();

}  // namespace

constinit const TSectorMap SectorMap4K{kMap4K};
constinit const TSectorMap SectorMap256K{kMap256K};
constinit const TSectorMap SectorMap512K{kMap512K};
constinit const TSectorMap SectorMapPages{kMapPages};
constinit const TSectorMap SectorMapBoot27{kMapBoot27};
constinit const TSectorMap SectorMapBoot28{kMapBoot28};

namespace {

const TProcessorInfo kProcessors[] = {
    {0x10040204, &SectorMap4K, 4, 63},
    {0x25011723, &SectorMap256K, 10, 21},
    {0x26013733, &SectorMap256K, 10, 21},
    {0x26013F33, &SectorMap256K, 10, 21},
    {0x25013F37, &SectorMap512K, 10, 29},
    {0x25113737, &SectorMap512K, 10, 29},
    {0x26012837, &SectorMap512K, 10, 29},
    {0x26013F37, &SectorMap512K, 10, 29},
    {0x26113F37, &SectorMap512K, 10, 29},
    {0x27193F47, &SectorMap512K, 10, 29},
    {0x47193F47, &SectorMap512K, 10, 29},
    {0x481D3F47, &SectorMap512K, 10, 29},
    {0x400FE000, &SectorMapPages, 0, 255},
};

}  // namespace

constinit const std::span<const TProcessorInfo> ProcessorTable{kProcessors};

const TProcessorInfo* FindProcessor(std::uint32_t processorId) {
  for (const TProcessorInfo& p : ProcessorTable)
    if (p.ProcessorId == processorId) return &p;
  return nullptr;
}
