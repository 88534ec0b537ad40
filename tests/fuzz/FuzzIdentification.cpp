// Runs the real identification exchange (IdentifyDevice with the loader and
// firmware queries behind it) against a device whose answers are the fuzzer's
// bytes. The driver below the link is a table of our own entry points, the
// same seam the loaded libraries fill; time runs on a clock that advances only
// when the code sleeps or a read waits, so time-outs cost no real time.
//
// Input: one set-up byte, then one record per request the updater writes:
//   control byte, answer length (16 bits, little-endian), answer bytes.
// Set-up: bit 0 the maker's library instead of D2XX, bit 1 the open fails,
// bit 2 an earlier device of the run has failed, bit 3 the driver claims more
// bytes than it hands over.
// Control: bit 0 the write fails, bit 1 it goes out one byte short, bits 2-3
// the answer's delay (0, 1, 2 or 150 ms), bit 4 the answer comes in two
// halves 2 ms apart.
#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "discovery/ReadVersion.h"
#include "link/DeviceLink.h"
#include "link/DriverLibraries.h"
#include "platform/MainThread.h"
#include "platform/Ticks.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// ---- the virtual clock ----
std::uint32_t now = 0;
std::uint32_t Now() { return now; }
void Sleep(std::uint32_t ms) { now += ms; }
const TTickSource virtualClock{Now, Sleep};

// ---- the device behind the fake driver ----
struct TChunk {
  std::uint32_t ready;  // tick from which the bytes are in the receive queue
  std::vector<std::uint8_t> bytes;
};

struct TDevice {
  const std::uint8_t* input = nullptr;
  std::size_t left = 0;
  bool refuseOpen = false;
  bool overReport = false;
  int opens = 0, closes = 0, writes = 0, badHandles = 0;
  std::deque<TChunk> queue;
} device;

// How far the clock moves while an empty receive queue is asked for.
constexpr std::uint32_t kStatusStep = 25;

int handleObject;  // its address is the one open handle
void* const kHandle = &handleObject;

std::size_t Visible() {
  std::size_t n = 0;
  for (const TChunk& c : device.queue)
    if (c.ready <= now) n += c.bytes.size();
  return n;
}

// The earliest tick at which anything is queued; false when nothing will be.
bool NextReady(std::uint32_t& tick) {
  if (device.queue.empty()) return false;
  tick = device.queue.front().ready;
  for (const TChunk& c : device.queue) tick = std::min(tick, c.ready);
  return true;
}

std::size_t Take(std::uint8_t* out, std::size_t maximum) {
  std::size_t done = 0;
  while (done < maximum && !device.queue.empty() && device.queue.front().ready <= now) {
    TChunk& c = device.queue.front();
    const std::size_t n = std::min(maximum - done, c.bytes.size());
    std::memcpy(out + done, c.bytes.data(), n);
    c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    done += n;
    if (c.bytes.empty()) device.queue.pop_front();
  }
  return done;
}

std::uint8_t NextByte() {
  if (device.left == 0) return 0;
  --device.left;
  return *device.input++;
}

// The only requests identification sends, byte for byte as they go on the
// wire: the three queries and the two text commands.
bool KnownRequest(const void* data, std::uint32_t count) {
  static const std::string requests[] = {
      std::string("\x0E\x00\x0E\x00\x04\x00\x0A\x00\x00\x00\x00\x00\x2A\x00", 14),
      std::string("\x0E\x00\x0E\x00\x05\x00\x0A\x00\x00\x00\x00\x00\x2B\x00", 14),
      std::string("\x0E\x00\x0E\x00\x0A\x00\x0A\x00\x00\x00\x00\x00\x30\x00", 14),
      "FL_READ_VERSION$",
      "START_BOOT_LOADER",
  };
  const std::string sent(static_cast<const char*>(data), count);
  for (const std::string& r : requests)
    if (sent == r) return true;
  return false;
}

// One request went out: the next record says how it went and what comes back.
bool Written(const void* data, std::uint32_t count, std::uint32_t& done) {
  Check(KnownRequest(data, count));
  ++device.writes;
  if (device.left == 0) {
    done = count;
    return true;
  }
  const std::uint8_t control = NextByte();
  std::size_t length = NextByte();
  length |= static_cast<std::size_t>(NextByte()) << 8;
  length = std::min(length, device.left);
  std::vector<std::uint8_t> answer(device.input, device.input + length);
  device.input += length;
  device.left -= length;
  if ((control & 1) != 0) {
    done = 0;
    return false;
  }
  done = (control & 2) != 0 && count > 0 ? count - 1 : count;
  if (done < count) return true;  // the device saw no whole request
  static constexpr std::uint32_t kDelays[] = {0, 1, 2, 150};
  const std::uint32_t ready = now + kDelays[(control >> 2) & 3];
  if ((control & 16) != 0 && answer.size() > 1) {
    const auto half = answer.begin() + static_cast<std::ptrdiff_t>(answer.size() / 2);
    device.queue.push_back({ready, std::vector<std::uint8_t>(answer.begin(), half)});
    device.queue.push_back({ready + 2, std::vector<std::uint8_t>(half, answer.end())});
  } else if (!answer.empty()) {
    device.queue.push_back({ready, std::move(answer)});
  }
  return true;
}

bool Known(void* handle) {
  if (handle == kHandle) return true;
  ++device.badHandles;
  return false;
}

// ---- D2XX entry points ----
FT_STATUS VX_WINAPI FtOpenEx(void* serial, FT_DWORD flags, FT_HANDLE* handle) {
  Check(flags == FT_OPEN_BY_SERIAL_NUMBER && serial != nullptr);
  ++device.opens;
  *handle = device.refuseOpen ? nullptr : kHandle;
  return device.refuseOpen ? 3 : FT_OK;
}
FT_STATUS VX_WINAPI FtSetTimeouts(FT_HANDLE handle, std::uint32_t, std::uint32_t) { return Known(handle) ? FT_OK : 1; }
FT_STATUS VX_WINAPI FtResetDevice(FT_HANDLE handle) { return Known(handle) ? FT_OK : 1; }
FT_STATUS VX_WINAPI FtClose(FT_HANDLE handle) {
  if (!Known(handle)) return 1;
  ++device.closes;
  return FT_OK;
}
FT_STATUS VX_WINAPI FtWrite(FT_HANDLE handle, void* buffer, FT_DWORD count, FT_DWORD* written) {
  Check(buffer != nullptr && written != nullptr);
  if (!Known(handle)) return 1;
  std::uint32_t done = 0;
  const bool ok = Written(buffer, count, done);
  *written = done;
  return ok ? FT_OK : 4;
}
FT_STATUS VX_WINAPI FtGetStatus(FT_HANDLE handle, FT_DWORD* rx, FT_DWORD* tx, FT_DWORD* events) {
  if (!Known(handle)) return 1;
  std::size_t visible = Visible();
  if (visible == 0) {
    // Asking takes time on this clock: up to the next arrival, at most
    // kStatusStep, so that a wait for a silent device costs few polls.
    std::uint32_t ready = 0;
    now += NextReady(ready) && ready - now < kStatusStep ? ready - now : kStatusStep;
    visible = Visible();
  }
  *rx = static_cast<FT_DWORD>(visible + (device.overReport && visible > 0 ? 3 : 0));
  *tx = 0;
  *events = 0;
  return FT_OK;
}
FT_STATUS VX_WINAPI FtRead(FT_HANDLE handle, void* buffer, FT_DWORD count, FT_DWORD* got) {
  if (!Known(handle)) return 1;
  const std::size_t n = Take(static_cast<std::uint8_t*>(buffer), count);
  *got = static_cast<FT_DWORD>(n + (device.overReport ? 5 : 0));
  return FT_OK;
}

// ---- the maker's library ----
std::int32_t VX_WINAPI VxOpen(std::uint16_t, const char* serial, VX_HANDLE* handle) {
  Check(serial != nullptr);
  ++device.opens;
  *handle = device.refuseOpen ? nullptr : kHandle;
  return device.refuseOpen ? 1 : 0;
}
std::int32_t VX_WINAPI VxClose(VX_HANDLE* handle) {
  if (!Known(*handle)) return 1;
  ++device.closes;
  *handle = nullptr;
  return 0;
}
std::int32_t VX_WINAPI VxSetTimeouts(VX_HANDLE handle, std::uint32_t, std::uint32_t) { return Known(handle) ? 0 : 1; }
std::int32_t VX_WINAPI VxWrite(VX_HANDLE handle, const void* data, std::uint32_t count, std::uint32_t* written) {
  Check(data != nullptr && written != nullptr);
  if (!Known(handle)) return 1;
  std::uint32_t done = 0;
  const bool ok = Written(data, count, done);
  *written = done;
  return ok ? 0 : 1;
}
// Waits up to the read time-out set at open for the first bytes.
std::int32_t VX_WINAPI VxRead(VX_HANDLE handle, void* buffer, std::uint32_t maximum, std::uint32_t* count) {
  if (!Known(handle)) return 1;
  std::uint32_t ready = 0;
  if (Visible() == 0) {
    if (NextReady(ready) && ready - now <= kVxUsbReadTimeout)
      now = ready;
    else
      now += kVxUsbReadTimeout;
  }
  const std::size_t n = Take(static_cast<std::uint8_t*>(buffer), maximum);
  *count = static_cast<std::uint32_t>(n == 0 ? 0 : n + (device.overReport ? 100 : 0));
  return 0;
}

class TNullLog : public TOperationLog {
public:
  void DeviceLog(TMessageKind kind, int, const char* text) override {
    Check(kind == mkInfo || kind == mkError);
    Check(text != nullptr);
  }
};

class TOwner : public TDiscoveryOwner {
public:
  TDeviceList known;
  TNullLog log;
  TDeviceList& KnownDevices() override { return known; }
  TOperationLog& DiscoveryLog() override { return log; }
  void ReadVersionTerminate(TThread*) override {}
};

void Install() {
  SetMainThread();
  SetTickSource(&virtualClock);
  FtdiApi = TFtdiApi{};
  FtdiApi.OpenEx = FtOpenEx;
  FtdiApi.SetTimeouts = FtSetTimeouts;
  FtdiApi.ResetDevice = FtResetDevice;
  FtdiApi.Close = FtClose;
  FtdiApi.Write = FtWrite;
  FtdiApi.GetStatus = FtGetStatus;
  FtdiApi.Read = FtRead;
  VxUsbApi = TVxUsbApi{};
  VxUsbApi.OpenDevice = VxOpen;
  VxUsbApi.CloseDevice = VxClose;
  VxUsbApi.SetTimeouts = VxSetTimeouts;
  VxUsbApi.Write = VxWrite;
  VxUsbApi.ReadNotTimeOut = VxRead;
  // Any entry point not filled in is null: a call to it ends the run loudly.
  hFtdiLib.store(&FtdiApi, std::memory_order_release);
  hVxUsbLib.store(&VxUsbApi, std::memory_order_release);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = (Install(), true);
  (void)installed;
  if (size == 0) return 0;
  const std::uint8_t setup = data[0];
  device = TDevice{};
  device.input = data + 1;
  device.left = size - 1;
  device.refuseOpen = (setup & 2) != 0;
  device.overReport = (setup & 8) != 0;
  now = 0x7FFFFF00u + setup;  // the clock wraps during some runs

  const bool maker = (setup & 1) != 0;
  TOwner owner;
  TReadVersion run(owner);
  run.FStartTick = now;
  if ((setup & 4) != 0) run.FResult = rvNoVersion;
  TDevEntry entry("12345", maker ? 0x0101 : kFtdiDeviceCode, maker ? lbVxUsb : lbFtdi);
  const std::uint32_t start = now;
  const bool identified = run.IdentifyDevice(entry);

  /* the link is closed on every path that opened it, and only then */
  Check(device.badHandles == 0);
  Check(entry.FtHandle == nullptr && entry.VxHandle == nullptr);
  Check(device.opens == 1);
  if (device.refuseOpen) {
    Check(!identified && run.FResult == rvOpenFailed && device.writes == 0 && device.closes == 0);
    return 0;
  }
  Check(device.closes == 1);
  Check(identified == (run.FResult == rvSuccess));
  /* at most the three queries, or the first query, four text queries and the
     restart command */
  Check(device.writes <= 6);
  /* every wait ends: the worst case is the firmware mode's 9.1 s, plus the
     driver's steps past each of its six time-outs */
  Check(now - start <= 9100 + 6 * (kStatusStep + 2));
  /* what a mode leaves alone */
  if (!entry.InBootLoader) {
    Check(entry.ProcessorId == 0 && entry.LoaderVersion.Version == 0 && entry.LoaderVersion.Name.empty());
  } else {
    Check(!entry.RestartRequested);
  }
  (void)entry.FirmwareVersion.VersionText();
  (void)entry.LoaderVersion.VersionText();
  return 0;
}
