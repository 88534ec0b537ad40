#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The boot loader's framed command packets: a 14-byte little-endian header,
// followed in a block write by 512 bytes of image data. Answers use the same
// header. One request is written, one answer read; nothing resynchronises.
struct TPacketHeader {
  std::uint16_t Length = 0;        // whole packet, header included
  std::uint16_t HeaderLength = 0;  // always 14: where the data begins
  std::uint16_t Code = 0;          // command code, or status in an answer
  std::uint16_t Param = 0;         // sector number; 10 in other requests
  std::uint32_t Offset = 0;        // flash offset of the sector or block
  std::uint16_t Checksum = 0;      // PacketChecksum with this field at 0
};

inline constexpr std::uint16_t kPacketHeaderSize = 14;
inline constexpr std::uint16_t kBlockDataSize = 512;
inline constexpr std::uint16_t kBlockPacketSize = kPacketHeaderSize + kBlockDataSize;  // 526
inline constexpr std::size_t kChecksumOffset = 12;
inline constexpr std::uint16_t kQueryParam = 10;

enum TCommandCode : std::uint16_t {
  cmEraseSector = 1,
  cmWriteBlock = 2,
  cmReadFirmwareVersion = 4,
  cmReadLoaderVersion = 5,
  cmEraseSectorEx = 6,
  cmWriteBlockEx = 7,
  cmReadProcessorId = 10,
  cmWriteDone = 11,
  cmWriteAborted = 12,
};

enum TAnswerStatus : std::uint16_t {
  asDone = 128,
  asProtected = 131,  // erase or write of a protected sector: counts as done
  asLocked = 138,     // settings are locked: the device refuses
};

// How each answer is read: maximum byte count and time-out in milliseconds.
inline constexpr std::uint32_t kQueryAnswerMax = 1024;
inline constexpr std::uint32_t kSectorAnswerSize = kPacketHeaderSize;
inline constexpr std::uint32_t kVersionQueryTimeout = 100;      // codes 4 and 5
inline constexpr std::uint32_t kProcessorIdTimeout = 500;       // code 10
inline constexpr std::uint32_t kFinishTimeout = 100;            // codes 11 and 12
inline constexpr std::uint32_t kSectorAnswerTimeout = 1000;     // codes 1, 2, 6, 7

// Plain text commands of a device that runs its firmware, sent without frame,
// checksum or terminating zero.
inline constexpr char kReadVersionText[] = "FL_READ_VERSION$";
inline constexpr char kStartBootLoaderText[] = "START_BOOT_LOADER";
inline constexpr std::uint32_t kReadVersionTextLength = sizeof kReadVersionText - 1;          // 16
inline constexpr std::uint32_t kStartBootLoaderTextLength = sizeof kStartBootLoaderText - 1;  // 17

// Header fields from and into their little-endian wire form (14 bytes).
[[nodiscard]] TPacketHeader ReadPacketHeader(const std::uint8_t* bytes);
void WritePacketHeader(const TPacketHeader& header, std::uint8_t* bytes);

// A 14-byte request (queries, finish, erase) with its checksum.
void BuildRequest(std::uint8_t (&packet)[kPacketHeaderSize], std::uint16_t code, std::uint16_t param = kQueryParam,
                  std::uint32_t offset = 0);

// A 526-byte block write: cleared, header, the 512 data bytes, checksum.
void BuildBlockRequest(std::uint8_t (&packet)[kBlockPacketSize], std::uint16_t code, std::uint16_t sector,
                       std::uint32_t offset, const std::uint8_t* data);

// Query answer rule (codes 4, 5, 10): at least a header, header length 14,
// status asDone, and data after the header. Neither the checksum nor Length
// against the received count is checked.
[[nodiscard]] bool AcceptQueryAnswer(const std::uint8_t* answer, int received);

// What an erase or write answer means.
enum TSectorAnswer {
  saShort,      // fewer than 14 bytes: the attempt may be repeated
  saMalformed,  // size, header length, sector or offset echo wrong: failure, status not looked at
  saAccepted,   // asDone or asProtected
  saRefused,    // well-formed with any other status (asLocked included)
};

// Sector answer rule (codes 1, 2, 6, 7). `checkOffset` for the write codes.
// `status` receives Code of a well-formed answer and is left alone otherwise.
[[nodiscard]] TSectorAnswer JudgeSectorAnswer(const std::uint8_t* answer, int received, std::uint16_t sector,
                                              std::uint32_t offset, bool checkOffset, std::uint16_t* status);

// A query answer as read into its buffer: kQueryAnswerMax bytes cleared before
// the read, plus one zero byte that the read never reaches, so the version text
// always ends.
struct TQueryAnswer {
  std::uint8_t Bytes[kQueryAnswerMax + 1] = {};

  void Clear();
  // The text from the data offset up to the first zero byte.
  [[nodiscard]] std::string Text() const;
  // The little-endian 32-bit number at the data offset.
  [[nodiscard]] std::uint32_t Number() const;
};
