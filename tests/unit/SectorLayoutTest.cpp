#include "flashing/SectorLayout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RecordingLog.h"

namespace {

using ::testing::ElementsAre;

TFirmwareBlockList OneBlock(std::size_t size, std::uint8_t fill = 0x5A, std::int32_t address = -1) {
  std::vector<std::uint8_t> bytes(size, fill);
  TFirmwareBlockList blocks;
  blocks.push_back(std::make_unique<TFirmwareBlock>(address, bytes.data(), static_cast<std::uint32_t>(size)));
  return blocks;
}

struct Selected {
  TSectorLayout layout;
  RecordingLog log;
};

Selected Select(std::uint32_t processorId, const TFirmwareBlockList& blocks, const std::string& suffix = "") {
  Selected s;
  s.layout.SelectSectors(processorId, suffix, blocks, s.log, 4711);
  return s;
}

TEST(SectorMaps, Layouts) {
  struct Expect {
    const TSectorMap* map;
    std::size_t entries;
    std::uint32_t end;  // one past the last byte
  };
  for (const Expect& e : {Expect{&SectorMap4K, 64, 0x40000}, Expect{&SectorMap256K, 22, 0x40000},
                          Expect{&SectorMap512K, 30, 0x80000}, Expect{&SectorMapPages, 256, 0x24400},
                          Expect{&SectorMapBoot27, 27, 0x7D000}, Expect{&SectorMapBoot28, 28, 0x7E000}}) {
    const TSectorMap& m = *e.map;
    ASSERT_EQ(m.size(), e.entries);
    EXPECT_EQ(m.back().Offset + m.back().Size, e.end);
    /* sectors follow each other without gaps */
    for (std::size_t n = 1; n < m.size(); ++n) ASSERT_EQ(m[n].Offset, m[n - 1].Offset + m[n - 1].Size) << n;
  }
  EXPECT_EQ(SectorMap256K[15].Size, 4096);
  EXPECT_EQ(SectorMap256K[16].Offset, 0x10000u);
  EXPECT_EQ(SectorMap256K[16].Size, 32768);
  EXPECT_EQ(SectorMapPages[0].Offset, 0x4400u);
  EXPECT_EQ(SectorMapBoot27[8].Offset, 0x8000u);
  EXPECT_EQ(SectorMapBoot27[21].Size, 32768);
  EXPECT_EQ(SectorMapBoot27[22].Offset, 0x78000u);
  EXPECT_EQ(SectorMapBoot28[27].Offset, 0x7D000u);
  EXPECT_EQ(ProcessorTable.size(), 13u);
  ASSERT_NE(FindProcessor(0x481D3F47), nullptr);
  EXPECT_EQ(FindProcessor(0x481D3F47)->SectorMap, &SectorMap512K);
  EXPECT_EQ(FindProcessor(0), nullptr);
}

TEST(SectorLayout, LargestPayloadPerMap) {
  struct Row {
    std::uint32_t id;
    const char* suffix;
    std::size_t largest;
    int first, last;
  };
  for (const Row& row : {Row{0x10040204, "", 245760, 4, 63}, Row{0x26013733, "", 221184, 10, 21},
                         Row{0x27193F47, "", 483328, 10, 29}, Row{0x400FE000, "", 131072, 0, 255},
                         Row{0x12345678, "TR", 495616, 4, 26}, Row{0x12345678, "", 499712, 4, 27}}) {
    SCOPED_TRACE(row.largest);
    /* ends exactly at the end of the range: accepted, every sector kept */
    Selected fits = Select(row.id, OneBlock(row.largest), row.suffix);
    EXPECT_EQ(fits.layout.FResult, wrSuccess);
    EXPECT_EQ(fits.layout.FFirstSector, row.first);
    EXPECT_EQ(fits.layout.FLastSector, row.last);
    EXPECT_EQ(static_cast<std::size_t>(fits.layout.FTotalUnits), row.largest / 512);
    /* one byte more does not fit */
    EXPECT_EQ(Select(row.id, OneBlock(row.largest + 1), row.suffix).layout.FResult, wrImageTooLarge);
  }
}

TEST(SectorLayout, ImagePlacement) {
  /* the payload lands at the start of the first sector; the rest is 0xFF */
  Selected s = Select(0x26013F37, OneBlock(100, 0x42));
  ASSERT_EQ(s.layout.FResult, wrSuccess);
  ASSERT_EQ(s.layout.FImage.size(), 0x80000u);
  const std::uint32_t start = SectorMap512K[10].Offset;
  EXPECT_EQ(s.layout.FImage[start - 1], 0xFF);
  EXPECT_EQ(s.layout.FImage[start], 0x42);
  EXPECT_EQ(s.layout.FImage[start + 99], 0x42);
  EXPECT_EQ(s.layout.FImage[start + 100], 0xFF);
  EXPECT_EQ(s.layout.FLastSector, 10);
  EXPECT_EQ(s.layout.FTotalUnits, 8);
  EXPECT_TRUE(s.log.lines.empty());

  /* a payload ending inside sector 17 gives the range 10..17 */
  const std::uint32_t into17 = SectorMap512K[17].Offset + 1 - start;
  s = Select(0x26013F37, OneBlock(into17));
  EXPECT_EQ(s.layout.FFirstSector, 10);
  EXPECT_EQ(s.layout.FLastSector, 17);
  EXPECT_EQ(s.layout.FTotalUnits, static_cast<std::int32_t>((SectorMap512K[18].Offset - start) / 512));

  /* blocks with an address go there; a later block overwrites an earlier one */
  TFirmwareBlockList blocks = OneBlock(8, 0x11, 0x20000);
  blocks.push_back(std::move(OneBlock(4, 0x22, 0x20002).front()));
  s = Select(0x26013F37, blocks);
  ASSERT_EQ(s.layout.FResult, wrSuccess);
  EXPECT_EQ(s.layout.FImage[0x20001], 0x11);
  EXPECT_EQ(s.layout.FImage[0x20002], 0x22);
  EXPECT_EQ(s.layout.FImage[0x20006], 0x11);
  /* blank sectors at the front and inside the range stay in it */
  EXPECT_EQ(s.layout.FFirstSector, 10);
  EXPECT_EQ(s.layout.FLastSector, 18);
  /* a block past the end stops the placement */
  blocks.push_back(std::move(OneBlock(1, 0x33, 0x80000).front()));
  EXPECT_EQ(Select(0x26013F37, blocks).layout.FResult, wrImageTooLarge);
}

TEST(SectorLayout, BlankAndUnknown) {
  /* an all-0xFF payload leaves nothing to write */
  EXPECT_EQ(Select(0x10040204, OneBlock(5000, 0xFF)).layout.FResult, wrNothingToWrite);
  EXPECT_EQ(Select(0x10040204, TFirmwareBlockList{}).layout.FResult, wrNothingToWrite);
  /* an empty payload is nothing to write as well */
  EXPECT_EQ(Select(0x10040204, OneBlock(0)).layout.FResult, wrNothingToWrite);

  /* identifier 0: unknown, logged with eight digits, boot-loader layouts */
  Selected s = Select(0, OneBlock(10));
  EXPECT_EQ(s.layout.FSectorMap.data(), SectorMapBoot28.data());
  EXPECT_EQ(s.layout.FFirstSector, 4);
  ASSERT_EQ(s.log.lines.size(), 1u);
  EXPECT_EQ(s.log.lines[0].text, "Неизвестный идентификатор 00000000");
  EXPECT_EQ(s.log.lines[0].kind, mkInfo);
  EXPECT_EQ(s.log.lines[0].serial, 4711);
  EXPECT_EQ(Select(0xABCDEF01, OneBlock(10)).log.lines[0].text, "Неизвестный идентификатор ABCDEF01");
  for (const char* suffix : {"TR", "PP"})
    EXPECT_EQ(Select(0, OneBlock(10), suffix).layout.FSectorMap.data(), SectorMapBoot27.data()) << suffix;
  for (const char* suffix : {"tr", "TRX", "P", ""})
    EXPECT_EQ(Select(0, OneBlock(10), suffix).layout.FSectorMap.data(), SectorMapBoot28.data()) << suffix;
  /* a known identifier is not logged and ignores the suffix */
  s = Select(0x400FE000, OneBlock(10), "TR");
  EXPECT_TRUE(s.log.lines.empty());
  EXPECT_EQ(s.layout.FSectorMap.data(), SectorMapPages.data());
}

TEST(SectorLayout, SectorHasData) {
  std::vector<std::uint8_t> sector(32768, 0xFF);
  EXPECT_FALSE(SectorHasData(sector.data(), 32768));
  /* the only other byte in the last word */
  sector[32767] = 0xFE;
  EXPECT_TRUE(SectorHasData(sector.data(), 32768));
  EXPECT_FALSE(SectorHasData(sector.data(), 32764));
  /* read as whole words: a trailing part word is not looked at */
  sector[32767] = 0xFF;
  sector[6] = 0;
  EXPECT_TRUE(SectorHasData(sector.data(), 8));
  EXPECT_FALSE(SectorHasData(sector.data(), 6));
  EXPECT_FALSE(SectorHasData(sector.data(), 0));
}

TEST(Compatibility, Rules) {
  struct Row {
    const char* device;
    int loader;
    const char* image;
    int version;
    bool compatible;
  };
  for (const Row& r : {
           Row{"VXRQ", 103, "VXRQ", 900, false},   // old loader, new image
           Row{"VXRQ", 103, "VXRQ", 899, true},
           Row{"VXRQ", 104, "VXRQ", 899, false},   // new loader, old image
           Row{"VXRQ", 104, "KOLV", 900, true},
           Row{"KOLV", 104, "VXRQ", 900, true},
           Row{"KOLV", 103, "KOLV", 900, false},
           Row{"KOLV", 50, "ZARU", 100, false},
           Row{"ZARU", 0, "VXWF", 303, false},
           Row{"ZARU", 0, "VXWF", 304, true},
           Row{"ZARU", 0, "ZARU", 1, true},
           Row{"ZARU", 0, "ZARU", 65535, true},
           Row{"VXWF", 0, "ZARU", 500, false},
           Row{"unk", 0, "VXCR", 109, true},
           Row{"", 0, "VXCR", 109, true},
           Row{"", 200, "VXRQ", 900, true},
           Row{"VXCR", 0, "VXCR", 109, true},
           Row{"VXCR", 0, "vxcr", 109, false},    // tags are case-sensitive
           Row{"VXCR", 0, "KOLV", 109, false},
       }) {
    EXPECT_EQ(IsCompatible(r.device, static_cast<std::uint16_t>(r.loader), r.image,
                           static_cast<std::uint16_t>(r.version)),
              r.compatible)
        << r.device << " loader " << r.loader << " image " << r.image << " " << r.version;
  }
}

}  // namespace
