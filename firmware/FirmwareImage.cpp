#include "firmware/FirmwareImage.h"

#include <cstring>

#include "records/WordSum.h"
#include "records/TextScan.h"

namespace {

std::uint16_t ReadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void WriteU16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  out[at] = static_cast<std::uint8_t>(v);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// Checksum of the image with its checksum field taken as 0; only the low 16
// bits of the length are covered.
std::uint16_t ImageChecksum(const std::uint8_t* data, std::size_t length) {
  const auto covered = static_cast<std::uint16_t>(length & 0xFFFFu);
  if (covered <= 4) return OnesComplementSum16(data, covered);
  std::uint8_t head[6];
  std::memcpy(head, data, covered < 6 ? covered : 6);
  head[4] = 0;
  if (covered > 5) head[5] = 0;
  const std::uint16_t a = OnesComplementSum16(head, covered < 6 ? covered : 6);
  if (covered <= 6) return a;
  // The sum is word-aligned at offset 6, so the two parts add up.
  std::uint32_t sum = static_cast<std::uint32_t>(a) + OnesComplementSum16(data + 6, static_cast<std::uint16_t>(covered - 6));
  sum = (sum & 0xFFFFu) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

std::string Text(const std::uint8_t* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace

bool DecodeBuildTime(const char* text, TDateTime& date) {
  int n[6];
  if (ScanIntegers(text, "%d.%d.%d %d:%d:%d", n, 6) != 6) return false;
  auto u16 = [](int v) { return static_cast<int>(static_cast<std::uint16_t>(v)); };
  return TryEncodeDateTime(u16(n[2]), u16(n[1]), u16(n[0]), u16(n[3]), u16(n[4]), u16(n[5]), 0, date);
}

TFirmwareImageHeader ReadFirmwareImageHeader(const std::uint8_t* data, std::size_t length) {
  TFirmwareImageHeader h;
  if (length < 4) return h;
  h.SizeWord = ReadU32(data);
  if (length < 6) return h;
  h.StoredChecksum = ReadU16(data + 4);
  h.ComputedChecksum = ImageChecksum(data, length);
  if (length < 8) return h;
  const std::size_t n = ReadU16(data + 6);
  if (length - 8 < n) return h;
  h.VersionText = Text(data + 8, n);
  std::size_t offset = 8 + n;
  if ((*h.SizeWord & kImageBuildTimeFlag) != 0) {
    if (length - offset < 2) return h;
    const std::size_t d = ReadU16(data + offset);
    offset += 2;
    if (length - offset < d) return h;
    h.BuildTime = Text(data + offset, d);
    offset += d;
  }
  h.PayloadOffset = offset;
  return h;
}

bool ParseFirmwareImage(TOperationLog& log, std::uint8_t* buffer, std::size_t length, TFirmwareVersion& version,
                        TFirmwareBlockList& blocks) {
  const TFirmwareImageHeader header = ReadFirmwareImageHeader(buffer, length);
  // An image whose header fields do not end inside it cannot have the length it
  // declares for itself: refused as a wrong size, before any field is used.
  if (!header.SizeWord || (*header.SizeWord & kImageLengthMask) != length || !header.PayloadOffset) {
    log.LogFmt(mkError, "Не верный размер файла прошивки");
    return false;
  }
  const bool hasBuildTime = (*header.SizeWord & kImageBuildTimeFlag) != 0;

  buffer[4] = 0;
  buffer[5] = 0;
  if (OnesComplementSum16(buffer, static_cast<std::uint16_t>(length & 0xFFFFu)) != *header.StoredChecksum) {
    log.LogFmt(mkError, "Ошибка контрольной суммы файла прошивки");
    return false;
  }

  if (!version.Parse(header.VersionText->c_str())) return false;

  version.Date = 0;
  if (hasBuildTime) {
    TDateTime date = 0;
    const bool decoded = DecodeBuildTime(header.BuildTime->c_str(), date);
    if (decoded) {
      version.Date = date;
    } else {
      log.LogFmt(mkError, "Ошибка декодирования времени компиляции прошивки");
    }
  }

  const std::size_t payloadSize = length - *header.PayloadOffset;
  if (payloadSize > kMaxFirmwareBlockSize) throw Exception("Слишком большой размер блока прошивки");
  blocks.push_back(std::make_unique<TFirmwareBlock>(-1, buffer + *header.PayloadOffset,
                                                    static_cast<std::uint32_t>(payloadSize)));
  return true;
}

bool BuildFirmwareImage(const std::string& versionText, const std::optional<std::string>& buildTime,
                        const std::uint8_t* payload, std::size_t payloadSize, std::vector<std::uint8_t>& image,
                        std::string& error) {
  if (versionText.size() > 0xFFFF) {
    error = "version text longer than 65535 bytes";
    return false;
  }
  if (buildTime && buildTime->size() > 0xFFFF) {
    error = "build time text longer than 65535 bytes";
    return false;
  }
  if (payloadSize > kMaxFirmwareBlockSize) {
    error = "payload of " + std::to_string(payloadSize) + " bytes is above the limit of " +
            std::to_string(kMaxFirmwareBlockSize) + " bytes";
    return false;
  }
  const std::size_t header = 8 + versionText.size() + (buildTime ? 2 + buildTime->size() : 0);
  const std::size_t total = header + payloadSize;
  image.assign(total, 0);
  const std::uint32_t sizeWord = static_cast<std::uint32_t>(total) | (buildTime ? kImageBuildTimeFlag : 0u);
  for (int i = 0; i < 4; ++i) image[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sizeWord >> (8 * i));
  WriteU16(image, 6, static_cast<std::uint32_t>(versionText.size()));
  std::memcpy(image.data() + 8, versionText.data(), versionText.size());
  std::size_t offset = 8 + versionText.size();
  if (buildTime) {
    WriteU16(image, offset, static_cast<std::uint32_t>(buildTime->size()));
    std::memcpy(image.data() + offset + 2, buildTime->data(), buildTime->size());
    offset += 2 + buildTime->size();
  }
  if (payloadSize != 0) std::memcpy(image.data() + offset, payload, payloadSize);
  WriteU16(image, 4, OnesComplementSum16(image.data(), static_cast<std::uint16_t>(total & 0xFFFFu)));
  return true;
}
