#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/PacketChecksum.h"
#include "link/Packets.h"

namespace {

std::vector<std::uint8_t> Request(std::uint16_t code) {
  std::uint8_t p[kPacketHeaderSize];
  BuildRequest(p, code);
  return {p, p + sizeof p};
}

TEST(Packets, TheFiveFixedRequestsByteForByte) {
  using B = std::vector<std::uint8_t>;
  EXPECT_EQ(Request(cmReadFirmwareVersion), (B{0x0E, 0, 0x0E, 0, 0x04, 0, 0x0A, 0, 0, 0, 0, 0, 0x2A, 0}));
  EXPECT_EQ(Request(cmReadLoaderVersion), (B{0x0E, 0, 0x0E, 0, 0x05, 0, 0x0A, 0, 0, 0, 0, 0, 0x2B, 0}));
  EXPECT_EQ(Request(cmReadProcessorId), (B{0x0E, 0, 0x0E, 0, 0x0A, 0, 0x0A, 0, 0, 0, 0, 0, 0x30, 0}));
  EXPECT_EQ(Request(cmWriteDone), (B{0x0E, 0, 0x0E, 0, 0x0B, 0, 0x0A, 0, 0, 0, 0, 0, 0x31, 0}));
  EXPECT_EQ(Request(cmWriteAborted), (B{0x0E, 0, 0x0E, 0, 0x0C, 0, 0x0A, 0, 0, 0, 0, 0, 0x32, 0}));
}

TEST(Packets, EraseAndBlockRequests) {
  /* erase: sector and offset little-endian, checksum over the header */
  std::uint8_t erase[kPacketHeaderSize];
  BuildRequest(erase, cmEraseSectorEx, 17, 0x00018000);
  const TPacketHeader h = ReadPacketHeader(erase);
  EXPECT_EQ(h.Length, 14);
  EXPECT_EQ(h.Code, cmEraseSectorEx);
  EXPECT_EQ(h.Param, 17);
  EXPECT_EQ(erase[8], 0x00);
  EXPECT_EQ(erase[9], 0x80);
  EXPECT_EQ(erase[10], 0x01);
  erase[12] = erase[13] = 0;
  EXPECT_EQ(h.Checksum, PacketChecksum(erase, 14));

  /* block write: whole 526 bytes, old buffer contents gone */
  std::uint8_t block[kBlockPacketSize];
  std::memset(block, 0x77, sizeof block);
  std::uint8_t data[kBlockDataSize];
  for (std::size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  BuildBlockRequest(block, cmWriteBlock, 3, 0x3200, data);
  const TPacketHeader b = ReadPacketHeader(block);
  EXPECT_EQ(b.Length, 526);
  EXPECT_EQ(b.HeaderLength, 14);
  EXPECT_EQ(b.Code, cmWriteBlock);
  EXPECT_EQ(b.Param, 3);
  EXPECT_EQ(b.Offset, 0x3200u);
  EXPECT_EQ(std::memcmp(block + 14, data, 512), 0);
  block[12] = block[13] = 0;
  EXPECT_EQ(b.Checksum, PacketChecksum(block, 526));
}

std::vector<std::uint8_t> Answer(std::uint16_t length, std::uint16_t headerLength, std::uint16_t code,
                                 std::uint16_t param, std::uint32_t offset, std::size_t size) {
  std::vector<std::uint8_t> a(std::max<std::size_t>(size, kPacketHeaderSize), 0);
  WritePacketHeader({length, headerLength, code, param, offset, 0x5555}, a.data());
  a.resize(size);
  return a;
}

TEST(Packets, QueryAnswerRule) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool accepted;
  } cases[] = {
      {"13 bytes", Answer(20, 14, asDone, 10, 0, 13), false},
      {"20 bytes, Length 400", Answer(400, 14, asDone, 10, 0, 20), true},
      {"Length 14: no data", Answer(14, 14, asDone, 10, 0, 14), false},
      {"status 131", Answer(20, 14, asProtected, 10, 0, 20), false},
      {"header length 15", Answer(20, 15, asDone, 10, 0, 20), false},
      {"bad checksum is not looked at", Answer(15, 14, asDone, 0, 0, 15), true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AcceptQueryAnswer(c.bytes.data(), static_cast<int>(c.bytes.size())), c.accepted) << c.what;

  /* the data of the 20-byte answer are the six bytes after the header */
  TQueryAnswer answer;
  const auto a = Answer(400, 14, asDone, 10, 0, 14);
  std::memcpy(answer.Bytes, a.data(), a.size());
  std::memcpy(answer.Bytes + 14, "VXCR-1", 6);
  EXPECT_EQ(answer.Text(), "VXCR-1");
  answer.Clear();
  std::memcpy(answer.Bytes + 14, "\x37\x3F\x01\x26", 4);
  EXPECT_EQ(answer.Number(), 0x26013F37u);

  /* a text that fills the whole buffer still ends */
  std::memset(answer.Bytes, 'A', kQueryAnswerMax);
  EXPECT_EQ(answer.Text().size(), kQueryAnswerMax - 14);
}

TEST(Packets, SectorAnswerRule) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool write;
    TSectorAnswer outcome;
    std::uint16_t status;  // 0: left alone
  } cases[] = {
      {"done", Answer(14, 14, asDone, 5, 0x5000, 14), true, saAccepted, asDone},
      {"protected", Answer(14, 14, asProtected, 5, 0x5000, 14), true, saAccepted, asProtected},
      {"locked", Answer(14, 14, asLocked, 5, 0x5000, 14), true, saRefused, asLocked},
      {"other status", Answer(14, 14, 0x81, 5, 0x5000, 14), false, saRefused, 0x81},
      {"13 bytes", Answer(14, 14, asDone, 5, 0x5000, 13), true, saShort, 0},
      {"nothing", {}, true, saShort, 0},
      {"other sector", Answer(14, 14, asDone, 6, 0x5000, 14), false, saMalformed, 0},
      {"write, other offset", Answer(14, 14, asDone, 5, 0x5200, 14), true, saMalformed, 0},
      {"erase, other offset", Answer(14, 14, asDone, 5, 0x5200, 14), false, saAccepted, asDone},
      {"Length 15", Answer(15, 14, asDone, 5, 0x5000, 14), true, saMalformed, 0},
      {"header length 13", Answer(14, 13, asDone, 5, 0x5000, 14), true, saMalformed, 0},
  };
  for (const auto& c : cases) {
    std::uint16_t status = 0;
    EXPECT_EQ(JudgeSectorAnswer(c.bytes.data(), static_cast<int>(c.bytes.size()), 5, 0x5000, c.write, &status),
              c.outcome)
        << c.what;
    EXPECT_EQ(status, c.status) << c.what;
  }
}

}  // namespace
