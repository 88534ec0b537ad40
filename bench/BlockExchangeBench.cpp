// Host-side time of one 526-byte block exchange (request in nine pieces, the
// 14-byte answer read back) against a simulated device that answers at once,
// next to the floor the protocol sets: one 1 ms pause between each two pieces
// and, over D2XX, one after the first answer bytes are seen.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Figures.h"
#include "link/DeviceLink.h"
#include "link/DriverLibraries.h"
#include "link/Packets.h"
#include "platform/Ticks.h"
#include "sim/SimApi.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Returns false when an exchange fails.
bool Run(const char* name, TLinkBackend backend, const char* serial, std::uint16_t code, int pauses, int count) {
  TDevEntry entry(serial, code, backend);
  if (!LinkOpen(entry)) {
    std::printf("%s: the simulated device did not open\n", name);
    return false;
  }
  std::vector<double> times;
  std::uint8_t data[kBlockDataSize];
  for (std::size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<std::uint8_t>(i);
  std::uint8_t request[kBlockPacketSize];
  const int warmUp = 20;
  for (int i = 0; i < warmUp + count; ++i) {
    const std::uint32_t offset = 0x10000u + static_cast<std::uint32_t>(i % 64) * kBlockDataSize;
    BuildBlockRequest(request, cmWriteBlockEx, 16, offset, data);
    std::uint8_t answer[kSectorAnswerSize] = {};
    const Clock::time_point start = Clock::now();
    const bool sent = LinkSend(entry, request, kBlockPacketSize);
    const int n = sent ? LinkRead(entry, answer, kSectorAnswerTimeout, kSectorAnswerSize) : 0;
    const Clock::time_point end = Clock::now();
    std::uint16_t status = 0;
    if (JudgeSectorAnswer(answer, n, 16, offset, true, &status) != saAccepted) {
      std::printf("%s: exchange %d failed (read %d bytes)\n", name, i, n);
      LinkClose(entry);
      return false;
    }
    if (i >= warmUp) times.push_back(Milliseconds(end - start));
  }
  LinkClose(entry);
  std::sort(times.begin(), times.end());
  double sum = 0;
  for (double t : times) sum += t;
  const double mean = sum / static_cast<double>(times.size());
  const double floor = pauses * 1.0;
  std::printf("%-6s %4d exchanges: mean %.3f ms, median %.3f, min %.3f, max %.3f; floor %d x 1 ms = %.0f ms; "
              "ratio %.3f (median %.3f)\n",
              name, count, mean, times[times.size() / 2], times.front(), times.back(), pauses, floor, mean / floor,
              times[times.size() / 2] / floor);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  if (!bench::CountArgument(argc, argv, 1, 300, 10, count)) return 2;
  hFtdiLib = LoadFtdiLibrary();
  hVxUsbLib = LoadVxUsbLibrary();
  if (hFtdiLib == nullptr || hVxUsbLib == nullptr) {
    std::printf("the simulated driver libraries were not found next to the program\n");
    return 2;
  }
  VxSim_Reset();
  VxSim_EnableTranscript(0);
  char error[256] = "";
  if (VxSim_LoadScenario("[device]\nlibrary = ftdi\nserial = 1001\nlatency = 0\n"
                         "[device]\nlibrary = vxusb\nserial = 1002\ncode = 0x0101\nlatency = 0\n",
                         error, sizeof error) != 0) {
    std::printf("scenario: %s\n", error);
    return 2;
  }
  // What one SleepMs(1) costs here, the unit of the floor (after the first
  // call, which on Windows also picks the kind of wait).
  SleepMs(1);
  const Clock::time_point s = Clock::now();
  for (int i = 0; i < 100; ++i) SleepMs(1);
  std::printf("SleepMs(1): %.3f ms on average\n", Milliseconds(Clock::now() - s) / 100);
  const bool ok = Run("D2XX", lbFtdi, "1001", kFtdiDeviceCode, 9, count) &&
                  Run("VXUSB", lbVxUsb, "1002", 0x0101, 8, count);
  return ok ? 0 : 1;
}
