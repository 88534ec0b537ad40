#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/FirmwareBlock.h"
#include "records/FirmwareVersion.h"
#include "records/OperationLog.h"

// Image layout, little-endian:
//   0  u32  size word: bits 0-30 total length, bit 31 build-time field present
//   4  u16  checksum over the first (length mod 65536) bytes, this field as 0
//   6  u16  N, then N bytes of version text
//   8+N u16 D, then D bytes of build time "dd.mm.yyyy hh:mm:ss" (bit 31 only)
//   then the payload, at most kMaxFirmwareBlockSize bytes.
inline constexpr std::uint32_t kImageBuildTimeFlag = 0x80000000u;
inline constexpr std::uint32_t kImageLengthMask = 0x7FFFFFFFu;
// The longest image the layout can hold: both texts at their longest and a
// payload at the block limit. A longer file cannot be an image.
inline constexpr std::uint64_t kMaxFirmwareImageSize = 8 + 0xFFFFu + 2 + 0xFFFFu + std::uint64_t{kMaxFirmwareBlockSize};

// Checks an image held in `buffer`, fills `version` from its header and appends
// one block (Address -1, the whole payload) to `blocks`. Errors go to `log`.
// Overwrites the checksum field of the buffer. Lets the block's size refusal
// (Exception) pass to the caller.
[[nodiscard]] bool ParseFirmwareImage(TOperationLog& log, std::uint8_t* buffer, std::size_t length,
                                      TFirmwareVersion& version, TFirmwareBlockList& blocks);

// Reads a build time "dd.mm.yyyy hh:mm:ss" (text after the seconds is ignored;
// each number is taken to 16 bits). False when there are fewer than six numbers
// or they are no valid date and time.
[[nodiscard]] bool DecodeBuildTime(const char* text, TDateTime& date);

// The header fields of an image as far as they lie inside it; for tools that
// show what an image holds. Reads nothing outside [data, data + length).
struct TFirmwareImageHeader {
  std::optional<std::uint32_t> SizeWord;
  std::optional<std::uint16_t> StoredChecksum;
  std::optional<std::uint16_t> ComputedChecksum;
  std::optional<std::string> VersionText;
  std::optional<std::string> BuildTime;  // only with the flag
  std::optional<std::size_t> PayloadOffset;
};
TFirmwareImageHeader ReadFirmwareImageHeader(const std::uint8_t* data, std::size_t length);

// Builds an image from its parts. Returns false with a reason in `error` when
// the parts do not fit the format (version text over 65535 bytes, payload over
// kMaxFirmwareBlockSize).
[[nodiscard]] bool BuildFirmwareImage(const std::string& versionText, const std::optional<std::string>& buildTime,
                                      const std::uint8_t* payload, std::size_t payloadSize,
                                      std::vector<std::uint8_t>& image, std::string& error);
