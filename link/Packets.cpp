#include "link/Packets.h"

#include <cstring>

#include "link/PacketChecksum.h"

namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void StoreChecksum(std::uint8_t* packet, std::uint16_t length) {
  Put16(packet + kChecksumOffset, 0);
  Put16(packet + kChecksumOffset, PacketChecksum(packet, length));
}

}  // namespace

TPacketHeader ReadPacketHeader(const std::uint8_t* bytes) {
  TPacketHeader h;
  h.Length = Get16(bytes);
  h.HeaderLength = Get16(bytes + 2);
  h.Code = Get16(bytes + 4);
  h.Param = Get16(bytes + 6);
  h.Offset = Get32(bytes + 8);
  h.Checksum = Get16(bytes + 12);
  return h;
}

void WritePacketHeader(const TPacketHeader& header, std::uint8_t* bytes) {
  Put16(bytes, header.Length);
  Put16(bytes + 2, header.HeaderLength);
  Put16(bytes + 4, header.Code);
  Put16(bytes + 6, header.Param);
  Put32(bytes + 8, header.Offset);
  Put16(bytes + 12, header.Checksum);
}

void BuildRequest(std::uint8_t (&packet)[kPacketHeaderSize], std::uint16_t code, std::uint16_t param,
                  std::uint32_t offset) {
  WritePacketHeader({kPacketHeaderSize, kPacketHeaderSize, code, param, offset, 0}, packet);
  StoreChecksum(packet, kPacketHeaderSize);
}

void BuildBlockRequest(std::uint8_t (&packet)[kBlockPacketSize], std::uint16_t code, std::uint16_t sector,
                       std::uint32_t offset, const std::uint8_t* data) {
  std::memset(packet, 0, sizeof packet);
  WritePacketHeader({kBlockPacketSize, kPacketHeaderSize, code, sector, offset, 0}, packet);
  std::memcpy(packet + kPacketHeaderSize, data, kBlockDataSize);
  StoreChecksum(packet, kBlockPacketSize);
}

bool AcceptQueryAnswer(const std::uint8_t* answer, int received) {
  if (received < kPacketHeaderSize) return false;
  const TPacketHeader h = ReadPacketHeader(answer);
  return h.HeaderLength == kPacketHeaderSize && h.Code == asDone && h.HeaderLength < h.Length;
}

TSectorAnswer JudgeSectorAnswer(const std::uint8_t* answer, int received, std::uint16_t sector,
                                std::uint32_t offset, bool checkOffset, std::uint16_t* status) {
  if (received < static_cast<int>(kSectorAnswerSize)) return saShort;
  if (received != static_cast<int>(kSectorAnswerSize)) return saMalformed;
  const TPacketHeader h = ReadPacketHeader(answer);
  if (h.Length != kPacketHeaderSize || h.HeaderLength != kPacketHeaderSize || h.Param != sector ||
      (checkOffset && h.Offset != offset))
    return saMalformed;
  if (status != nullptr) *status = h.Code;
  return h.Code == asDone || h.Code == asProtected ? saAccepted : saRefused;
}

void TQueryAnswer::Clear() { std::memset(Bytes, 0, sizeof Bytes); }

std::string TQueryAnswer::Text() const {
  // Bytes[kQueryAnswerMax] is never written by a read, so the text ends.
  return std::string(reinterpret_cast<const char*>(Bytes + kPacketHeaderSize));
}

std::uint32_t TQueryAnswer::Number() const { return Get32(Bytes + kPacketHeaderSize); }
