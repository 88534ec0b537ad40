// A fault soak of the whole device path: the real discovery runs, the real
// flashing threads and the window's own handlers (the main window in the
// headless backend; this program's main thread is the window thread, serves
// the workers' hand-overs and delivers the device-change notifications),
// against simulated devices that each get faults from a seeded random
// schedule. Rounds of devices are plugged in, found, flashed automatically,
// reconnected where a flash did not succeed, and unplugged again until the
// number of flashes asked for has ended.
//   vx_soak_bench [--flashes N] [--seed S] [--devices N] [--verbose]
// It counts every flash's end by result code and holds every success against
// the device's own flash: the image laid over the device's own sector map,
// every other sector as it was. The goal figures (false successes, hangs,
// crashes, log lines lost, failures of devices without a fault) must all be 0;
// the exit status is 0 only then. A given seed repeats the same fault
// schedule (the timing of threads does not repeat).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "Figures.h"
#include "discovery/ReadVersion.h"
#include "firmware/FirmwareImage.h"
#include "flashing/WriteThread.h"
#include "gui/Controls.h"
#include "gui/headless/Headless.h"
#include "link/DriverLibraries.h"
#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "platform/Ticks.h"
#include "records/TextFormat.h"
#include "sim/SimControl.h"
#include "session/LogFile.h"
#include "ui/MainForm.h"

namespace {

using bench::MsBetween;
using bench::TClock;

// ---- the schedule ----

// splitmix64: the same numbers from the same seed on every platform.
class TRandom {
public:
  explicit TRandom(std::uint64_t seed) : FState(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. n-1 (0 for n 0).
  std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : static_cast<std::uint32_t>(Next() % n); }
  bool Percent(std::uint32_t p) { return Below(100) < p; }

private:
  std::uint64_t FState;
};

// The devices the soak flashes, as the devices describe themselves: the first
// sector of the range the updater must write, and whether the processor is
// one of the known ones (erase 6 and write 7) or not (1 and 2).
struct TTarget {
  std::uint32_t Processor;
  const char* Loader;
  int FirstSector;
  bool Known;
};
constexpr TTarget kTargets[] = {
    {0x10040204, "VXBL-1.05", 4, true},     // 4 KiB sectors
    {0x25011723, "VXBL-1.05", 10, true},    // 256 KiB, 4 and 32 KiB sectors
    {0x26013F37, "VXBL-1.05", 10, true},    // 512 KiB
    {0x481D3F47, "VXBL-1.05", 10, true},    // 512 KiB
    {0x400FE000, "VXBL-1.05", 0, true},     // 512-byte pages
    {0x00C0FFEE, "VXBL-1.05", 4, false},    // unknown: 28 boot loader sectors
    {0x00C0FFEE, "VXBL-1.04TR", 4, false},  // unknown: 27 boot loader sectors
};

constexpr char kImageVersion[] = "VXCR-2.0";
constexpr char kDeviceFirmware[] = "VXCR-1.8";
// Flash that was never erased holds this: an erase of a sector that must stay
// untouched shows (0xFF), and so does a write without its erase (AND).
constexpr std::uint8_t kFill = 0x00;
// The finishing command of a flash that wrote everything, as the device records it.
constexpr std::uint32_t kWriteDone = 11;

// The worst case of a flash, from the exchange's time-outs and attempts, plus
// what a loaded machine may add to every pause, driver call and hand-over.
constexpr std::uint32_t kAttempts = 3;
constexpr std::uint32_t kAnswerTimeoutMs = 1000;  // erase and write answers
constexpr std::uint32_t kFinishTimeoutMs = 100;
constexpr std::uint32_t kBlockPieces = 9;         // 526 bytes in pieces of 64
constexpr std::uint32_t kPauseAllowanceMs = 10;   // one 1 ms pause or one poll of the read
constexpr std::uint32_t kHandOverAllowanceMs = 25;
constexpr std::uint32_t kFlashSlackMs = 5000;     // reload, open, close, start-up
// A discovery run: both listings (50 tries 100 ms apart at worst on D2XX),
// then per new device the firmware mode's 100 + 4 x 2000 + 1000 ms.
constexpr std::uint32_t kListingWorstMs = 2 * 50 * 100;
constexpr std::uint32_t kIdentifyWorstMs = 9100 + 1000;
// Past its worst case by this much a flash is taken to be stuck for good.
constexpr std::uint32_t kGiveUpMs = 120000;
// Nothing happened for this long: every device has done what it will do
// (restarts, returns after an unplug or a drop-out take less).
constexpr std::uint32_t kQuietMs = 800;
constexpr std::uint32_t kPhaseLimitMs = 300000;

enum TFault {
  fkNoAnswer,
  fkShortAnswer,
  fkWrongSector,
  fkWrongOffset,
  fkDamaged,
  fkLate,
  fkProtected,
  fkLocked,
  fkRefuseOpen,
  fkListFailure,
  fkUnplug,
  fkListDropout,
  fkShortWrite,
  fkIdentification,
  fkLostRequest,
  fkStaleErase,
  kFaultKinds
};
constexpr const char* kFaultNames[kFaultKinds] = {
    "no answer",        "short answer",  "wrong sector echo", "wrong offset echo", "damaged answer bytes",
    "late answer",      "protected sector", "locked device", "refused open",     "failing list call",
    "unplug at a block", "list drop-out", "short driver write", "identification query unanswered",
    "damaged request", "late erase answer, then the sector's first block lost"};
// How often each kind is drawn, relative to the others.
constexpr std::uint32_t kFaultWeights[kFaultKinds] = {12, 8, 6, 5, 8, 8, 6, 4, 5, 4, 8, 8, 4, 4, 6, 6};

// One simulated device of a round and what the soak knows of it.
struct TSoakDevice {
  int Index = -1;
  int Serial = 0;
  int Library = VXSIM_FTDI;
  std::uint16_t Code = 0x0101;
  bool FirmwareMode = false;  // runs its firmware and restarts into the boot loader when asked
  const TTarget* Target = nullptr;
  std::vector<VxSimSector> Map;
  vxsim::TExpectedFlash Expected;
  std::set<int> Protected;
  std::vector<TFault> Faults;
  std::vector<std::string> Schedule;  // the scenario lines of its faults
  bool Exposed = false;               // its library's list call was made to fail this round
  std::uint32_t PlugAt = 0;           // ms into the round
  bool Plugged = false;
  int Reconnects = 0;
  int Flashes = 0;
  int Successes = 0;
  std::uint32_t WorstCaseMs = 0;
  [[nodiscard]] bool FaultFree() const { return Faults.empty() && !Exposed; }
};

struct TFigures {
  int Started = 0, Ended = 0, Succeeded = 0, SucceededProtected = 0;
  std::map<int, int> FailedByResult;
  int FalseSuccesses = 0;
  int FailuresWithoutFault = 0;
  int FaultFreeNeverFlashed = 0;
  int FlashHangs = 0, RunHangs = 0, RoundsNotQuiet = 0;
  int Exceptions = 0, UnexpectedErrors = 0, ExceptionLines = 0;
  long long Handed = 0, LostFromWindow = 0, LostFromFile = 0, NeverHanded = 0;
  int Runs = 0, FailedRuns = 0;
  int Devices = 0, FaultFreeDevices = 0, FirmwareModeDevices = 0, Reconnects = 0;
  int SharedSerials = 0;  // pairs of devices with one serial on the two libraries
  int HeldNodes = 0, HeldRecords = 0;  // rounds with a node open elsewhere, with the record held
  int SuccessNotToldDone = 0, FailureToldDone = 0;
  std::uint32_t LongestFlashMs = 0, LongestBoundMs = 0, LongestRunMs = 0;
  int FaultCounts[kFaultKinds] = {};
};

std::atomic<int> pendingChanges{0};
void CountChange(void*, int, int) { ++pendingChanges; }

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

class TSoak;

// The main window as the program makes it, with the soak listening at the
// doors every line, reload and end goes through.
class TSoakWindow : public TMainForm {
public:
  explicit TSoakWindow(TSoak& soak) : FSoak(soak) {}
  void DeviceLog(TMessageKind kind, int serial, const char* text) override;
  bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) override;
  void FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) override;
  void DiscoveryEnded(bool succeeded) override;

private:
  TSoak& FSoak;
};

class TSoak {
public:
  TSoak(std::uint64_t seed, int target, int perRound, bool verbose)
      : FSeed(seed), FRandom(seed), FTarget(target), FPerRound(perRound), FVerbose(verbose) {}

  int Run();

  // ---- called by the window, on the window thread ----
  void Handed(int serial, const char* text) {
    // Only what is logged while file logging is on goes to the file.
    FHanded.push_back({DeviceLinePrefix(serial) + (text != nullptr ? text : ""), FWindow->cbWritelogToFile.Checked()});
    ++F.Handed;
    if (text != nullptr && std::strncmp(text, "Исключение", std::strlen("Исключение")) == 0) ++F.ExceptionLines;
  }
  void FlashStarted(const TFirmwareBlockList& blocks);
  void FlashEnded(const TDevEntry& entry, const TFlashOutcome& outcome);
  void RunEnded(bool succeeded);

private:
  struct TRunning {
    int Serial;
    TClock::time_point Start;
    std::uint32_t WorstCaseMs;
    bool Flagged;
  };

  void Note(const char* format, ...) VX_PRINTF(2, 3);
  bool Start();
  void Finish();
  void PlanRound(int round);
  void RunRound(int round);
  void WriteImage();
  void DrawFaults(TSoakDevice& d);
  std::string DeviceScenario(const TSoakDevice& d) const;
  // Serves the window until nothing happened for kQuietMs with every device
  // of the round plugged and no worker left; `Tick` runs every turn.
  bool ServeUntilQuiet(const char* what);
  void Turn();
  void Reconnect(const std::vector<TSoakDevice*>& devices);
  void CheckLog();
  [[nodiscard]] int CountRecordRows() const;
  int FRecordRows = 0;  // rows of the record of flashes, counted before the directory goes
  // A device of each library may carry the same serial.
  TSoakDevice* ByIdentity(int serial, TLinkBackend backend) {
    const int library = backend == lbFtdi ? VXSIM_FTDI : VXSIM_VXUSB;
    for (TSoakDevice& d : FDevices)
      if (d.Serial == serial && d.Library == library) return &d;
    return nullptr;
  }
  [[nodiscard]] double Elapsed() const { return MsBetween(FRoundStart, TClock::now()); }
  void Print() const;
  [[nodiscard]] bool GoalsMet() const;

  const std::uint64_t FSeed;
  TRandom FRandom;
  const int FTarget, FPerRound;
  const bool FVerbose;
  TFigures F;

  std::filesystem::path FDir;
  std::string FImagePath;
  std::unique_ptr<TSoakWindow> FWindow;
  std::vector<std::uint8_t> FPayload;
  std::vector<TSoakDevice> FDevices;
  struct TListFailure {
    int Library;
    bool Second;
    std::uint32_t At;
    bool Done;
  };
  std::vector<TListFailure> FListFailures;
  // Another program's hold on the bench: an adapter it keeps open (listed by
  // D2XX with its opened flag and nothing else) while the round's devices are
  // found and flashed, and the record of flashes locked for a while, as a
  // spreadsheet holding it does.
  struct THold {
    bool Planned = false, Active = false;
    std::uint32_t From = 0, Until = 0;  // ms into the round
  };
  THold FHeldNode, FHeldRecord;
  int FHeldNodeIndex = -1;
  int FHeldRecordFd = -1;
  void HoldRecord(bool hold);
  TClock::time_point FRoundStart{}, FLastActivity{}, FLastTurn{};
  std::map<const TThread*, TRunning> FRunning;
  bool FRunTracked = false;
  TClock::time_point FRunStart{};

  struct THanded {
    std::string Line;
    bool ToFile;
  };
  std::vector<THanded> FHanded;  // lines handed to the log since the last check
  std::size_t FWindowChecked = 0;    // lines of reLog checked
  std::map<std::string, std::uintmax_t> FFileRead;  // bytes of each day's file checked
};

void TSoakWindow::DeviceLog(TMessageKind kind, int serial, const char* text) {
  FSoak.Handed(serial, text);
  TMainForm::DeviceLog(kind, serial, text);
}

bool TSoakWindow::LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) {
  FSoak.FlashStarted(blocks);
  return TMainForm::LoadFirmware(blocks, version);
}

void TSoakWindow::FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) {
  FSoak.FlashEnded(entry, outcome);
  TMainForm::FlashEnded(entry, outcome);
}

void TSoakWindow::DiscoveryEnded(bool succeeded) {
  FSoak.RunEnded(succeeded);
  TMainForm::DiscoveryEnded(succeeded);
}

void TSoak::Note(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  (void)std::vprintf(format, args);
  va_end(args);
  (void)std::fflush(stdout);
}

// ---- the window's side ----

void TSoak::FlashStarted(const TFirmwareBlockList& blocks) {
  for (const std::unique_ptr<TDevEntry>& e : FWindow->FDevices) {
    auto* thread = static_cast<TWriteThread*>(e->WriteThread.load());
    if (thread == nullptr || &thread->FBlocks != &blocks) continue;
    const TSoakDevice* d = ByIdentity(e->Serial, e->Backend);
    ++F.Started;
    FRunning[thread] = {e->Serial, TClock::now(), d != nullptr ? d->WorstCaseMs : kFlashSlackMs, false};
    FLastActivity = TClock::now();
    return;
  }
  // The window's own load (the file button), not a flash.
}

void TSoak::FlashEnded(const TDevEntry& entry, const TFlashOutcome& outcome) {
  FLastActivity = TClock::now();
  ++F.Ended;
  const int serial = entry.Serial;
  const auto running = FRunning.find(entry.WriteThread.load());
  if (running != FRunning.end()) {
    const auto took = static_cast<std::uint32_t>(MsBetween(running->second.Start, TClock::now()));
    F.LongestFlashMs = std::max(F.LongestFlashMs, took);
    if (took > running->second.WorstCaseMs && !running->second.Flagged) {
      ++F.FlashHangs;
      Note("*** HANG: the flash of %d took %u ms, its worst case is %u ms\n", serial, took,
           running->second.WorstCaseMs);
    }
    FRunning.erase(running);
  }
  TSoakDevice* d = ByIdentity(serial, entry.Backend);
  if (d == nullptr) {
    Note("*** a flash ended for %d, a device of no round\n", serial);
    ++F.FalseSuccesses;
    return;
  }
  ++d->Flashes;
  const VxSimDeviceState state = vxsim::State(d->Index);
  const std::vector<std::uint8_t> flash = vxsim::Flash(d->Index, 0, state.FlashSize);
  const std::vector<std::uint8_t>& expected = d->Expected.Bytes;
  std::string faults;
  for (std::string s : d->Schedule) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    faults += (faults.empty() ? "" : "; ") + s;
  }
  if (d->FirmwareMode) faults += faults.empty() ? "restarted from its firmware" : "; restarted from its firmware";

  if (outcome.Result == wrSuccess) {
    ++F.Succeeded;
    ++d->Successes;
    if (!d->Protected.empty()) ++F.SucceededProtected;
    if (state.FinishCode != kWriteDone) ++F.SuccessNotToldDone;
    if (flash != expected) {
      ++F.FalseSuccesses;
      std::size_t at = 0;
      while (at < flash.size() && at < expected.size() && flash[at] == expected[at]) ++at;
      Note("*** FALSE SUCCESS: device %d (processor %08X, %s) reported flashed, its flash differs first at 0x%zX "
           "(%zu bytes, %zu expected); faults: %s\n",
           serial, d->Target->Processor, d->Target->Loader, at, flash.size(), expected.size(),
           faults.empty() ? "none" : faults.c_str());
    }
  } else {
    ++F.FailedByResult[outcome.Result];
    if (outcome.Result == wrUnexpectedError) ++F.UnexpectedErrors;
    if (state.FinishCode == kWriteDone) ++F.FailureToldDone;
    if (d->FaultFree()) {
      ++F.FailuresWithoutFault;
      Note("*** FAILURE WITHOUT A FAULT: device %d (processor %08X, %s%s) ended with %d, last answer %d\n", serial,
           d->Target->Processor, d->Target->Loader, d->FirmwareMode ? ", restarted from its firmware" : "",
           outcome.Result, outcome.LastAnswer);
    } else if (FVerbose) {
      Note("    %d: result %d, last answer %d (%s)\n", serial, outcome.Result, outcome.LastAnswer, faults.c_str());
    }
  }
}

void TSoak::RunEnded(bool succeeded) {
  FLastActivity = TClock::now();
  ++F.Runs;
  if (!succeeded) ++F.FailedRuns;
  if (!FRunTracked) return;
  FRunTracked = false;
  const auto took = static_cast<std::uint32_t>(MsBetween(FRunStart, TClock::now()));
  F.LongestRunMs = std::max(F.LongestRunMs, took);
  const std::uint32_t worst = kListingWorstMs + static_cast<std::uint32_t>(FDevices.size()) * kIdentifyWorstMs;
  if (took > worst) {
    ++F.RunHangs;
    Note("*** HANG: a discovery run took %u ms, its worst case is %u ms\n", took, worst);
  }
}

// ---- the round ----

void TSoak::WriteImage() {
  // A payload of a few sectors at most, sometimes with a blank 4 KiB hole
  // that the flash must skip on 4 KiB sectors.
  const std::uint32_t size = 600 + FRandom.Below(9000);
  FPayload.assign(size, 0);
  for (std::uint8_t& b : FPayload) b = static_cast<std::uint8_t>(FRandom.Next() & 0x7F);  // never 0xFF
  if (size > 9000 && FRandom.Percent(50)) std::fill(FPayload.begin() + 4096, FPayload.begin() + 8192, 0xFF);
  std::vector<std::uint8_t> image;
  std::string error;
  if (!BuildFirmwareImage(kImageVersion, "01.02.2025 03:04:05", FPayload.data(), FPayload.size(), image, error)) {
    Note("the image cannot be built: %s\n", error.c_str());
    std::exit(2);  // NOLINT(concurrency-mt-unsafe): no other thread runs yet
  }
  std::ofstream(FImagePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

void TSoak::DrawFaults(TSoakDevice& d) {
  // A quarter of the devices get no fault at all; a quarter of the others two.
  if (FRandom.Percent(25)) return;
  const int count = FRandom.Percent(25) ? 2 : 1;
  std::uint32_t total = 0;
  for (const std::uint32_t w : kFaultWeights) total += w;
  const std::uint16_t erase = d.Target->Known ? 6 : 1, write = d.Target->Known ? 7 : 2;
  int erases = static_cast<int>(d.Expected.Written.size()), blocks = 0;
  for (const int n : d.Expected.Written) blocks += static_cast<int>(d.Map[static_cast<std::size_t>(n)].Size / 512);
  char line[160];
  for (int i = 0; i < count; ++i) {
    std::uint32_t pick = FRandom.Below(total);
    int kind = 0;
    while (pick >= kFaultWeights[kind]) pick -= kFaultWeights[static_cast<std::size_t>(kind++)];
    const bool onWrite = FRandom.Percent(70);
    const std::uint16_t code = onWrite ? write : erase;
    const std::uint32_t skip = FRandom.Below(static_cast<std::uint32_t>(onWrite ? blocks : erases));
    line[0] = '\0';
    switch (static_cast<TFault>(kind)) {
      case fkNoAnswer:
        std::snprintf(line, sizeof line, "fault = no_answer code=%u skip=%u times=%u", code, skip, 1 + FRandom.Below(3));
        break;
      case fkShortAnswer:
        std::snprintf(line, sizeof line, "fault = short_answer code=%u skip=%u times=%u value=%u", code, skip,
                      1 + FRandom.Below(3), 1 + FRandom.Below(13));
        break;
      case fkWrongSector: std::snprintf(line, sizeof line, "fault = wrong_sector code=%u skip=%u", code, skip); break;
      case fkWrongOffset: std::snprintf(line, sizeof line, "fault = wrong_offset code=%u skip=%u", code, skip); break;
      case fkDamaged:
        std::snprintf(line, sizeof line, "fault = damaged code=%u skip=%u byte=%u", code, skip, FRandom.Below(14));
        break;
      case fkLate:
        std::snprintf(line, sizeof line, "fault = late_answer code=%u skip=%u delay=%u", code, skip,
                      1050 + FRandom.Below(900));
        break;
      case fkProtected: {
        auto n = d.Expected.Written.begin();
        std::advance(n, FRandom.Below(static_cast<std::uint32_t>(d.Expected.Written.size())));
        d.Protected.insert(*n);
        std::snprintf(line, sizeof line, "protected = %d", *n);
        break;
      }
      case fkLocked: std::snprintf(line, sizeof line, "locked = yes"); break;
      case fkRefuseOpen:
        // The first open is discovery's, the second the flash's.
        std::snprintf(line, sizeof line, "refuse_open = 1\nrefuse_open_skip = %u", FRandom.Below(2));
        break;
      case fkListFailure: {
        const bool second = FRandom.Percent(50);
        FListFailures.push_back({d.Library, second, FRandom.Below(1500), false});
        std::snprintf(line, sizeof line, "# fail_list = %s 1%s", d.Library == VXSIM_FTDI ? "ftdi" : "vxusb",
                      second ? " second" : "");
        break;
      }
      case fkUnplug:
        std::snprintf(line, sizeof line, "fault = unplug code=%u skip=%u value=%u", code, skip,
                      FRandom.Percent(50) ? 0 : 200 + FRandom.Below(400));
        break;
      case fkListDropout:
        std::snprintf(line, sizeof line, "fault = list_dropout code=%u skip=%u value=%u", code, skip,
                      150 + FRandom.Below(450));
        break;
      case fkShortWrite:
        // Driver writes, the identification's among them.
        std::snprintf(line, sizeof line, "fault = short_write skip=%u", 2 + FRandom.Below(static_cast<std::uint32_t>(
                                                                               erases + blocks * 9)));
        break;
      case fkIdentification: {
        static const std::uint16_t queries[] = {10, 10, 5, 4};  // the boot-loader test costs 8 s: seldom
        std::snprintf(line, sizeof line, "fault = no_answer code=%u", queries[FRandom.Below(4)]);
        break;
      }
      case fkLostRequest:
        std::snprintf(line, sizeof line, "fault = lost_request code=%u skip=%u", code, skip);
        break;
      case fkStaleErase: {
        // The erase's answer comes after the first attempt gave up and is
        // read by a later one; the answer to that later attempt still waits
        // when the sector's first block goes out, and that block is lost.
        const auto sector = static_cast<std::uint32_t>(FRandom.Below(static_cast<std::uint32_t>(erases)));
        std::uint32_t before = 0, at = 0;
        for (const int n : d.Expected.Written) {
          if (at++ == sector) break;
          before += d.Map[static_cast<std::size_t>(n)].Size / 512;
        }
        std::snprintf(line, sizeof line, "fault = late_answer code=%u skip=%u delay=%u\nfault = lost_request code=%u skip=%u",
                      erase, sector, d.Library == VXSIM_FTDI ? 1500u : 700u, write, before);
        break;
      }
      case kFaultKinds: break;
    }
    d.Faults.push_back(static_cast<TFault>(kind));
    d.Schedule.push_back(line);
    ++F.FaultCounts[kind];
  }
}

std::string TSoak::DeviceScenario(const TSoakDevice& d) const {
  vxsim::TSimDevice s;
  s.Library = d.Library;
  s.Serial = std::to_string(d.Serial);
  s.DeviceCode = d.Code;
  s.BootLoader = !d.FirmwareMode;
  s.FirmwareVersion = d.FirmwareMode ? "VXCR-1.7" : kDeviceFirmware;
  s.LoaderVersion = d.Target->Loader;
  s.ProcessorId = d.Target->Processor;
  // Partial requests are kept however long a loaded machine pauses between
  // two pieces: a dropped request here would be the machine's fault, not a
  // device's.
  s.FrameGap = 5000;
  s.Extra = FormatText("plugged = no\nflash_fill = 0x%02X\n", kFill);
  if (d.FirmwareMode)
    s.Extra += FormatText("start_answer = \"STARTED\\r\\n\"\nleave_delay = 10\nrestart_delay = %u\n",
                          200 + static_cast<unsigned>(d.PlugAt % 300));
  for (const std::string& line : d.Schedule)
    if (line[0] != '#') s.Extra += line + "\n";
  return s.Scenario();
}

void TSoak::PlanRound(int round) {
  FDevices.clear();
  FListFailures.clear();
  for (int i = 0; i < FPerRound; ++i) {
    TSoakDevice d;
    d.Serial = 2000000 + round * 64 + i;
    d.Library = FRandom.Percent(50) ? VXSIM_FTDI : VXSIM_VXUSB;
    // Now and then the second device carries the first one's serial on the
    // other library: two devices, each flashed and taken out on its own.
    if (i == 1 && FRandom.Percent(30)) {
      d.Serial = FDevices[0].Serial;
      d.Library = FDevices[0].Library == VXSIM_FTDI ? VXSIM_VXUSB : VXSIM_FTDI;
      ++F.SharedSerials;
    }
    d.Code = d.Library == VXSIM_FTDI ? 0x0101 : (FRandom.Percent(50) ? 0x0101 : 0x0A01);
    d.Target = &kTargets[FRandom.Below(sizeof kTargets / sizeof kTargets[0])];
    d.FirmwareMode = FRandom.Percent(15);
    d.PlugAt = FRandom.Percent(30) ? 0 : FRandom.Below(1200);
    d.Map = vxsim::SectorMap(d.Target->Processor, d.Target->Loader);
    d.Expected = vxsim::ExpectedFlash(d.Map, FPayload, d.Target->FirstSector, static_cast<int>(d.Map.size()) - 1,
                                      kFill);
    DrawFaults(d);
    if (!d.Protected.empty())
      d.Expected = vxsim::ExpectedFlash(d.Map, FPayload, d.Target->FirstSector,
                                        static_cast<int>(d.Map.size()) - 1, kFill, d.Protected);
    // Per erase: three answer waits and their sends; per block the same with
    // nine pieces; a few lines and a progress step each; then the finish.
    std::uint32_t worst = kFlashSlackMs + kFinishTimeoutMs + kPauseAllowanceMs;
    for (const int n : d.Expected.Written) {
      const std::uint32_t blocks = d.Map[static_cast<std::size_t>(n)].Size / 512;
      worst += kAttempts * (kAnswerTimeoutMs + 2 * kPauseAllowanceMs) + 5 * kHandOverAllowanceMs;
      worst += blocks * (kAttempts * (kAnswerTimeoutMs + (kBlockPieces + 1) * kPauseAllowanceMs) +
                         3 * kHandOverAllowanceMs);
    }
    worst += static_cast<std::uint32_t>(d.Map.size()) * 2 * kHandOverAllowanceMs;  // blank sectors skipped
    d.WorstCaseMs = worst;
    F.LongestBoundMs = std::max(F.LongestBoundMs, worst);
    FDevices.push_back(std::move(d));
  }
  for (const TListFailure& l : FListFailures)
    for (TSoakDevice& d : FDevices)
      if (d.Library == l.Library) d.Exposed = true;
  FHeldNode = {};
  if (FRandom.Percent(25)) {
    // Appears while the round's devices come and stays until they are done.
    FHeldNode.Planned = true;
    FHeldNode.From = FRandom.Below(1200);
    ++F.HeldNodes;
  }
  FHeldRecord = {};
  if (round % 4 == 1) {
    FHeldRecord.Planned = true;
    FHeldRecord.From = FRandom.Below(2500);
    FHeldRecord.Until = FHeldRecord.From + 1500 + FRandom.Below(2500);
    ++F.HeldRecords;
  }
  VxSim_Reset();
  VxSim_EnableTranscript(0);
  for (TSoakDevice& d : FDevices) {
    vxsim::LoadScenario(DeviceScenario(d));
    d.Index = VxSim_DeviceCount() - 1;
    ++F.Devices;
    if (d.FaultFree()) ++F.FaultFreeDevices;
    if (d.FirmwareMode) ++F.FirmwareModeDevices;
  }
  FHeldNodeIndex = -1;
  if (FHeldNode.Planned) {
    vxsim::LoadScenario(FormatText("[device]\nlibrary = ftdi\nserial = %d\nopen_elsewhere = 1\nplugged = no\n",
                                   2999000 + round));
    FHeldNodeIndex = VxSim_DeviceCount() - 1;
  }
}

void TSoak::HoldRecord(bool hold) {
  if (hold == FHeldRecord.Active) return;
  FHeldRecord.Active = hold;
  if (!hold) {
    flock(FHeldRecordFd, LOCK_UN);
    close(FHeldRecordFd);
    FHeldRecordFd = -1;
    return;
  }
  // The lock every appender of the record takes.
  std::error_code ec;
  std::filesystem::create_directories(FDir / "Logs", ec);
  FHeldRecordFd = open((FDir / "Logs" / "flashes.csv").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (FHeldRecordFd < 0 || flock(FHeldRecordFd, LOCK_EX | LOCK_NB) != 0)
    Note("*** the soak could not hold the record of flashes: %s\n",
         std::error_code(errno, std::generic_category()).message().c_str());
}

void TSoak::Turn() {
  try {
    (void)CheckSynchronize(2);
  } catch (const std::exception& e) {
    ++F.Exceptions;
    Note("*** an exception reached the window thread: %s\n", e.what());
  } catch (...) {
    ++F.Exceptions;
    Note("*** an exception reached the window thread\n");
  }
  for (; pendingChanges > 0; --pendingChanges) {
    TMessage m{WM_DEVICECHANGE_MSG, DBT_DEVNODES_CHANGED_CODE, 0, 0};
    FWindow->Dispatch(m);
    FLastActivity = TClock::now();
  }
  const TClock::time_point now = TClock::now();
  const auto step = static_cast<std::uint32_t>(MsBetween(FLastTurn, now));
  if (step > 0) {
    headless::AdvanceTime(step);
    FLastTurn = now;
  }
  if (ReadVersionThread != nullptr && !FRunTracked) {
    FRunTracked = true;
    FRunStart = TClock::now();
  }
  // Devices of the round whose time to be plugged in has come, and the list
  // failures due.
  const double at = Elapsed();
  for (TSoakDevice& d : FDevices)
    if (!d.Plugged && at >= d.PlugAt) {
      d.Plugged = true;
      (void)VxSim_Plug(d.Index);
    }
  if (FHeldNode.Planned && !FHeldNode.Active && at >= FHeldNode.From) {
    FHeldNode.Active = true;
    (void)VxSim_Plug(FHeldNodeIndex);
  }
  if (FHeldRecord.Planned) HoldRecord(at >= FHeldRecord.From && at < FHeldRecord.Until);
  for (TListFailure& l : FListFailures)
    if (!l.Done && at >= l.At) {
      l.Done = true;
      vxsim::LoadScenario(FormatText("fail_list = %s 1%s\n", l.Library == VXSIM_FTDI ? "ftdi" : "vxusb",
                                     l.Second ? " second" : ""));
    }
  for (auto& [thread, r] : FRunning) {
    const auto took = static_cast<std::uint32_t>(MsBetween(r.Start, TClock::now()));
    if (took > r.WorstCaseMs && !r.Flagged) {
      r.Flagged = true;
      ++F.FlashHangs;
      Note("*** HANG: the flash of %d has run %u ms, its worst case is %u ms\n", r.Serial, took, r.WorstCaseMs);
    }
    if (took > r.WorstCaseMs + kGiveUpMs) {
      Note("*** the flash of %d never ended: the soak stops here\n", r.Serial);
      Print();
      (void)std::fflush(stdout);
      std::_Exit(3);  // the thread still uses the window and its entry
    }
  }
}

bool TSoak::ServeUntilQuiet(const char* what) {
  const TClock::time_point start = TClock::now();
  FLastActivity = start;
  for (;;) {
    Turn();
    const bool allPlugged =
        std::all_of(FDevices.begin(), FDevices.end(), [](const TSoakDevice& d) { return d.Plugged; }) &&
        (!FHeldNode.Planned || FHeldNode.Active) && (!FHeldRecord.Planned || Elapsed() >= FHeldRecord.Until);
    const bool idle = TThread::RunningCount() == 0 && pendingChanges == 0 && !FWindow->DevTimer.Enabled() &&
                      ReadVersionThread == nullptr && allPlugged &&
                      std::all_of(FListFailures.begin(), FListFailures.end(), [](const TListFailure& l) { return l.Done; });
    if (idle && MsBetween(FLastActivity, TClock::now()) >= kQuietMs) return true;
    if (MsBetween(start, TClock::now()) > kPhaseLimitMs) {
      ++F.RoundsNotQuiet;
      Note("*** the window did not become quiet (%s) within %u s\n", what, kPhaseLimitMs / 1000);
      return false;
    }
  }
}

// The user takes the devices out, waits until the window has let them go,
// and plugs them in again.
void TSoak::Reconnect(const std::vector<TSoakDevice*>& devices) {
  for (TSoakDevice* d : devices) {
    (void)VxSim_Unplug(d->Index);
    ++d->Reconnects;
    ++F.Reconnects;
  }
  (void)ServeUntilQuiet("devices taken out");
  for (TSoakDevice* d : devices) (void)VxSim_Plug(d->Index);
  (void)ServeUntilQuiet("devices put back");
}

void TSoak::RunRound(int round) {
  WriteImage();
  PlanRound(round);
  FRoundStart = TClock::now();
  if (FVerbose) {
    Note("round %d: payload %zu bytes\n", round, FPayload.size());
    for (const TSoakDevice& d : FDevices) {
      std::string s;
      for (std::string l : d.Schedule) {
        std::replace(l.begin(), l.end(), '\n', ' ');
        s += " [" + l + "]";
      }
      Note("  %d %s %08X %s%s%s\n", d.Serial, d.Library == VXSIM_FTDI ? "ftdi " : "vxusb", d.Target->Processor,
           d.Target->Loader, d.FirmwareMode ? " firmware" : "", s.c_str());
    }
  }
  (void)ServeUntilQuiet("devices plugged in");
  // The other program lets go of its adapter and of the record.
  if (FHeldNode.Active) (void)VxSim_Unplug(FHeldNodeIndex);
  FHeldNode.Planned = FHeldNode.Active = false;
  FHeldRecord.Planned = false;
  HoldRecord(false);

  // Devices whose flash did not succeed are reconnected: a fault-free one
  // until it is flashed (another device's refused open fails the whole
  // discovery run it was found in), a faulty one once more.
  for (int pass = 0; pass < 3; ++pass) {
    std::vector<TSoakDevice*> again;
    for (TSoakDevice& d : FDevices)
      if (d.Successes == 0 && d.Reconnects < (d.FaultFree() ? 3 : 1)) again.push_back(&d);
    if (again.empty()) break;
    Reconnect(again);
  }

  // The round's devices go; the window must be empty afterwards.
  for (TSoakDevice& d : FDevices) (void)VxSim_Unplug(d.Index);
  (void)ServeUntilQuiet("every device taken out");
  if (!FWindow->FDevices.empty()) {
    // A device whose last change came while a run was in progress is still
    // listed: the user's next reconnection clears it.
    for (const std::unique_ptr<TDevEntry>& e : FWindow->FDevices)
      if (TSoakDevice* d = ByIdentity(e->Serial, e->Backend)) {
        (void)VxSim_Plug(d->Index);
        (void)VxSim_Unplug(d->Index);
      }
    (void)ServeUntilQuiet("stale entries cleared");
  }
  for (const TSoakDevice& d : FDevices)
    if (d.FaultFree() && d.Successes == 0) {
      ++F.FaultFreeNeverFlashed;
      Note("*** the fault-free device %d was never flashed\n", d.Serial);
    }
  CheckLog();
}

// ---- the log ----

// Rows of the record of finished flashes: its lines but the header.
int TSoak::CountRecordRows() const {
  std::ifstream in(FDir / "Logs" / "flashes.csv", std::ios::binary);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return std::max(lines - 1, 0);
}

void TSoak::CheckLog() {
  /* the window's log control: every handed line, in order */
  const TRichEdit& log = FWindow->reLog;
  std::size_t shown = FWindowChecked;
  for (const auto& [line, toFile] : FHanded) {
    if (shown < log.LineCount() && log.Line(shown) == line)
      ++shown;
    else
      ++F.LostFromWindow;
  }
  F.NeverHanded += static_cast<long long>(log.LineCount() - shown);
  FWindowChecked = log.LineCount();

  /* the day's log file: each line as "[dd.mm.yyyy hh:mm:ss.zzz]<TAB>line<CR><LF>", in order */
  std::string added;
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(FDir / "Logs", ec))
    if (entry.path().extension() == ".log") files.push_back(entry.path());  // not the record of flashes
  std::sort(files.begin(), files.end());
  for (const std::filesystem::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::uintmax_t& done = FFileRead[file.string()];
    in.seekg(static_cast<std::streamoff>(done));
    const std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    done += rest.size();
    added += rest;
  }
  std::size_t at = 0;
  for (const auto& [line, toFile] : FHanded) {
    if (!toFile) continue;
    const std::size_t stamp = 1 + 23 + 1;  // "[" + "dd.mm.yyyy hh:mm:ss.zzz" + "]"
    const bool there = added.size() >= at + stamp + 1 + line.size() + 2 && added[at] == '[' &&
                       added[at + stamp - 1] == ']' && added[at + stamp] == '\t' &&
                       added.compare(at + stamp + 1, line.size(), line) == 0 &&
                       added.compare(at + stamp + 1 + line.size(), 2, "\r\n") == 0;
    if (there)
      at += stamp + 1 + line.size() + 2;
    else
      ++F.LostFromFile;
  }
  if (at != added.size()) ++F.NeverHanded;  // bytes in the file that no handed line accounts for
  FHanded.clear();
}

// ---- the whole run ----

bool TSoak::Start() {
  FDir = std::filesystem::temp_directory_path() /
         Lower(FormatText("vxsoak-%llx-%x", static_cast<unsigned long long>(FSeed), std::random_device{}()));
  std::error_code ec;
  std::filesystem::create_directories(FDir, ec);
  if (ec) {
    Note("cannot make %s: %s\n", FDir.string().c_str(), ec.message().c_str());
    return false;
  }
  FImagePath = (FDir / "soak.eraw").string();
  WriteImage();
  headless::Reset();
  SetMainThread();
  SetExecutableDirectory((FDir / "").string());
  SetCommandLineArguments({"externfirmware"});
  pendingChanges = 0;
  VxSim_SetNotify(&CountChange, nullptr);
  VxSim_Reset();
  VxSim_EnableTranscript(0);

  FWindow = std::make_unique<TSoakWindow>(*this);
  MainForm = FWindow.get();
  Application.MainForm = FWindow.get();
  FWindow->Show();
  // The image the user picks, as the file box and its button take it.
  FWindow->edFWFile.SetText(FImagePath);
  FWindow->btnFwLoad.Click();
  FWindow->cbAutoWrite.SetChecked(true);
  FWindow->cbWritelogToFile.SetChecked(true);
  FLastTurn = TClock::now();
  if (hFtdiLib.load() == nullptr || hVxUsbLib.load() == nullptr) {
    Note("the simulated driver libraries were not found next to the program\n");
    return false;
  }
  if (FWindow->FFirmwareVersion.Version != 200) {
    Note("the window did not load the soak's image %s (version %d):\n", FImagePath.c_str(),
         FWindow->FFirmwareVersion.Version);
    for (std::size_t i = 0; i < FWindow->reLog.LineCount(); ++i)
      Note("  %s\n", Cp1251ToUtf8(FWindow->reLog.Line(i)).c_str());
    return false;
  }
  return true;
}

void TSoak::Finish() {
  CheckLog();
  FRecordRows = CountRecordRows();
  FWindow.reset();
  MainForm = nullptr;
  Application.MainForm = nullptr;
  VxSim_SetNotify(nullptr, nullptr);
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

int TSoak::Run() {
  const TClock::time_point start = TClock::now();
  Note("seed %llu; %d flashes at least, %d devices a round\n", static_cast<unsigned long long>(FSeed), FTarget,
       FPerRound);
  if (!Start()) return 2;
  int round = 0;
  while (F.Ended < FTarget) {
    RunRound(round++);
    if (round % 10 == 0)
      Note("  round %d: %d flashes ended, %d succeeded, %.0f s\n", round, F.Ended, F.Succeeded,
           MsBetween(start, TClock::now()) / 1000);
  }
  Finish();
  Print();
  Note("rounds %d; wall time %.1f s\n", round, MsBetween(start, TClock::now()) / 1000);
  const bool met = GoalsMet();
  Note(met ? "every goal figure is 0\n" : "*** A GOAL FIGURE IS NOT 0\n");
  return met ? 0 : 1;
}

void TSoak::Print() const {
  std::printf("seed                          %llu\n", static_cast<unsigned long long>(FSeed));
  std::printf("devices                       %d (%d without any fault, %d restarted from their firmware, "
              "%d pairs with one serial on both libraries)\n",
              F.Devices, F.FaultFreeDevices, F.FirmwareModeDevices, F.SharedSerials);
  std::printf("held by another program       a D2XX node open elsewhere in %d rounds, the record of flashes in %d\n",
              F.HeldNodes, F.HeldRecords);
  std::printf("faults drawn                 ");
  for (int k = 0; k < kFaultKinds; ++k) std::printf(" %s %d%s", kFaultNames[k], F.FaultCounts[k], k + 1 < kFaultKinds ? "," : "\n");
  std::printf("discovery runs                %d (%d failed as a whole)\n", F.Runs, F.FailedRuns);
  std::printf("reconnections by the user     %d\n", F.Reconnects);
  std::printf("flashes started               %d\n", F.Started);
  std::printf("flashes ended                 %d\n", F.Ended);
  std::printf("succeeded                     %d (%d with a protected sector left as it was)\n", F.Succeeded,
              F.SucceededProtected);
  std::printf("failed by result code        ");
  if (F.FailedByResult.empty()) std::printf(" none");
  for (const auto& [code, n] : F.FailedByResult) std::printf(" %d: %d", code, n);
  std::printf("\n");
  std::printf("successes the device was not told were done: %d; failures it was told were done: %d\n",
              F.SuccessNotToldDone, F.FailureToldDone);
  std::printf("longest flash %u ms (largest worst case %u ms); longest discovery run %u ms\n", F.LongestFlashMs,
              F.LongestBoundMs, F.LongestRunMs);
  std::printf("GOAL false successes          %d\n", F.FalseSuccesses);
  std::printf("GOAL failures without a fault %d (fault-free devices never flashed: %d)\n", F.FailuresWithoutFault,
              F.FaultFreeNeverFlashed);
  std::printf("GOAL hangs                    %d (flashes past their worst case %d, discovery runs %d, "
              "rounds that never became quiet %d)\n",
              F.FlashHangs + F.RunHangs + F.RoundsNotQuiet, F.FlashHangs, F.RunHangs, F.RoundsNotQuiet);
  std::printf("GOAL crashes                  %d (exceptions at the window thread %d, flashes ended by an "
              "unexpected error %d, exception lines in the log %d)\n",
              F.Exceptions + F.UnexpectedErrors + F.ExceptionLines, F.Exceptions, F.UnexpectedErrors,
              F.ExceptionLines);
  std::printf("GOAL flash records missing    %d (rows in Logs/flashes.csv %d, flashes ended %d)\n",
              std::abs(FRecordRows - F.Ended), FRecordRows, F.Ended);
  std::printf("GOAL log lines lost           %lld (of %lld handed: missing from the window %lld, from the file "
              "%lld; lines or bytes nobody handed %lld)\n",
              F.LostFromWindow + F.LostFromFile + F.NeverHanded, F.Handed, F.LostFromWindow, F.LostFromFile,
              F.NeverHanded);
  (void)std::fflush(stdout);
}

bool TSoak::GoalsMet() const {
  return F.FalseSuccesses == 0 && F.FailuresWithoutFault == 0 && F.FaultFreeNeverFlashed == 0 &&
         F.FlashHangs + F.RunHangs + F.RoundsNotQuiet == 0 && F.Exceptions + F.UnexpectedErrors + F.ExceptionLines == 0 &&
         F.LostFromWindow + F.LostFromFile + F.NeverHanded == 0 && FRecordRows == F.Ended && F.Ended >= FTarget &&
         F.Started == F.Ended;
}

}  // namespace

// A whole number from the command line, or false (with a message).
static bool Number(const char* text, unsigned long long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0' || errno != 0 || *text == '-') {
    std::printf("not a number: \"%s\"\n", text);
    return false;
  }
  return true;
}

int main(int argc, char** argv) try {
  int flashes = 1000, perRound = 16;
  bool verbose = false;
  std::uint64_t seed = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    unsigned long long n = 0;
    if (a == "--flashes" && value) {
      if (!Number(argv[++i], n)) return 2;
      flashes = static_cast<int>(std::clamp(n, 1ull, 1000000ull));
    } else if (a == "--seed" && value) {
      if (!Number(argv[++i], n)) return 2;
      seed = n;
    } else if (a == "--devices" && value) {
      if (!Number(argv[++i], n)) return 2;
      perRound = static_cast<int>(std::clamp(n, 1ull, 60ull));
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      std::printf("usage: vx_soak_bench [--flashes N] [--seed S] [--devices N] [--verbose]\n");
      return 2;
    }
  }
  TSoak soak(seed, flashes, perRound, verbose);
  return soak.Run();
} catch (const std::exception& e) {
  // Anything that escapes the soak is a crash of the run, never a pass.
  std::printf("*** the soak ended with an exception: %s\n", e.what());
  return 1;
}
