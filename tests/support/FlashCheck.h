#pragma once

// What a simulated device holds and what went to it over the wire, held
// against the image a flash was to write: shared by every program that checks
// a flash.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

// One framed request as it went on the wire.
struct TRequest {
  std::uint16_t Length, HeaderLength, Code, Param;
  std::uint32_t Offset;
  std::string Bytes;
};

// One sector of the device's own flash layout.
struct TDeviceSector {
  std::uint32_t Offset, Size;
};

// The framed requests the updater wrote to the simulated device.
std::vector<TRequest> DeviceRequests(int device);

// The device's own sector map, from the simulated device's tables (not the
// updater's).
std::vector<TDeviceSector> DeviceSectors(std::uint32_t processor, const std::string& loaderVersion);

// The device's flash against what a flash of `payload` from the start of
// sector `first` up to sector `last` leaves: the payload in every sector of
// that span that holds data, each such sector erased and written, every
// other sector still holding `fill` and never named by an erase or a write
// request. Sectors in `untouched` refuse the change (protected) and keep
// `fill` although they were erased and written. `last` may lie past the
// payload's end: blank sectors are expected untouched.
void ExpectDeviceFlash(int device, std::uint32_t processor, const std::string& loaderVersion,
                       const std::vector<std::uint8_t>& payload, int first, int last, std::uint8_t fill = 0xFF,
                       const std::set<int>& untouched = {});

// A payload of `size` pseudo-random bytes (never a whole 0xFF word run).
std::vector<std::uint8_t> PseudoRandomPayload(std::size_t size, std::uint32_t seed = 1);

// The payload of a firmware image file's bytes, read by the image format's
// own layout (length word with the build-time flag, checksum, version text,
// optional build time); empty when the header does not fit.
std::vector<std::uint8_t> ImagePayload(const std::vector<std::uint8_t>& image);
std::vector<std::uint8_t> ReadBinaryFile(const std::string& path);
