#include "firmware/FirmwareImage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "RecordingLog.h"
#include "link/PacketChecksum.h"

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

const char* const kWrongSize = "Не верный размер файла прошивки";
const char* const kBadChecksum = "Ошибка контрольной суммы файла прошивки";
const char* const kBadBuildTime = "Ошибка декодирования времени компиляции прошивки";
const char* const kTooLarge = "Слишком большой размер блока прошивки";

const Bytes kSmallImage = {0x14, 0x00, 0x00, 0x00, 0x11, 0x15, 0x08, 0x00, 0x56, 0x58,
                           0x43, 0x52, 0x2D, 0x31, 0x2E, 0x39, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes Build(const std::string& version, const std::optional<std::string>& buildTime, const Bytes& payload) {
  Bytes image;
  std::string error;
  EXPECT_TRUE(BuildFirmwareImage(version, buildTime, payload.data(), payload.size(), image, error)) << error;
  return image;
}

Bytes Payload(std::size_t size, std::uint8_t seed = 1) {
  Bytes p(size);
  for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return p;
}

// Stores a fresh checksum so that only the field under test is wrong.
void Reseal(Bytes& image) {
  image[4] = image[5] = 0;
  const std::uint16_t sum = PacketChecksum(image.data(), static_cast<std::uint16_t>(image.size() & 0xFFFF));
  image[4] = static_cast<std::uint8_t>(sum);
  image[5] = static_cast<std::uint8_t>(sum >> 8);
}

struct ParseResult {
  bool ok = false;
  TFirmwareVersion version;
  TFirmwareBlockList blocks;
  RecordingLog log;
};

// Parses a copy, as the callers do: the parser may write into its buffer.
ParseResult Parse(Bytes image) {
  ParseResult r;
  r.ok = ParseFirmwareImage(r.log, image.data(), image.size(), r.version, r.blocks);
  return r;
}

TEST(FirmwareImage, SmallExampleByteForByte) {
  EXPECT_EQ(Build("VXCR-1.9", std::nullopt, {0xFF, 0xFF, 0xFF, 0xFF}), kSmallImage);
  ParseResult r = Parse(kSmallImage);
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.log.lines.empty());
  EXPECT_EQ(r.version.Name, "VXCR");
  EXPECT_EQ(r.version.Version, 109);
  EXPECT_EQ(r.version.Date, 0);
  ASSERT_EQ(r.blocks.size(), 1u);
  EXPECT_EQ(r.blocks[0]->Address, -1);
  ASSERT_EQ(r.blocks[0]->Size, 4u);
  EXPECT_EQ(Bytes(r.blocks[0]->Data.get(), r.blocks[0]->Data.get() + 4), Bytes(4, 0xFF));
}

TEST(FirmwareImage, DefaultImageShape) {
  const Bytes payload = Payload(131072);
  const Bytes image = Build("VXCR-1.9", std::string("18.03.2014 11:01:30"), payload);
  ASSERT_EQ(image.size(), 131109u);
  const Bytes header(image.begin(), image.begin() + 37);
  EXPECT_EQ(header, (Bytes{0x25, 0x00, 0x02, 0x80, 0x19, 0x60, 0x08, 0x00, 0x56, 0x58, 0x43, 0x52, 0x2D,
                           0x31, 0x2E, 0x39, 0x13, 0x00, '1', '8', '.', '0', '3', '.', '2', '0',
                           '1', '4', ' ', '1', '1', ':', '0', '1', ':', '3', '0'}));
  ParseResult r = Parse(image);
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.log.lines.empty());
  EXPECT_EQ(r.version.VersionText(), "VXCR-1.9");
  EXPECT_EQ(r.version.DateText(), "18-03-2014 11:01:30");
  ASSERT_EQ(r.blocks.size(), 1u);
  EXPECT_EQ(r.blocks[0]->Size, 131072u);
  EXPECT_EQ(0, std::memcmp(r.blocks[0]->Data.get(), payload.data(), payload.size()));

  /* the checksum covers the 37 header bytes and none of the payload */
  for (std::size_t at : {std::size_t{37}, std::size_t{1000}, image.size() - 1}) {
    Bytes changed = image;
    changed[at] ^= 0x5A;
    EXPECT_TRUE(Parse(changed).ok) << at;
  }
  for (std::size_t at = 0; at < 37; ++at) {
    if (at == 4 || at == 5) continue;  // the checksum itself
    Bytes changed = image;
    changed[at] ^= 0x01;
    ParseResult c = Parse(changed);
    EXPECT_FALSE(c.ok) << at;
  }
}

TEST(FirmwareImage, BuiltDefaultImage) {
  // The image the build packs for embedding.
  std::ifstream in(VX_DEFAULT_IMAGE_PATH, std::ios::binary);
  ASSERT_TRUE(in) << VX_DEFAULT_IMAGE_PATH << " not found";
  const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(image.size(), 131109u);
  EXPECT_EQ(image[4] | image[5] << 8, 0x6019);
  ParseResult r = Parse(image);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.version.Name, "VXCR");
  EXPECT_EQ(r.version.Version, 109);
  EXPECT_EQ(r.version.DateText(), "18-03-2014 11:01:30");
  ASSERT_EQ(r.blocks.size(), 1u);
  EXPECT_EQ(r.blocks[0]->Size, 131072u);
  /* the payload is pseudo-random, not a constant fill */
  int ff = 0;
  for (std::uint32_t i = 0; i < r.blocks[0]->Size; ++i) ff += r.blocks[0]->Data[i] == 0xFF;
  EXPECT_LT(ff, 1000);
}

TEST(FirmwareImage, LengthAndChecksumChecks) {
  /* one extra byte fails the length check, record and list untouched */
  {
    Bytes image = kSmallImage;
    image.push_back(0);
    ParseResult r = Parse(image);
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.log.Texts(), ElementsAre(kWrongSize));
    EXPECT_EQ(r.log.lines[0].kind, mkError);
    EXPECT_EQ(r.log.lines[0].serial, 0);
    EXPECT_EQ(r.version.Name, "");
    EXPECT_TRUE(r.blocks.empty());
  }
  /* a wrong checksum */
  {
    Bytes image = kSmallImage;
    image[4] ^= 1;
    ParseResult r = Parse(image);
    EXPECT_FALSE(r.ok);
    EXPECT_THAT(r.log.Texts(), ElementsAre(kBadChecksum));
    EXPECT_EQ(r.version.Name, "");
    EXPECT_TRUE(r.blocks.empty());
  }
  /* the parser clears the checksum field of its buffer */
  {
    Bytes image = kSmallImage;
    TFirmwareVersion v;
    TFirmwareBlockList blocks;
    RecordingLog log;
    ASSERT_TRUE(ParseFirmwareImage(log, image.data(), image.size(), v, blocks));
    EXPECT_EQ(image[4], 0);
    EXPECT_EQ(image[5], 0);
  }
  /* an image of exactly 65,536 bytes covers no bytes: its checksum must be 0 */
  {
    Bytes image = Build("VXCR-1.9", std::nullopt, Payload(65536 - 16));
    ASSERT_EQ(image.size(), 65536u);
    EXPECT_EQ(image[4] | image[5] << 8, 0);
    EXPECT_TRUE(Parse(image).ok);
    image[4] = 1;
    EXPECT_THAT(Parse(image).log.Texts(), ElementsAre(kBadChecksum));
  }
  /* above 65,536 bytes only the first (length mod 65,536) bytes count */
  {
    Bytes image = Build("VXCR-1.9", std::nullopt, Payload(65536 + 100));
    const std::size_t covered = image.size() % 65536;
    Bytes changed = image;
    changed[covered] ^= 0xFF;
    EXPECT_TRUE(Parse(changed).ok);
    changed = image;
    changed[covered - 1] ^= 0xFF;
    EXPECT_FALSE(Parse(changed).ok);
  }
}

TEST(FirmwareImage, HeaderVariants) {
  /* build-time flag set on an otherwise matching size word: not part of the length */
  {
    Bytes image = Build("VXCR-1.9", std::string("01.02.2003 04:05:06"), Payload(10));
    EXPECT_EQ(image[3] & 0x80, 0x80);
    ParseResult r = Parse(image);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.version.DateText(), "01-02-2003 04:05:06");
    EXPECT_EQ(r.blocks[0]->Size, 10u);
  }
  /* flag clear: payload right after the name, Date 0, no message */
  {
    ParseResult r = Parse(Build("KOLV-9.1x", std::nullopt, Payload(3, 9)));
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.log.lines.empty());
    EXPECT_EQ(r.version.Date, 0);
    EXPECT_EQ(r.version.VersionText(), "KOLV-9.1x");
    ASSERT_EQ(r.blocks[0]->Size, 3u);
    EXPECT_EQ(r.blocks[0]->Data[0], 9);
  }
  /* a build time that is no real date: logged, Date 0, image accepted */
  for (const char* bad : {"31.02.2014 10:00:00", "18.03.2014 11:01", "garbage", "", "18.03.2014 24:00:00",
                          "18.03.-2014 11:01:30"}) {
    SCOPED_TRACE(bad);
    ParseResult r = Parse(Build("VXCR-1.9", std::string(bad), Payload(8)));
    ASSERT_TRUE(r.ok);
    EXPECT_THAT(r.log.Texts(), ElementsAre(kBadBuildTime));
    EXPECT_EQ(r.log.lines[0].kind, mkError);
    EXPECT_EQ(r.version.Date, 0);
    EXPECT_EQ(r.blocks.size(), 1u);
  }
  /* numbers are taken to 16 bits: year 67,550 is 2014 */
  {
    ParseResult r = Parse(Build("VXCR-1.9", std::string("18.03.67550 11:01:30"), {}));
    EXPECT_TRUE(r.log.lines.empty());
    EXPECT_EQ(r.version.DateText(), "18-03-2014 11:01:30");
  }
  /* text after the seconds is ignored */
  {
    ParseResult r = Parse(Build("VXCR-1.9", std::string("18.03.2014 11:01:30 UTC+3"), {}));
    EXPECT_TRUE(r.log.lines.empty());
    EXPECT_EQ(r.version.DateText(), "18-03-2014 11:01:30");
  }
  /* a name that does not parse refuses the image without a line of its own */
  for (const char* name : {"VXCR1.9", "VXCR-1", ""}) {
    ParseResult r = Parse(Build(name, std::nullopt, Payload(4)));
    EXPECT_FALSE(r.ok) << name;
    EXPECT_TRUE(r.log.lines.empty()) << name;
    EXPECT_TRUE(r.blocks.empty());
  }
  /* header only: one block of size 0 */
  {
    ParseResult r = Parse(Build("VXCR-1.9", std::nullopt, {}));
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0]->Size, 0u);
  }
  /* earlier blocks of the list stay */
  {
    Bytes image = kSmallImage;
    TFirmwareVersion v;
    TFirmwareBlockList blocks;
    RecordingLog log;
    blocks.push_back(std::make_unique<TFirmwareBlock>(100, image.data(), 2));
    ASSERT_TRUE(ParseFirmwareImage(log, image.data(), image.size(), v, blocks));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0]->Address, 100);
    FreeFirmwareBlocks(blocks);
    EXPECT_TRUE(blocks.empty());
  }
}

TEST(FirmwareImage, PayloadLimit) {
  /* exactly 2 MiB is accepted */
  {
    ParseResult r = Parse(Build("VXCR-1.9", std::nullopt, Bytes(kMaxFirmwareBlockSize, 0x11)));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.blocks[0]->Size, kMaxFirmwareBlockSize);
  }
  /* one byte more raises the block's refusal; the record is filled, no block */
  {
    Bytes image = Build("VXCR-1.9", std::nullopt, Bytes(kMaxFirmwareBlockSize, 0x11));
    image.push_back(0x11);
    image[0] = static_cast<std::uint8_t>(image.size());
    image[1] = static_cast<std::uint8_t>(image.size() >> 8);
    image[2] = static_cast<std::uint8_t>(image.size() >> 16);
    Reseal(image);
    TFirmwareVersion v;
    TFirmwareBlockList blocks;
    RecordingLog log;
    try {
      (void)ParseFirmwareImage(log, image.data(), image.size(), v, blocks);
      FAIL() << "no error raised";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), kTooLarge);
    }
    EXPECT_EQ(v.VersionText(), "VXCR-1.9");
    EXPECT_TRUE(blocks.empty());
    EXPECT_TRUE(log.lines.empty());
  }
  /* the block refuses on its own as well */
  // cppcheck-suppress unusedScopedObject ; the constructor's refusal is the point
  EXPECT_THROW(TFirmwareBlock(-1, nullptr, kMaxFirmwareBlockSize + 1), Exception);
  /* the packer refuses too large a payload */
  Bytes image;
  std::string error;
  const Bytes big(kMaxFirmwareBlockSize + 1);
  EXPECT_FALSE(BuildFirmwareImage("VXCR-1.9", std::nullopt, big.data(), big.size(), image, error));
  EXPECT_THAT(error, ::testing::HasSubstr("above the limit"));
}

TEST(FirmwareImage, NeverReadsOutsideItsBuffer) {
  // Each case is copied into a buffer of exactly its own size, so that
  // AddressSanitizer catches any read past the end.
  auto parseExact = [](const Bytes& bytes) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
    ParseResult r;
    r.ok = ParseFirmwareImage(r.log, exact.get(), bytes.size(), r.version, r.blocks);
    return r;
  };
  const Bytes full = Build("VXCR-1.9", std::string("18.03.2014 11:01:30"), Payload(16));

  /* every truncation, with the size word left as it is and with it fitted */
  for (std::size_t len = 0; len < full.size(); ++len) {
    Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
    ParseResult r = parseExact(cut);
    EXPECT_FALSE(r.ok) << len;
    if (len >= 4) {
      cut[0] = static_cast<std::uint8_t>(len);
      if (len >= 6) Reseal(cut);
      r = parseExact(cut);
      // Only a cut inside the payload leaves a whole header: accepted with a
      // shorter payload.
      EXPECT_EQ(r.ok, len >= 37) << len;
      if (!r.ok) {
        EXPECT_THAT(r.log.Texts(), ElementsAre(kWrongSize)) << len;
      }
    } else {
      EXPECT_THAT(r.log.Texts(), ElementsAre(kWrongSize)) << len;
    }
  }

  /* N or D pointing past the end: refused as a wrong size, nothing changed */
  for (int n : {13, 20, 0xFFFF}) {  // 12 would end exactly at the end
    Bytes image = kSmallImage;
    image[6] = static_cast<std::uint8_t>(n);
    image[7] = static_cast<std::uint8_t>(n >> 8);
    Reseal(image);
    ParseResult r = parseExact(image);
    EXPECT_FALSE(r.ok) << n;
    EXPECT_THAT(r.log.Texts(), ElementsAre(kWrongSize));
    EXPECT_EQ(r.version.Name, "");
    EXPECT_TRUE(r.blocks.empty());
  }
  for (int d : {17, 20, 0xFFFF}) {
    Bytes image = full;
    image[16] = static_cast<std::uint8_t>(d);
    image[17] = static_cast<std::uint8_t>(d >> 8);
    Reseal(image);
    ParseResult r = parseExact(image);
    const bool fits = 18u + static_cast<std::size_t>(d) <= image.size();
    EXPECT_EQ(r.ok, fits) << d;
    if (!fits) {
      EXPECT_THAT(r.log.Texts(), ElementsAre(kWrongSize));
    }
  }
  /* the flag set on a header that ends right after the name */
  {
    Bytes image = kSmallImage;
    image.resize(16);
    image[0] = 16;
    image[3] = 0x80;
    Reseal(image);
    EXPECT_THAT(parseExact(image).log.Texts(), ElementsAre(kWrongSize));
  }
}

TEST(FirmwareImage, PackThenParse) {
  for (const auto& [version, time, size] :
       {std::tuple{"VXCR-1.9", "18.03.2014 11:01:30", 131072}, std::tuple{"ZARU-3.04 beta", "", 1},
        std::tuple{"Unknown", "29.02.2000 23:59:59", 70000}, std::tuple{"VXWF-12.0", "", 0}}) {
    SCOPED_TRACE(version);
    const Bytes payload = Payload(static_cast<std::size_t>(size), 3);
    const std::optional<std::string> buildTime = *time ? std::optional<std::string>(time) : std::nullopt;
    ParseResult r = Parse(Build(version, buildTime, payload));
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.log.lines.empty());
    TFirmwareVersion expected;
    ASSERT_TRUE(expected.Parse(version));
    EXPECT_EQ(r.version.VersionText(), expected.VersionText());
    EXPECT_EQ(r.version.Suffix, expected.Suffix);
    if (buildTime) {
      TDateTime date;
      ASSERT_TRUE(DecodeBuildTime(time, date));
      EXPECT_EQ(r.version.Date, date);
    } else {
      EXPECT_EQ(r.version.Date, 0);
    }
    ASSERT_EQ(r.blocks.size(), 1u);
    ASSERT_EQ(r.blocks[0]->Size, payload.size());
    EXPECT_TRUE(payload.empty() || std::memcmp(r.blocks[0]->Data.get(), payload.data(), payload.size()) == 0);
  }
}

TEST(FirmwareImage, HeaderReaderForTools) {
  const Bytes full = Build("VXCR-1.9", std::string("18.03.2014 11:01:30"), Payload(5));
  TFirmwareImageHeader h = ReadFirmwareImageHeader(full.data(), full.size());
  ASSERT_TRUE(h.SizeWord && h.StoredChecksum && h.ComputedChecksum && h.VersionText && h.BuildTime);
  EXPECT_EQ(*h.SizeWord, 0x80000000u | 42u);
  EXPECT_EQ(*h.StoredChecksum, *h.ComputedChecksum);
  EXPECT_EQ(*h.VersionText, "VXCR-1.9");
  EXPECT_EQ(*h.BuildTime, "18.03.2014 11:01:30");
  EXPECT_EQ(*h.PayloadOffset, 37u);
  /* the computed checksum ignores the stored one */
  Bytes changed = full;
  changed[4] ^= 0xFF;
  EXPECT_EQ(*ReadFirmwareImageHeader(changed.data(), changed.size()).ComputedChecksum, *h.ComputedChecksum);
  /* a short file yields only what is in it */
  h = ReadFirmwareImageHeader(full.data(), 12);
  EXPECT_TRUE(h.SizeWord.has_value());
  EXPECT_FALSE(h.VersionText.has_value());
  EXPECT_FALSE(h.PayloadOffset.has_value());
}

}  // namespace
