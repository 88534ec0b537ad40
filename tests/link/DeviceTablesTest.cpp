// The simulated device and the updater keep their sector maps, processor
// tables and checksums apart; both are held here against the device's
// documented layouts, so that a wrong row on either side fails.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "RecordingLog.h"
#include "flashing/SectorLayout.h"
#include "flashing/SectorMaps.h"
#include "link/PacketChecksum.h"
#include "sim/SimApi.h"

namespace {

struct TSector {
  std::uint32_t Offset, Size;
  bool operator==(const TSector&) const = default;
};
using TSectors = std::vector<TSector>;

// A run of equal sectors as the layouts are documented: how many, how large,
// where the first begins.
struct Run {
  std::uint32_t Count, Size, Offset;
};
TSectors Layout(std::initializer_list<Run> runs) {
  TSectors out;
  for (const Run& r : runs)
    for (std::uint32_t i = 0; i < r.Count; ++i) out.push_back({r.Offset + i * r.Size, r.Size});
  return out;
}

const TSectors k4K = Layout({{64, 4096, 0}});
const TSectors k256K = Layout({{16, 4096, 0}, {6, 32768, 0x10000}});
const TSectors k512K = Layout({{16, 4096, 0}, {14, 32768, 0x10000}});
const TSectors kPages = Layout({{256, 512, 0x4400}});
const TSectors kBoot27 = Layout({{8, 4096, 0}, {14, 32768, 0x8000}, {5, 4096, 0x78000}});
const TSectors kBoot28 = Layout({{8, 4096, 0}, {14, 32768, 0x8000}, {5, 4096, 0x78000}, {1, 4096, 0x7D000}});

TSectors Updater(TSectorMap map) {
  TSectors out;
  for (const TSectorInfo& s : map) out.push_back({s.Offset, s.Size});
  return out;
}

TSectors Device(std::uint32_t processorId, const char* loaderVersion) {
  TSectors out(VxSim_SectorMap(processorId, loaderVersion, nullptr, 0));
  std::vector<VxSimSector> raw(out.size());
  EXPECT_EQ(VxSim_SectorMap(processorId, loaderVersion, raw.data(), static_cast<std::uint32_t>(raw.size())),
            raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) out[i] = {raw[i].Offset, raw[i].Size};
  return out;
}

TEST(DeviceTables, EveryProcessorAndMapAgreeWithTheDocumentedLayouts) {
  /* the documented layouts themselves: sizes and where they end */
  struct TShape {
    const TSectors* Map;
    std::size_t Sectors;
    std::uint32_t End;
  };
  for (const TShape& m : {TShape{&k4K, 64, 0x40000}, TShape{&k256K, 22, 0x40000}, TShape{&k512K, 30, 0x80000},
                          TShape{&kPages, 256, 0x24400}, TShape{&kBoot27, 27, 0x7D000}, TShape{&kBoot28, 28, 0x7E000}}) {
    ASSERT_EQ(m.Map->size(), m.Sectors);
    EXPECT_EQ(m.Map->back().Offset + m.Map->back().Size, m.End) << m.Sectors;
  }

  /* the six maps of the updater */
  EXPECT_EQ(Updater(SectorMap4K), k4K);
  EXPECT_EQ(Updater(SectorMap256K), k256K);
  EXPECT_EQ(Updater(SectorMap512K), k512K);
  EXPECT_EQ(Updater(SectorMapPages), kPages);
  EXPECT_EQ(Updater(SectorMapBoot27), kBoot27);
  EXPECT_EQ(Updater(SectorMapBoot28), kBoot28);

  /* the thirteen known processors: map and range on both sides */
  struct TRow {
    std::uint32_t Id;
    const TSectors* Map;
    int First, Last;
  };
  const TRow rows[] = {
      {0x10040204, &k4K, 4, 63},    {0x25011723, &k256K, 10, 21}, {0x26013733, &k256K, 10, 21},
      {0x26013F33, &k256K, 10, 21}, {0x25013F37, &k512K, 10, 29}, {0x25113737, &k512K, 10, 29},
      {0x26012837, &k512K, 10, 29}, {0x26013F37, &k512K, 10, 29}, {0x26113F37, &k512K, 10, 29},
      {0x27193F47, &k512K, 10, 29}, {0x47193F47, &k512K, 10, 29}, {0x481D3F47, &k512K, 10, 29},
      {0x400FE000, &kPages, 0, 255},
  };
  std::set<std::uint32_t> documented, device;
  for (const TRow& r : rows) {
    documented.insert(r.Id);
    const TProcessorInfo* p = FindProcessor(r.Id);
    ASSERT_NE(p, nullptr) << std::hex << r.Id;
    EXPECT_EQ(Updater(*p->SectorMap), *r.Map) << std::hex << r.Id;
    EXPECT_EQ(p->FirstSector, r.First) << std::hex << r.Id;
    EXPECT_EQ(p->LastSector, r.Last) << std::hex << r.Id;
    // The map does not depend on the loader for a known processor.
    EXPECT_EQ(Device(r.Id, "VXBL-1.05"), *r.Map) << std::hex << r.Id;
    EXPECT_EQ(Device(r.Id, "VXBL-1.03TR"), *r.Map) << std::hex << r.Id;
  }
  for (std::uint32_t i = 0, id = 0; VxSim_KnownProcessor(i, &id) == 0; ++i) device.insert(id);
  EXPECT_EQ(device, documented) << "the device knows exactly the thirteen";
  EXPECT_EQ(ProcessorTable.size(), 13u);
  for (const TProcessorInfo& p : ProcessorTable) EXPECT_EQ(documented.count(p.ProcessorId), 1u) << std::hex << p.ProcessorId;

  /* unknown identifiers: the loader's suffix decides, exactly "TR" or "PP" */
  struct TUnknown {
    const char* LoaderVersion;
    const char* Suffix;
    const TSectors* Map;
  };
  for (const TUnknown& u : {TUnknown{"VXBL-1.04TR", "TR", &kBoot27}, TUnknown{"VXBL-1.04 PP", "PP", &kBoot27},
                            TUnknown{"VXBL-1.05", "", &kBoot28}, TUnknown{"VXBL-1.04tr", "tr", &kBoot28},
                            TUnknown{"VXBL-1.04TRX", "TRX", &kBoot28}}) {
    EXPECT_EQ(Device(0x12345678, u.LoaderVersion), *u.Map) << u.LoaderVersion;
    TFirmwareBlockList blocks;
    const std::uint8_t byte = 0;
    blocks.push_back(std::make_unique<TFirmwareBlock>(-1, &byte, 1));
    TSectorLayout layout;
    RecordingLog log;
    layout.SelectSectors(0x12345678, u.Suffix, blocks, log, 1);
    EXPECT_EQ(Updater(layout.FSectorMap), *u.Map) << u.Suffix;
  }
  EXPECT_EQ(FindProcessor(0), nullptr);
}

TEST(DeviceTables, TheChecksumOfBothSidesMatchesHandWorkedValues) {
  struct TCase {
    const char* Label;
    std::vector<std::uint8_t> Bytes;
    std::uint16_t Sum;
  };
  std::vector<TCase> cases = {
      {"abc", {0x61, 0x62, 0x63}, 0x62C4},
      {"carry comes back", {0xFF, 0xFF, 0x01, 0x00}, 0x0001},
      {"odd length", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x00FF},
      {"nothing", {}, 0},
      {"firmware version request", {0x0E, 0, 0x0E, 0, 0x04, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0}, 0x002A},
  };
  // A block write of sector 16 at 0x10000: the header words add up to 0x0234
  // (0x020E + 0x0E + 7 + 0x10 + 1); 256 words of 0xFFFF leave a non-zero sum
  // as it is, 256 words of 1 add 0x100.
  std::vector<std::uint8_t> block = {0x0E, 0x02, 0x0E, 0, 0x07, 0, 0x10, 0, 0, 0, 0x01, 0, 0, 0};
  std::vector<std::uint8_t> ones = block;
  block.resize(526, 0xFF);
  for (int i = 0; i < 256; ++i) ones.insert(ones.end(), {0x01, 0x00});
  cases.push_back({"block of 0xFF", block, 0x0234});
  cases.push_back({"block of words 1", ones, 0x0334});
  for (const TCase& c : cases) {
    const auto n = static_cast<std::uint16_t>(c.Bytes.size());
    EXPECT_EQ(PacketChecksum(c.Bytes.data(), n), c.Sum) << "updater: " << c.Label;
    EXPECT_EQ(VxSim_Checksum(c.Bytes.data(), n), c.Sum) << "device: " << c.Label;
  }
}

}  // namespace
