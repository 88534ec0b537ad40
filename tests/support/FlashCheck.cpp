#include "FlashCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include "link/Packets.h"
#include "sim/SimControl.h"

namespace {

std::uint16_t Get16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) | static_cast<std::uint8_t>(s[at + 1]) << 8);
}

std::uint32_t Get32(const std::string& s, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(s, at)) | static_cast<std::uint32_t>(Get16(s, at + 2)) << 16;
}

}  // namespace

std::vector<TRequest> DeviceRequests(int device) {
  // A device that ran its firmware was sent its text commands, each in one
  // write where a request would begin; they frame no request.
  std::string wire;
  std::size_t pending = 0;  // bytes of the current request still to come
  for (const vxsim::TSimCall& c : vxsim::Transcript()) {
    if (c.Info.Device != device || (c.Function() != "FT_Write" && c.Function() != "RQ_Write")) continue;
    const std::string data(c.Data.begin(), c.Data.end());
    const bool header = data.size() >= 4 && (Get16(data, 0) == 14 || Get16(data, 0) == 526) && Get16(data, 2) == 14;
    if (pending == 0 && !header) continue;
    wire += data;
    for (std::size_t used = 0; used < data.size();) {
      if (pending == 0) {
        if (data.size() - used < 2 || Get16(data, used) == 0) break;
        pending = Get16(data, used);
      }
      const std::size_t take = std::min(pending, data.size() - used);
      used += take;
      pending -= take;
    }
  }
  std::vector<TRequest> out;
  std::size_t at = 0;
  while (wire.size() - at >= 14) {
    const std::uint16_t length = Get16(wire, at);
    if (length < 14 || wire.size() - at < length) break;
    out.push_back({length, Get16(wire, at + 2), Get16(wire, at + 4), Get16(wire, at + 6), Get32(wire, at + 8),
                   wire.substr(at, length)});
    at += length;
  }
  EXPECT_EQ(at, wire.size()) << "bytes on the wire that frame no request";
  return out;
}

std::vector<TDeviceSector> DeviceSectors(std::uint32_t processor, const std::string& loaderVersion) {
  std::vector<TDeviceSector> out;
  for (const VxSimSector& s : vxsim::SectorMap(processor, loaderVersion)) out.push_back({s.Offset, s.Size});
  EXPECT_FALSE(out.empty()) << "no sector map for processor " << std::hex << processor;
  return out;
}

void ExpectDeviceFlash(int device, std::uint32_t processor, const std::string& loaderVersion,
                       const std::vector<std::uint8_t>& payload, int first, int last, std::uint8_t fill,
                       const std::set<int>& untouched) {
  const std::vector<VxSimSector> sectors = vxsim::SectorMap(processor, loaderVersion);
  ASSERT_LT(static_cast<std::size_t>(last), sectors.size());
  const VxSimDeviceState state = vxsim::State(device);
  EXPECT_EQ(state.BadRequests, 0u);
  EXPECT_EQ(state.RefusedRequests, 0u);
  const std::uint32_t flashSize = state.FlashSize;
  ASSERT_EQ(flashSize, sectors.back().Offset + sectors.back().Size);

  const vxsim::TExpectedFlash expectedFlash = vxsim::ExpectedFlash(sectors, payload, first, last, fill, untouched);
  const std::vector<std::uint8_t>& expected = expectedFlash.Bytes;
  const std::set<int>& written = expectedFlash.Written;
  const std::vector<std::uint8_t> flash = vxsim::Flash(device, 0, flashSize);
  ASSERT_EQ(flash.size(), expected.size());
  const auto diff = std::mismatch(flash.begin(), flash.end(), expected.begin());
  EXPECT_TRUE(diff.first == flash.end()) << "flash differs first at offset 0x" << std::hex
                                         << (diff.first - flash.begin());

  /* every sector that holds data was erased once and written block by block; no other sector was named */
  std::map<int, int> erases, blocks;
  for (const TRequest& r : DeviceRequests(device)) {
    if (r.Code == cmEraseSector || r.Code == cmEraseSectorEx) ++erases[r.Param];
    if (r.Code == cmWriteBlock || r.Code == cmWriteBlockEx) ++blocks[r.Param];
  }
  for (const auto& [n, count] : erases) EXPECT_TRUE(written.count(n)) << "sector " << n << " erased";
  for (const auto& [n, count] : blocks) EXPECT_TRUE(written.count(n)) << "sector " << n << " written";
  for (const int n : written) {
    EXPECT_GE(erases[n], 1) << "sector " << n << " not erased";
    EXPECT_GE(blocks[n], static_cast<int>(sectors[static_cast<std::size_t>(n)].Size / 512))
        << "sector " << n << " not written whole";
  }
}

std::vector<std::uint8_t> PseudoRandomPayload(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>((x >> 24) & 0x7F);  // never 0xFF
  }
  return bytes;
}

std::vector<std::uint8_t> ImagePayload(const std::vector<std::uint8_t>& image) {
  const std::string bytes(image.begin(), image.end());
  if (bytes.size() < 8) return {};
  const bool buildTime = (Get32(bytes, 0) & 0x80000000u) != 0;
  std::size_t at = 8 + Get16(bytes, 6);
  if (buildTime) {
    if (bytes.size() < at + 2) return {};
    at += 2 + Get16(bytes, at);
  }
  if (bytes.size() < at) return {};
  return std::vector<std::uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(at), image.end());
}

std::vector<std::uint8_t> ReadBinaryFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
