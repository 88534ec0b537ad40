#include "link/PacketChecksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::uint16_t Sum(const std::vector<std::uint8_t>& bytes) {
  return PacketChecksum(bytes.data(), static_cast<std::uint16_t>(bytes.size()));
}

TEST(PacketChecksum, WorkedValues) {
  EXPECT_EQ(Sum({0x61, 0x62, 0x63}), 0x62C4);  // "abc"
  EXPECT_EQ(Sum({0xFF, 0xFF, 0x01, 0x00}), 0x0001);  // end-around carry comes back as 1
  EXPECT_EQ(Sum({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0x00FF);
  EXPECT_EQ(PacketChecksum(nullptr, 0), 0);
  // The read-firmware-version request with its checksum field at 0.
  EXPECT_EQ(Sum({0x0E, 0x00, 0x0E, 0x00, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), 0x002A);
}

TEST(PacketChecksum, EdgeCases) {
  /* one byte b gives b */
  for (int b = 0; b < 256; ++b) EXPECT_EQ(Sum({static_cast<std::uint8_t>(b)}), b);
  /* zero words sum to 0, and a carry never produces 0 */
  EXPECT_EQ(Sum({0, 0, 0, 0}), 0);
  EXPECT_EQ(Sum({0xFF, 0xFF, 0xFF, 0xFF}), 0xFFFF);
  EXPECT_EQ(Sum({0x01, 0x00, 0xFF, 0xFF}), 0x0001);
  /* words are little-endian */
  EXPECT_EQ(Sum({0x34, 0x12}), 0x1234);
  /* a length of 65,536 reaches the function as 0 */
  std::vector<std::uint8_t> big(65536, 0xAB);
  EXPECT_EQ(PacketChecksum(big.data(), static_cast<std::uint16_t>(big.size())), 0);
  /* only `length` bytes are read: the byte after them does not count */
  EXPECT_EQ(PacketChecksum(big.data(), 1), 0xAB);
}

TEST(PacketChecksum, MatchesWideReference) {
  // Against a plain 32-bit sum folded at the end: the same ones'-complement
  // sum by a different route.
  std::vector<std::uint8_t> bytes(4099);
  std::uint32_t x = 12345;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  for (std::size_t len : {0u, 1u, 2u, 3u, 17u, 512u, 526u, 4098u, 4099u}) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) sum += bytes[i] | bytes[i + 1] << 8;
    if (len % 2) sum += bytes[len - 1];
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(PacketChecksum(bytes.data(), static_cast<std::uint16_t>(len)), sum) << "length " << len;
  }
}

}  // namespace
