// Sixteen devices flashed at once against one alone, in the main window: the
// real window on Windows, the headless one elsewhere, with file logging on,
// simulated boot-loader devices that answer at once on the real clock, and the
// embedded default image. Each round flashes one device alone, then all
// sixteen together (the panels' buttons pressed in one go), and takes the wall
// time from the first erase to the last flash's end handler (which runs just
// after its finishing request and the close). Prints both times, their ratio,
// and the longest time the window thread spent away from its message loop
// during the batches.
//   vx_batch_bench [rounds] [devices]
// Every flash must end in success with the device's finishing request, no
// refused request, the payload in the device's flash and the bar at 100;
// otherwise the benchmark stops with an error.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "EmbeddedImage.h"
#include "Figures.h"
#include "WindowLoop.h"
#include "flashing/SectorMaps.h"
#include "link/DriverLibraries.h"
#include "link/Packets.h"
#include "sim/SimControl.h"
#include "ui/DevicePanel.h"
#include "ui/MainForm.h"

namespace {

using bench::MsBetween;
using bench::TClock;

constexpr std::uint32_t kProcessor = 0x26013F37;
constexpr double kFlashLimitMs = 300000;

// The window with a stopwatch on the lines and the ends of the flashes.
class TBenchForm : public TMainForm {
public:
  TClock::time_point firstErase{}, lastEnd{};
  bool sawErase = false;
  int ended = 0;
  std::vector<std::int32_t> results;

  void Reset() {
    sawErase = false;
    ended = 0;
    results.clear();
  }
  void DeviceLog(TMessageKind kind, int serial, const char* text) override {
    if (!sawErase && text != nullptr && std::strstr(text, "Стираем сектор") != nullptr) {
      firstErase = TClock::now();
      sawErase = true;
    }
    TMainForm::DeviceLog(kind, serial, text);
  }
  void FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) override {
    results.push_back(outcome.Result);
    TMainForm::FlashEnded(entry, outcome);
    lastEnd = TClock::now();
    ++ended;
  }
};

struct TPayload {
  std::vector<std::uint8_t> bytes;
  std::uint32_t offset = 0;  // where it lies in the device's flash
};

bool LoadPayload(TPayload& out) {
  TFirmwareBlockList blocks;
  TFirmwareVersion version;
  const TProcessorInfo* processor = FindProcessor(kProcessor);
  const std::vector<VxSimSector> map = vxsim::SectorMap(kProcessor, "VXBL-1.05");
  if (!bench::LoadEmbeddedImage(blocks, version) || processor == nullptr || static_cast<std::size_t>(processor->FirstSector) >= map.size())
    return false;
  out.bytes.assign(blocks[0]->Data.get(), blocks[0]->Data.get() + blocks[0]->Size);
  out.offset = map[static_cast<std::size_t>(processor->FirstSector)].Offset;
  return true;
}

// What went wrong with the flashes of these devices, or an empty text.
std::string CheckFlashes(TBenchForm& f, const std::vector<int>& devices, const std::vector<std::int32_t>& serials,
                         const std::vector<std::uint32_t>& before, const TPayload& payload) {
  char buf[256];
  // Every block of the payload, its sectors' erases and the finish, this time.
  const std::uint32_t requests = static_cast<std::uint32_t>(payload.bytes.size() / kBlockDataSize) + 1;
  for (const std::int32_t r : f.results)
    if (r != wrSuccess) return std::snprintf(buf, sizeof buf, "a flash ended with result %d", r), buf;
  for (const int d : devices) {
    const VxSimDeviceState s = vxsim::State(d);
    if (s.Requests - before[static_cast<std::size_t>(d)] < requests)
      return std::snprintf(buf, sizeof buf, "device %d: only %u requests carried out", d,
                           s.Requests - before[static_cast<std::size_t>(d)]),
             buf;
    if (s.FinishCode != cmWriteDone || s.RefusedRequests != 0)
      return std::snprintf(buf, sizeof buf, "device %d: finish code %u, %u refused requests", d, s.FinishCode,
                           s.RefusedRequests),
             buf;
    if (vxsim::Flash(d, payload.offset, static_cast<std::uint32_t>(payload.bytes.size())) != payload.bytes)
      return std::snprintf(buf, sizeof buf, "device %d: the image is not in its flash", d), buf;
  }
  for (const int d : devices) {
    const TDevEntry* e = FindDevice(f.FDevices, serials[static_cast<std::size_t>(d)]);
    if (e == nullptr || e->Panel == nullptr || e->Panel->ProgressBar->Position() != 100)
      return std::snprintf(buf, sizeof buf, "device %d: the bar is not at 100", d), buf;
  }
  return {};
}

std::uint32_t Dropped(const std::vector<int>& devices) {
  std::uint32_t n = 0;
  for (const int d : devices) n += vxsim::State(d).BadRequests;
  return n;
}

// Flashes the listed devices (their panels' buttons pressed in one go) and
// returns the time from the first erase to the last end; negative on failure.
// Also gives the window thread's time for starting the flashes, which it
// spends in one go, and the longest gap between two turns of its loop
// afterwards, while they run.
double FlashTogether(TBenchForm& f, bench::TWindowLoop& loop, const std::vector<int>& devices,
                     const std::vector<std::int32_t>& serials, const TPayload& payload, double* startMs = nullptr,
                     double* runningGap = nullptr) {
  f.Reset();
  std::vector<std::uint32_t> before(serials.size());
  for (const int d : devices) before[static_cast<std::size_t>(d)] = vxsim::State(d).Requests;
  const auto clicks = TClock::now();
  for (const int d : devices) {
    TDevEntry* e = FindDevice(f.FDevices, serials[static_cast<std::size_t>(d)]);
    if (e == nullptr || e->Panel == nullptr) return -1;
    e->Panel->btnWrite->Click();
  }
  if (startMs != nullptr) *startMs = MsBetween(clicks, TClock::now());
  loop.ResetGap();
  const int count = static_cast<int>(devices.size());
  const bool ended = loop.Until([&] { return f.ended == count; }, kFlashLimitMs);
  if (runningGap != nullptr) *runningGap = loop.LongestGap();
  if (!ended) {
    std::printf("*** the flashes did not end within %.0f s\n", kFlashLimitMs / 1000);
    std::exit(3);  // NOLINT(concurrency-mt-unsafe): the threads still use the window; nothing else calls exit
  }
  const std::string problem = CheckFlashes(f, devices, serials, before, payload);
  if (!problem.empty() || !f.sawErase) {
    std::printf("*** BROKEN FLASH, figures not valid: %s\n", problem.empty() ? "no erase was logged" : problem.c_str());
    return -1;
  }
  return MsBetween(f.firstErase, f.lastEnd);
}

}  // namespace

int main(int argc, char** argv) try {
  int rounds = 0, batch = 0;
  if (!bench::CountArgument(argc, argv, 1, 3, 1, rounds) || !bench::CountArgument(argc, argv, 2, 16, 2, batch)) return 2;
  batch = std::min(batch, 64);
  const std::filesystem::path dir = bench::PrepareWindowBench("vx-batch-bench");
  std::vector<std::int32_t> serials;
  std::string scenario = "clock = real\n";
  for (int i = 0; i < batch; ++i) {
    vxsim::TSimDevice d;
    d.Serial = std::to_string(1001 + i);
    d.ProcessorId = kProcessor;
    scenario += d.Scenario();
    serials.push_back(1001 + i);
  }
  vxsim::LoadScenario(scenario);
  // The record of every driver call grows by a few hundred thousand entries
  // a batch, under the lock every device call takes: its reallocations
  // would hold all devices for tens of milliseconds, long enough for them to
  // drop requests cut short. The flashes are checked in the devices' flash.
  VxSim_EnableTranscript(0);
  TPayload payload;
  if (!LoadPayload(payload)) {
    std::printf("the embedded default image did not load as one block for processor %08X\n", kProcessor);
    return 2;
  }

  auto form = std::make_unique<TBenchForm>();
  MainForm = form.get();
  Application.MainForm = form.get();
  TBenchForm& f = *form;
  f.Show();
  if (hFtdiLib.load() == nullptr || hVxUsbLib.load() == nullptr) {
    std::fprintf(stderr, "the simulated driver libraries were not found next to the benchmark\n");
    return 2;
  }
  f.cbWritelogToFile.SetChecked(true);
  bench::TWindowLoop loop(f);
  if (!loop.Until([&] { return f.FDevices.size() == static_cast<std::size_t>(batch) && ReadVersionThread == nullptr; },
                  10000)) {
    std::printf("the window did not list the %d devices\n", batch);
    return 2;
  }

  std::vector<int> all;
  all.reserve(static_cast<std::size_t>(batch));
  for (int i = 0; i < batch; ++i) all.push_back(i);
  std::vector<double> alone, together, gaps, runningGaps, starts;
  std::uint32_t dropped = 0;
  std::printf("%d rounds: one device alone, then %d at once; %zu payload bytes each, D2XX, file log on\n", rounds, batch,
              payload.bytes.size());
  for (int r = 0; r < rounds; ++r) {
    const double one = FlashTogether(f, loop, {r % batch}, serials, payload);
    if (one < 0) return 1;
    const std::uint32_t droppedBefore = Dropped(all);
    double start = 0, runningGap = 0;
    const double many = FlashTogether(f, loop, all, serials, payload, &start, &runningGap);
    if (many < 0) return 1;
    // The start is one gap of the loop's too: nothing else ran meanwhile.
    const double gap = std::max(start, runningGap);
    gaps.push_back(gap);
    runningGaps.push_back(runningGap);
    starts.push_back(start);
    const std::uint32_t droppedNow = Dropped(all) - droppedBefore;
    dropped += droppedNow;
    alone.push_back(one);
    together.push_back(many);
    std::printf("  round %d: alone %8.1f ms, %d at once %8.1f ms, ratio %.3f, longest loop gap %.1f ms (%.1f ms while "
                "they ran, %.1f ms to start them)%s\n",
                r + 1, one, batch, many, many / one, gap, runningGap, start,
                // cppcheck-suppress knownConditionTrueFalse ; it cannot see the simulator's counters change
                droppedNow != 0 ? " (requests dropped)" : "");
  }
  const double a = bench::Median(alone), t = bench::Median(together);
  std::vector<double> ratios;
  for (std::size_t i = 0; i < alone.size(); ++i) ratios.push_back(together[i] / alone[i]);
  // Each round's pair ran side by side; the median of their ratios is what
  // a machine whose speed drifts between rounds leaves least disturbed.
  std::printf("median: alone %.1f ms, %d at once %.1f ms, ratio %.3f; median of the rounds' ratios %.3f, best %.3f\n", a,
              batch, t, t / a, bench::Median(ratios), *std::min_element(ratios.begin(), ratios.end()));
  std::printf("longest gap between two message-loop turns during a batch: %.1f ms (max over the rounds); while the "
              "flashes ran %.1f ms; starting them, in one go, took the window thread %.1f ms at most\n",
              *std::max_element(gaps.begin(), gaps.end()), *std::max_element(runningGaps.begin(), runningGaps.end()),
              *std::max_element(starts.begin(), starts.end()));
  std::printf("log: %zu lines in reLog\n", f.reLog.LineCount());
  if (dropped != 0)
    std::printf("NOTE: in the batches the devices dropped %u requests as cut or damaged (each costs a 1000 ms answer\n"
                "      time-out and a second attempt); those rounds are in the figures above\n",
                dropped);

  form.reset();
  MainForm = nullptr;
  Application.MainForm = nullptr;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
} catch (const std::exception& e) {
  // The temporary directory could not be made, or memory ran out.
  std::fprintf(stderr, "batch benchmark: %s\n", e.what());
  return 1;
}
