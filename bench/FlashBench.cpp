// The time of one whole flash of the embedded default image: a real
// TWriteThread, as the window starts it, reloads the image, erases and writes
// every sector that holds data and finishes, against a simulated boot-loader
// device that answers at once on the real clock, over D2XX and over the
// maker's library. The window thread is the benchmark's main thread, which
// serves the flash's hand-overs (log lines, progress, the reload, the end
// handler) with CheckSynchronize.
//   vx_flash_bench [flashes per library]
// Every flash is checked against the device's own flash; a flash that did not
// leave the image there ends the benchmark with an error.
//
// Per block, the protocol sets a floor of 1 ms pauses: a 526-byte request goes
// out in nine pieces with a pause between each two (eight), and over D2XX the
// read waits about 1 ms more once the first answer bytes are seen (nine in
// all). The maker's library reads the answer in one call without a pause, so
// its floor is the eight pauses of the send.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include "EmbeddedImage.h"
#include "Figures.h"
#include "firmware/FirmwareSource.h"
#include "flashing/SectorMaps.h"
#include "flashing/WriteThread.h"
#include "link/DeviceLink.h"
#include "link/DriverLibraries.h"
#include "link/Packets.h"
#include "platform/CodePage.h"
#include "platform/MainThread.h"
#include "platform/Ticks.h"
#include "sim/SimControl.h"

namespace {

using bench::Median;
using bench::MsBetween;
using bench::TClock;

// CPU time of the whole process (every thread, user and kernel), in ms.
double ProcessCpuMs() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  const auto ms = [](const FILETIME& t) {
    return static_cast<double>(static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000.0;
  };
  return ms(kernel) + ms(user);
#else
  timespec t{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
#endif
}

constexpr std::uint32_t kProcessor = 0x26013F37;
constexpr char kLoaderVersion[] = "VXBL-1.05";
constexpr char kFirmwareVersion[] = "VXCR-1.8";
// Flash that is not erased reads 0x00, so a sector written without its erase
// shows as a wrong flash.
constexpr std::uint8_t kFlashFill = 0x00;
constexpr std::uint32_t kFlashLimitMs = 300000;
// The pieces a block request leaves the link in, and the pauses between them.
constexpr int kBlockPieces = static_cast<int>((kBlockPacketSize + kLinkPieceSize - 1) / kLinkPieceSize);
constexpr int kSendPauses = kBlockPieces - 1;

// The front end of the flash: lines kept in memory, progress recorded, the
// image reloaded from the embedded resource, and the time the window thread
// spends in the hand-overs.
class TBenchOwner : public TWriteThreadOwner {
public:
  struct TLine {
    TMessageKind kind;
    std::string text;  // Windows-1251
  };
  std::vector<TLine> lines;
  std::vector<int> progress;
  int loads = 0;
  std::size_t loadLines = 0;  // lines the reload logged itself, not handed over
  double loadMs = 0;          // time of the reload itself, on the window thread
  bool ended = false;
  std::int32_t result = -1, lastAnswer = -1, elapsed = -1;

  // When the first hand-over served in the current turn of the window
  // thread's loop began; cleared by the loop before each turn.
  bool turnStarted = false;
  TClock::time_point turnStart{};

  TOperationLog& FlashLog() override {
    Served();
    return log_;
  }
  bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) override {
    Served();
    ++loads;
    const std::size_t before = lines.size();
    const TClock::time_point start = TClock::now();
    const bool loaded = sources_.LoadFirmwareFromResource(blocks, version, log_);
    loadMs += MsBetween(start, TClock::now());
    loadLines += lines.size() - before;
    return loaded;
  }
  void SetFlashProgress(TDevEntry&, const TFlashProgress& step) override {
    Served();
    progress.push_back(step.Percent);
  }
  void WriteThreadTerminate(TThread* sender) override {
    Served();
    auto* thread = static_cast<TWriteThread*>(sender);
    thread->FDevice->WriteThread.store(nullptr);
    result = thread->FResult;
    lastAnswer = thread->FLastAnswer;
    elapsed = thread->FElapsed;
    ended = true;
  }

private:
  void Served() {
    if (!turnStarted) {
      turnStart = TClock::now();
      turnStarted = true;
    }
  }
  class TMemoryLog : public TOperationLog {
  public:
    explicit TMemoryLog(TBenchOwner& owner) : FOwner(owner) {}
    void DeviceLog(TMessageKind kind, int, const char* text) override { FOwner.lines.push_back({kind, text}); }

  private:
    TBenchOwner& FOwner;
  } log_{*this};
  TFirmwareSources sources_;
};

// The window thread's loop while workers run: serves their hand-overs and
// adds the time from the first call of each turn to the turn's end to `busy`.
// False when the limit passed first.
template <class TDone>
bool Serve(TBenchOwner* owner, double& busy, TDone done) {
  const std::uint32_t start = SystemTickCount();
  while (!done()) {
    if (SystemTickCount() - start > kFlashLimitMs) return false;
    const TClock::time_point turn = TClock::now();
    if (owner != nullptr) owner->turnStarted = false;
    const bool ran = CheckSynchronize(10);
    const TClock::time_point end = TClock::now();
    if (ran) busy += MsBetween(owner != nullptr && owner->turnStarted ? owner->turnStart : turn, end);
  }
  return true;
}

// A worker that hands over empty calls: what one Synchronize costs the
// worker, the wake-ups both ways included.
class TPingThread : public TThread {
public:
  explicit TPingThread(int count) : FCount(count) {}
  std::vector<double> times;

protected:
  void Execute() override {
    for (int i = 0; i < FCount; ++i) {
      const TClock::time_point start = TClock::now();
      Synchronize([] {});
      times.push_back(MsBetween(start, TClock::now()));
    }
  }

private:
  int FCount;
};

struct TImage {
  std::vector<std::uint8_t> flash;  // what the device's whole flash must hold after a flash
  std::uint32_t payloadBytes = 0;
  int blocks = 0;                    // 512-byte blocks the flash writes
  int sectors = 0;                   // sectors it erases and writes
};

// The expected flash, from the embedded image and the device's own sector
// map; the range starts at the first sector the processor table names and the
// image's one block lies at its start.
bool ExpectedImage(TImage& out) {
  TFirmwareBlockList blocks;
  TFirmwareVersion version;
  if (!bench::LoadEmbeddedImage(blocks, version)) {
    std::printf("the embedded default image did not load as one block for the first sector\n");
    return false;
  }
  const TProcessorInfo* processor = FindProcessor(kProcessor);
  const std::vector<VxSimSector> map = vxsim::SectorMap(kProcessor, kLoaderVersion);
  if (processor == nullptr || map.empty() || static_cast<std::size_t>(processor->FirstSector) >= map.size()) {
    std::printf("no sector map for processor %08X\n", kProcessor);
    return false;
  }
  const std::vector<std::uint8_t> payload(blocks[0]->Data.get(), blocks[0]->Data.get() + blocks[0]->Size);
  const vxsim::TExpectedFlash expected =
      vxsim::ExpectedFlash(map, payload, processor->FirstSector, static_cast<int>(map.size()) - 1, kFlashFill);
  const std::uint64_t end = std::uint64_t{map[static_cast<std::size_t>(processor->FirstSector)].Offset} + payload.size();
  if (end > expected.Bytes.size()) {
    std::printf("the embedded image does not fit the device's flash\n");
    return false;
  }
  out.flash = expected.Bytes;
  out.payloadBytes = static_cast<std::uint32_t>(payload.size());
  out.sectors = static_cast<int>(expected.Written.size());
  for (const int n : expected.Written) out.blocks += static_cast<int>(map[static_cast<std::size_t>(n)].Size / kBlockDataSize);
  return true;
}

struct TFlashFigures {
  std::vector<double> wall, cpu, busy, load, threadElapsed;
  int handOvers = 0;
  int retried = 0;  // flashes in which the device dropped requests
  int dropped = 0;  // requests it dropped in all
};

// Lines of the flash in UTF-8, for a failed check.
void PrintLines(const TBenchOwner& owner) {
  const std::size_t from = owner.lines.size() > 12 ? owner.lines.size() - 12 : 0;
  for (std::size_t i = from; i < owner.lines.size(); ++i)
    std::printf("    %s%s\n", owner.lines[i].kind == mkError ? "error: " : "", Cp1251ToUtf8(owner.lines[i].text).c_str());
}

// One flash of a fresh device; false (with the reason printed) when it did not
// run or did not leave the image in the device's flash.
bool FlashOnce(const char* name, TLinkBackend backend, const TImage& image, TFlashFigures& figures) {
  VxSim_Reset();
  VxSim_EnableTranscript(0);
  char scenario[512];
  std::snprintf(scenario, sizeof scenario,
                "clock = real\n[device]\nlibrary = %s\nserial = %s\ncode = 0x0101\nmode = loader\n"
                "processor = 0x%08X\nloader_version = \"%s\"\nfirmware_version = \"%s\"\nlatency = 0\n"
                "flash_fill = 0x%02X\n",
                backend == lbFtdi ? "ftdi" : "vxusb", backend == lbFtdi ? "1001" : "1002", kProcessor,
                kLoaderVersion, kFirmwareVersion, kFlashFill);
  char error[256] = "";
  if (VxSim_LoadScenario(scenario, error, sizeof error) != 0) {
    std::printf("%s: scenario: %s\n", name, error);
    return false;
  }
  TDevEntry entry(backend == lbFtdi ? "1001" : "1002", backend == lbFtdi ? kFtdiDeviceCode : 0x0101, backend);
  entry.InBootLoader = true;
  entry.ProcessorId = kProcessor;
  (void)entry.FirmwareVersion.Parse(kFirmwareVersion);
  (void)entry.LoaderVersion.Parse(kLoaderVersion);

  TBenchOwner owner;
  double busy = 0;
  const double cpuStart = ProcessCpuMs();
  const TClock::time_point start = TClock::now();
  if (TWriteThread::Launch(owner, entry, [&owner](TThread* sender) { owner.WriteThreadTerminate(sender); }) ==
      nullptr) {
    std::printf("*** %s: the flash could not be started\n", name);
    return false;
  }
  const bool ended = Serve(&owner, busy, [&] { return owner.ended && TThread::RunningCount() == 0; });
  const TClock::time_point end = TClock::now();
  const double cpu = ProcessCpuMs() - cpuStart;
  if (!ended) {
    std::printf("*** %s: the flash did not end within %u s\n", name, kFlashLimitMs / 1000);
    // The thread still uses the entry and the owner: the process ends with it.
    std::exit(3);  // NOLINT(concurrency-mt-unsafe): no other thread calls exit
  }

  // The device's own account of what happened to it.
  VxSimDeviceState state{};
  const bool haveState = VxSim_GetDeviceState(0, &state) == 0;
  std::vector<std::uint8_t> flash(image.flash.size());
  const std::uint32_t read = VxSim_ReadFlash(0, 0, flash.data(), static_cast<std::uint32_t>(flash.size()));
  int parts = 0;
  for (const auto& l : owner.lines)
    if (l.text.find('\t') != std::string::npos) ++parts;
  const std::size_t mismatch = static_cast<std::size_t>(
      std::mismatch(flash.begin(), flash.end(), image.flash.begin()).first - flash.begin());

  std::string problem;
  char buf[256];
  if (owner.result != wrSuccess || owner.lastAnswer != asDone) {
    std::snprintf(buf, sizeof buf, "result %d, last answer %d", owner.result, owner.lastAnswer);
    problem = buf;
  } else if (!haveState || state.RefusedRequests != 0 || state.FinishCode != cmWriteDone || state.Open != 0) {
    std::snprintf(buf, sizeof buf, "device: %u refused requests, finish code %u, open %d", state.RefusedRequests,
                  state.FinishCode, state.Open);
    problem = buf;
  } else if (read != image.flash.size() || state.FlashSize != image.flash.size()) {
    std::snprintf(buf, sizeof buf, "device flash of %u bytes, %u read, %zu expected", state.FlashSize, read,
                  image.flash.size());
    problem = buf;
  } else if (mismatch != flash.size()) {
    std::snprintf(buf, sizeof buf, "device flash differs from the image first at offset 0x%zX (0x%02X, not 0x%02X)",
                  mismatch, flash[mismatch], image.flash[mismatch]);
    problem = buf;
  } else if (parts != image.blocks ||
             state.Requests < static_cast<std::uint32_t>(image.blocks + image.sectors + 1) || owner.progress.empty() ||
             !std::is_sorted(owner.progress.begin(), owner.progress.end()) ||
             std::adjacent_find(owner.progress.begin(), owner.progress.end()) != owner.progress.end() ||
             owner.progress.back() != 100) {
    std::snprintf(buf, sizeof buf, "%d blocks logged, %u requests carried out, %zu progress steps, not rising to 100 (%d blocks expected)",
                  parts, state.Requests, owner.progress.size(), image.blocks);
    problem = buf;
  }
  if (!problem.empty()) {
    std::printf("*** %s: BROKEN FLASH, figures not valid: %s\n", name, problem.c_str());
    PrintLines(owner);
    return false;
  }
  // A request the device dropped (its pieces came too far apart, or damaged)
  // was sent again after the 1000 ms answer time-out: the image is there,
  // but this flash's time holds the wait.
  if (state.BadRequests != 0) {
    ++figures.retried;
    figures.dropped += static_cast<int>(state.BadRequests);
  }
  figures.wall.push_back(MsBetween(start, end));
  figures.cpu.push_back(cpu);
  figures.busy.push_back(busy);
  figures.load.push_back(owner.loadMs);
  figures.threadElapsed.push_back(owner.elapsed);
  // The reload, every line the thread logged (the reload's own lines are
  // logged inside it), every progress step and the end handler.
  figures.handOvers = owner.loads + static_cast<int>(owner.lines.size() - owner.loadLines) + static_cast<int>(owner.progress.size()) + 1;
  return true;
}

double MeasureSleep() {
  SleepMs(1);  // on Windows the first call also picks the kind of wait
  const TClock::time_point start = TClock::now();
  for (int i = 0; i < 200; ++i) SleepMs(1);
  return MsBetween(start, TClock::now()) / 200;
}

bool Run(const char* name, TLinkBackend backend, int pauses, const TImage& image, int count) {
  // Measured before and after the flashes: on a loaded machine the length of
  // a pause drifts.
  const double sleepBefore = MeasureSleep();
  TFlashFigures f;
  for (int i = 0; i < count; ++i)
    if (!FlashOnce(name, backend, image, f)) return false;
  const double sleepAfter = MeasureSleep();
  const double sleep = (sleepBefore + sleepAfter) / 2;
  std::vector<double> wall = f.wall;
  std::sort(wall.begin(), wall.end());
  const double median = Median(wall);
  const double perBlock = median / image.blocks;
  std::vector<double> cpuPerBlock;
  for (double c : f.cpu) cpuPerBlock.push_back(c / image.blocks);
  const double busy = Median(f.busy);
  const double load = Median(f.load);
  std::printf("%s: %d flashes, each %d blocks of 512 bytes in %d sectors, checked in the device's flash\n", name, count,
              image.blocks, image.sectors);
  std::printf("  whole flash           min %8.1f  median %8.1f  max %8.1f ms (the thread's own count: median %.0f ms)\n",
              wall.front(), median, wall.back(), Median(f.threadElapsed));
  std::printf("  per block             %7.3f ms (median flash / blocks; reload, erases, open and finish included)\n",
              perBlock);
  std::printf("  floor                 %d pauses x 1 ms = %d ms per block; ratio %.3f\n", pauses, pauses,
              perBlock / pauses);
  std::printf("  pauses as measured    %d x %.3f ms = %.3f ms per block; ratio %.3f; beyond them %.3f ms per block\n"
              "                        (SleepMs(1) %.3f ms before the flashes, %.3f after)\n",
              pauses, sleep, pauses * sleep, perBlock / (pauses * sleep), perBlock - pauses * sleep, sleepBefore,
              sleepAfter);
  std::printf("  CPU per block         %7.3f ms (process CPU time over the flash, median; min %.3f, max %.3f)\n",
              Median(cpuPerBlock), *std::min_element(cpuPerBlock.begin(), cpuPerBlock.end()),
              *std::max_element(cpuPerBlock.begin(), cpuPerBlock.end()));
  std::printf("  window thread         %7.2f ms per flash serving %d hand-overs (median): the image reload %.2f ms, "
              "the others %.1f us each\n",
              busy, f.handOvers, load, (busy - load) * 1000.0 / (f.handOvers - 1));
  if (f.retried != 0)
    std::printf("  NOTE: in %d of the flashes the device dropped %d requests as damaged or cut (each costs a 1000 ms\n"
                "        answer time-out and a second attempt); those flashes are in the figures above\n",
                f.retried, f.dropped);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  if (!bench::CountArgument(argc, argv, 1, 5, 1, count)) return 2;
  SetMainThread();
  hFtdiLib = LoadFtdiLibrary();
  hVxUsbLib = LoadVxUsbLibrary();
  if (hFtdiLib.load() == nullptr || hVxUsbLib.load() == nullptr) {
    std::printf("the simulated driver libraries were not found next to the program\n");
    return 2;
  }
  VxSim_Reset();
  TImage image;
  if (!ExpectedImage(image)) return 2;

  std::printf("SleepMs(1): %.3f ms on average\n", MeasureSleep());
  {
    const int pings = 2000;
    TPingThread ping(pings);
    if (!ping.Start()) {
      std::printf("no thread could be started\n");
      return 2;
    }
    ping.WaitFor();
    std::vector<double> t = ping.times;
    std::sort(t.begin(), t.end());
    std::printf("one hand-over (an empty Synchronize, worker side): median %.1f us, p90 %.1f us, max %.1f us\n",
                Median(t) * 1000.0, t[t.size() * 9 / 10] * 1000.0, t.back() * 1000.0);
  }
  std::printf("image: %u payload bytes from sector %d of processor %08X; device answers at once, real clock\n",
              image.payloadBytes, FindProcessor(kProcessor)->FirstSector, kProcessor);
  const bool ok = Run("D2XX", lbFtdi, kSendPauses + 1, image, count) &&
                  Run("VXUSB", lbVxUsb, kSendPauses, image, count);
  if (!ok) std::printf("*** the benchmark stopped at a broken flash\n");
  return ok ? 0 : 1;
}
