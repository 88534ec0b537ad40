#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.h"
#include "link/PacketChecksum.h"

// A valid image with `payload` bytes of 0x5A.
inline std::vector<std::uint8_t> TestImage(const char* version, std::size_t payload,
                                           const std::optional<std::string>& buildTime = "02.03.2021 04:05:06") {
  std::vector<std::uint8_t> bytes(payload, 0x5A), image;
  std::string error;
  if (!BuildFirmwareImage(version, buildTime, bytes.data(), bytes.size(), image, error)) image.clear();
  return image;
}

// An image whose header is sound but whose payload is one byte above the
// block limit (the packer refuses to make one).
inline std::vector<std::uint8_t> OversizedImage() {
  std::vector<std::uint8_t> image = TestImage("VXCR-2.0", kMaxFirmwareBlockSize);
  image.push_back(0x5A);
  const std::uint32_t sizeWord = static_cast<std::uint32_t>(image.size()) | kImageBuildTimeFlag;
  for (std::size_t i = 0; i < 4; ++i) image[i] = static_cast<std::uint8_t>(sizeWord >> (8 * i));
  image[4] = image[5] = 0;
  const std::uint16_t sum = PacketChecksum(image.data(), static_cast<std::uint16_t>(image.size() & 0xFFFF));
  image[4] = static_cast<std::uint8_t>(sum);
  image[5] = static_cast<std::uint8_t>(sum >> 8);
  return image;
}
