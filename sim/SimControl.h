#pragma once

// The C++ face of the simulated devices for native tests: devices described
// by a struct, the transcript as a vector, the clock as a tick source for the
// updater's own TickCount / SleepMs. Everything goes through the plain C
// interface of SimApi.h, so it works across the library boundary on Windows
// too.

#include <algorithm>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Ticks.h"
#include "records/TextFormat.h"
#include "sim/SimApi.h"

namespace vxsim {

struct TSimDevice {
  int Library = VXSIM_FTDI;
  std::string Serial = "1";
  std::string Description = "Velmar";
  std::uint16_t DeviceCode = 0x0101;
  bool BootLoader = true;
  std::string FirmwareVersion = "VXCR-1.8";
  std::string LoaderVersion = "VXBL-1.05";
  std::uint32_t ProcessorId = 0x26013F37;
  std::uint32_t Latency = 0;
  std::uint32_t FrameGap = 50;  // ms of silence after which a partial request is dropped
  std::string Extra;  // further scenario lines for this device, for example "fault = no_answer code=4"

  // The scenario text of this device.
  [[nodiscard]] std::string Scenario() const {
    return FormatText(
        "[device]\nlibrary = %s\nserial = \"%s\"\ndescription = \"%s\"\ncode = %u\nmode = %s\n"
        "firmware_version = \"%s\"\nloader_version = \"%s\"\nprocessor = 0x%08X\nlatency = %u\n"
        "frame_gap = %u\n",
        Library == VXSIM_FTDI ? "ftdi" : "vxusb", Serial.c_str(), Description.c_str(), DeviceCode,
        BootLoader ? "loader" : "firmware", FirmwareVersion.c_str(), LoaderVersion.c_str(), ProcessorId, Latency,
        FrameGap) +
        Extra + "\n";
  }
};

// A device of the maker's library running its firmware that restarts into
// its boot loader when asked: it answers "STARTED\r\n", leaves the bus
// `leaveDelay` ms later and comes back in its boot loader `restartDelay` ms
// after that.
inline TSimDevice RestartingDevice(const char* serial, std::uint32_t leaveDelay, std::uint32_t restartDelay) {
  TSimDevice d;
  d.Library = VXSIM_VXUSB;
  d.Serial = serial;
  d.DeviceCode = 0x0A01;
  d.BootLoader = false;
  d.FirmwareVersion = "VXCR-1.7";
  d.Extra = FormatText("start_answer = \"STARTED\\r\\n\"\nleave_delay = %u\nrestart_delay = %u\n", leaveDelay,
                       restartDelay);
  return d;
}

struct TSimCall {
  VxSimCall Info;
  std::vector<std::uint8_t> Data;
  [[nodiscard]] std::string Function() const { return Info.Function; }
};

inline void LoadScenario(const std::string& text) {
  char error[256] = "";
  if (VxSim_LoadScenario(text.c_str(), error, sizeof error) != 0) throw std::runtime_error(error);
}

// Adds the device and returns its index.
inline int AddDevice(const TSimDevice& device) {
  LoadScenario(device.Scenario());
  return VxSim_DeviceCount() - 1;
}

inline std::vector<TSimCall> Transcript() {
  std::vector<TSimCall> calls(VxSim_TranscriptCount());
  for (std::uint32_t i = 0; i < calls.size(); ++i) {
    VxSim_GetCall(i, &calls[i].Info, nullptr, 0);
    calls[i].Data.resize(calls[i].Info.DataLength);
    VxSim_GetCall(i, &calls[i].Info, calls[i].Data.data(), static_cast<std::uint32_t>(calls[i].Data.size()));
  }
  return calls;
}

// The calls of the transcript to one entry point.
inline std::vector<TSimCall> Calls(const std::string& function) {
  std::vector<TSimCall> out;
  for (TSimCall& c : Transcript())
    if (c.Function() == function) out.push_back(std::move(c));
  return out;
}

inline std::vector<std::uint8_t> Flash(int device, std::uint32_t offset, std::uint32_t count) {
  std::vector<std::uint8_t> bytes(count);
  bytes.resize(VxSim_ReadFlash(device, offset, bytes.data(), count));
  return bytes;
}

inline VxSimDeviceState State(int device) {
  VxSimDeviceState s{};
  VxSim_GetDeviceState(device, &s);
  return s;
}

// The sector map a device with this processor identifier and boot loader
// version text has, from the device's own tables (not the updater's); empty
// when it has none.
inline std::vector<VxSimSector> SectorMap(std::uint32_t processor, const std::string& loaderVersion) {
  std::vector<VxSimSector> sectors(512);
  const std::uint32_t count =
      VxSim_SectorMap(processor, loaderVersion.c_str(), sectors.data(), static_cast<std::uint32_t>(sectors.size()));
  if (count > sectors.size()) return {};
  sectors.resize(count);
  return sectors;
}

// What a device's whole flash holds after `payload` was flashed from the start
// of sector `first` up to sector `last` of its map `sectors`: every sector of
// that span that holds data is erased and then written (blank ones and every
// sector outside the span keep `fill`), except those in `refusing`, which
// keep `fill` although they were erased and written (protected sectors).
struct TExpectedFlash {
  std::vector<std::uint8_t> Bytes;
  std::set<int> Written;  // the sectors of the span that hold data
};
inline TExpectedFlash ExpectedFlash(const std::vector<VxSimSector>& sectors, const std::vector<std::uint8_t>& payload,
                                    int first, int last, std::uint8_t fill = 0xFF,
                                    const std::set<int>& refusing = {}) {
  TExpectedFlash out;
  if (sectors.empty() || first < 0 || last < first || static_cast<std::size_t>(last) >= sectors.size()) return out;
  out.Bytes.assign(sectors.back().Offset + sectors.back().Size, fill);
  const std::uint32_t base = sectors[static_cast<std::size_t>(first)].Offset;
  for (int n = first; n <= last; ++n) {
    const VxSimSector& s = sectors[static_cast<std::size_t>(n)];
    std::vector<std::uint8_t> bytes(s.Size, 0xFF);
    for (std::uint32_t i = 0; i < s.Size; ++i)
      if (s.Offset - base + i < payload.size()) bytes[i] = payload[s.Offset - base + i];
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; })) continue;
    out.Written.insert(n);
    if (!refusing.count(n)) std::copy(bytes.begin(), bytes.end(), out.Bytes.begin() + s.Offset);
  }
  return out;
}

// Runs the updater's clock on the simulator's for the life of the object.
class TSharedClock {
public:
  explicit TSharedClock(bool virtualClock = true, std::uint32_t start = 0) {
    if (virtualClock)
      VxSim_UseVirtualClock(start);
    else
      VxSim_UseRealClock();
    SetTickSource(&source_);
  }
  ~TSharedClock() { SetTickSource(nullptr); }
  TSharedClock(const TSharedClock&) = delete;
  TSharedClock& operator=(const TSharedClock&) = delete;

private:
  static std::uint32_t Now() { return VxSim_ClockNow(); }
  static void Sleep(std::uint32_t ms) { VxSim_ClockSleep(ms); }
  const TTickSource source_{&Now, &Sleep};
};

}  // namespace vxsim
