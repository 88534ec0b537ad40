// How long a technician waits for a device's panel: the time from the
// device-change notification of a boot-loader device that is plugged in to
// the end of the discovery run's end handler, which has made its panel. The
// window's device timer adds 100 ms on purpose (a burst of notifications gives
// one run); the rest is the updater's own work: listing, identification, the
// hand-over to the window thread and the panel.
//   vx_discovery_bench [rounds]
// On Windows the real main window runs and the simulated libraries post
// WM_DEVICECHANGE as Windows does; elsewhere the window runs in the headless
// backend with its timers driven by the real clock. The simulated devices
// answer at once (no latency) on the real clock.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Figures.h"
#include "WindowLoop.h"
#include "discovery/ReadVersion.h"
#include "link/DriverLibraries.h"
#include "platform/Files.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "sim/SimControl.h"
#include "ui/DevicePanel.h"
#include "ui/MainForm.h"

namespace {

using bench::TClock;
using bench::MsBetween;

using TLoop = bench::TWindowLoop;

struct TFigures {
  std::vector<double> total, afterTimer, driverCalls;
};

// From the run's first driver call to the end of its last, by the simulator's
// record of them.
double DriverCallSpanMs() {
  const std::vector<vxsim::TSimCall> calls = vxsim::Transcript();
  if (calls.empty()) return 0;
  const vxsim::TSimCall& last = calls.back();
  return static_cast<double>(last.Info.Micros - calls.front().Info.Micros) / 1000.0;
}

void Print(const char* what, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return;
  const auto at = [&](double q) { return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))]; };
  std::printf("  %-44s min %7.1f  median %7.1f  p90 %7.1f  max %7.1f ms\n", what, values.front(), at(0.5), at(0.9),
              values.back());
}

}  // namespace

int main(int argc, char** argv) try {
  int rounds = 0;
  if (!bench::CountArgument(argc, argv, 1, 20, 1, rounds)) return 2;
  const std::filesystem::path dir = bench::PrepareWindowBench("vx-discovery-bench");

  auto form = std::make_unique<TMainForm>();
  MainForm = form.get();
  Application.MainForm = form.get();
  TMainForm& f = *form;
  TClock::time_point timerFired{};
  auto tick = f.DevTimer.OnTimer;
  f.DevTimer.OnTimer = [&, tick](void* sender) {
    timerFired = TClock::now();
    tick(sender);
  };
  f.Show();
  TLoop loop(f);
  if (hFtdiLib.load() == nullptr || hVxUsbLib.load() == nullptr) {
    std::fprintf(stderr, "the simulated driver libraries were not found next to the benchmark\n");
    return 1;
  }
  loop.Until([&] { return !f.DevTimer.Enabled() && ReadVersionThread == nullptr; }, 5000);

  struct TCase {
    const char* name;
    int library;
    const char* serial;
  };
  const TCase cases[] = {{"D2XX boot-loader device", VXSIM_FTDI, "1234567"},
                         {"maker's library boot-loader device", VXSIM_VXUSB, "7654321"}};
  int failures = 0;
  std::printf("notification to panel, %d rounds each (the device timer's delay is 100 ms)\n", rounds);
  for (const TCase& c : cases) {
    vxsim::TSimDevice d;
    d.Library = c.library;
    d.Serial = c.serial;
    d.Extra = "plugged = no\n";
    const int device = vxsim::AddDevice(d);
    const std::int32_t serial = std::atoi(c.serial);  // NOLINT(cert-err34-c): the table's serials are digits
    TFigures figures;
    for (int i = 0; i < rounds; ++i) {
      timerFired = {};
      VxSim_ClearTranscript();
      const auto plugged = TClock::now();
      if (VxSim_Plug(device) != 0) return 1;
      const bool shown = loop.Until(
          [&] {
            const TDevEntry* e = FindDevice(f.FDevices, serial);
            return e != nullptr && e->Panel != nullptr;
          },
          5000);
      const auto panel = TClock::now();
      if (!shown) {
        ++failures;
        std::printf("  round %d: no panel within 5 s\n", i);
      } else {
        figures.total.push_back(MsBetween(plugged, panel));
        if (timerFired != TClock::time_point{}) figures.afterTimer.push_back(MsBetween(timerFired, panel));
        figures.driverCalls.push_back(DriverCallSpanMs());
      }
      VxSim_Unplug(device);
      loop.Until([&] { return FindDevice(f.FDevices, serial) == nullptr; }, 5000);
      loop.Until([&] { return false; }, 30);
    }
    std::printf("%s\n", c.name);
    Print("notification to panel", figures.total);
    Print("device timer to panel (the updater's work)", figures.afterTimer);
    Print("  of which listing and identification", figures.driverCalls);
  }

  form.reset();
  MainForm = nullptr;
  Application.MainForm = nullptr;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return failures == 0 ? 0 : 1;
} catch (const std::exception& e) {
  // The temporary directory could not be made, or memory ran out.
  std::fprintf(stderr, "discovery benchmark: %s\n", e.what());
  return 1;
}
