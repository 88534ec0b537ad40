#include "console/ConsoleFlasher.h"

#include <algorithm>
#include <mutex>

#include "crash/LogRing.h"
#include "flashing/WriteResult.h"
#include "link/DriverLibraries.h"
#include "platform/CodePage.h"
#include "platform/CrashTestPoint.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"
#include "platform/Ticks.h"
#include "records/Exception.h"
#include "records/TextFormat.h"
#include "session/DeviceTexts.h"

namespace {

// As the record of flashes names them.
const char* LibraryName(const TDevEntry& entry) { return BackendName(entry.Backend); }

const char* StateName(int state) {
  static const char* const kNames[] = {"waiting", "restarting", "flashing", "flashed", "skipped", "failed", "unfinished"};
  return kNames[state];
}

std::string Utf8(const std::string& cp1251) { return Cp1251ToUtf8(cp1251); }

#ifndef _WIN32
// The simulated driver libraries tell their own process of plugs and unplugs
// through a callback (on Windows they broadcast the system's message).
using TSimNotify = void (*)(void* context, int device, int plugged);
using TSimSetNotify = void (*)(TSimNotify callback, void* context);
void CountSimulatedChange(void* context, int /*device*/, int /*plugged*/) {
  static_cast<TDeviceChangeWatch*>(context)->Count();
}
#endif

}  // namespace

TConsoleFlasher::TConsoleFlasher(const TConsoleOptions& options, TConsoleOutput& output)
    : FOptions(options), FOut(output) {}

TConsoleFlasher::~TConsoleFlasher() {
  SetHandOverTurnEnd({});
  FLogFile.Close();
#ifndef _WIN32
  for (const TModuleHandle library : {hFtdiLib.load(), hVxUsbLib.load()})
    if (library != nullptr)
      if (auto* setNotify = reinterpret_cast<TSimSetNotify>(FindLibrarySymbol(library, "VxSim_SetNotify")))
        setNotify(nullptr, nullptr);
#endif
}

int TConsoleFlasher::Run() {
  SetMainThread();
  // The lines of one turn of hand-overs share one open of the day's file, as
  // in the window; between turns the file is free for other programs.
  SetHandOverTurnEnd([this] { FLogFile.Close(); });
  FAppDir = ExecutableDirectory();
  FSession.SetAppDir(FAppDir);
  // A device that does not answer must not hide the others on a bench.
  FSession.SetDevicesFailAlone(true);
  FStartTick = TickCount();
  if (!LoadLibraries()) return ceUsage;
  if (FOptions.Command == TConsoleCommand::Flash) {
    const int status = LoadImage();
    if (status != ceDone) return status;
  }
  HookDeviceChanges();
  StartDiscovery();
  Loop();
  // Workers still running (a discovery run started by a late notification)
  // are asked to stop and waited for, their hand-overs served; the record's
  // rows are written.
  FSession.BeginClose();
  FSession.WaitForWorkers();
  const bool tooFew = FOptions.Command == TConsoleCommand::Flash && !FStarted && !FStopping;
  const int status = Summary(tooFew);
  FSession.CloseDevices();
  FinishLogFile();
  return status;
}

void TConsoleFlasher::FinishLogFile() {
  // Lines the day's file did not take while another program blocked it get a
  // little longer; what still cannot be written is said, not dropped quietly.
  constexpr std::uint32_t kLastWaitMs = 2000, kPauseMs = 100;
  const std::uint32_t start = TickCount();
  FLogFile.Close();
  while (FLogFile.KeptLines() > 0 && TickCount() - start < kLastWaitMs) {
    SleepMs(kPauseMs);
    FLogFile.Close();
  }
  const int lost = FLogFile.KeptLines() + FLogFile.LostLines();
  if (lost > 0) FOut.Note(FormatText("%d lines could not be written to the day's log file", lost));
}

bool TConsoleFlasher::LoadLibraries() {
  // As the window does: each library that is missing (or lacks an entry
  // point) is reported; without both there is nothing to talk to.
  const TDeviceSession::TLibraries libraries = FSession.LoadLibraries(kVxUsbLibraryName);
  if (!libraries.Ftdi) FOut.Note(Utf8("Драйвер устройств FTDI не установлен."));
  if (!libraries.VxUsb) FOut.Note(Utf8("Драйвер устройств RQ не установлен."));
  if (libraries.Ftdi || libraries.VxUsb) return true;
  FOut.Note("no driver library could be loaded: nothing to do");
  return false;
}

int TConsoleFlasher::LoadImage() {
  FExternalFirmware = !FOptions.ImageFile.empty();
  TFirmwareBlockList blocks;  // checked here; every flash loads it afresh
  try {
    if (!LoadFirmware(blocks, FImageVersion)) {
      FOut.Note("the firmware image was refused");
      return ceUsage;
    }
  } catch (const Exception& e) {
    DeviceLog(mkError, 0, e.what());
    FOut.Note("the firmware image was refused");
    return ceUsage;
  }
  FOut.Note("image " + Utf8(FImageVersion.VersionText()) + " (" + Utf8(FImageVersion.DateText()) + ")");
  return ceDone;
}

bool TConsoleFlasher::LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) {
  return TFirmwareSources::LoadFirmware(FOptions.ImageFile, blocks, version, *this, {});
}

void TConsoleFlasher::HookDeviceChanges() {
#ifndef _WIN32
  for (const TModuleHandle library : {hFtdiLib.load(), hVxUsbLib.load()})
    if (library != nullptr)
      if (auto* setNotify = reinterpret_cast<TSimSetNotify>(FindLibrarySymbol(library, "VxSim_SetNotify"))) {
        setNotify(&CountSimulatedChange, &FWatch);
        return;
      }
#endif
}

void TConsoleFlasher::DeviceLog(TMessageKind kind, int serial, const char* text) {
  const std::string line = DeviceLinePrefix(serial) + (text != nullptr ? text : "");
  CrashLogRing().Add(line.c_str());  // the last lines go into a crash report
  // A file that cannot be written loses the line there only.
  FLogFile.BeginTurn();
  (void)FLogFile.Append(FAppDir, LocalTimeNow(), line);
  if (!InHandOverTurn()) FLogFile.Close();
  if (kind == mkError) FOut.Note(Utf8(line));
}

// ---- the loop ----

void TConsoleFlasher::StartDiscovery() { (void)FSession.StartDiscovery(); }

void TConsoleFlasher::Loop() {
  const std::uint32_t timeoutMs = FOptions.TimeoutSeconds * 1000;
  for (;;) {
    FWatch.Serve();
    (void)CheckSynchronize(10);
    FOut.Flush();
    const std::uint32_t now = TickCount();
    if (FWatch.TakeChanges() > 0) {
      // The same settling delay as the window's device timer.
      FRescanDue = true;
      FRescanAt = now + 100;
    }
    if (FInterrupted.load() && !FStopping) Stop();
    if (FRescanDue && !FStopping && static_cast<std::int32_t>(now - FRescanAt) >= 0 && !FSession.DiscoveryRunning()) {
      FRescanDue = false;
      StartDiscovery();
    }
    const bool idle = !FSession.DiscoveryRunning() && !FSession.Flashing();
    if (FStopping) {
      if (idle) return;
      continue;
    }
    if (FRunsDone == 0) continue;
    if (FOptions.Command == TConsoleCommand::List) {
      if (!FSession.DiscoveryRunning()) return;
      continue;
    }
    const bool late = now - FStartTick >= timeoutMs;
    if (!FStarted) {
      if (late && !FSession.DiscoveryRunning()) return;
      continue;
    }
    bool pending = false;
    for (auto& [serial, target] : FTargets) {
      if (target.State != TState::Ready && target.State != TState::Restarting) continue;
      if (!late) {
        pending = true;
      } else {
        // Gone before its flash, or never back from its restart.
        target.Reason = target.State == TState::Restarting ? "did not come back in its boot loader in time"
                                                           : "went away before it could be flashed";
        target.State = TState::Failed;
        ShowResult(serial, target);
      }
    }
    if (!pending && idle) return;
  }
}

void TConsoleFlasher::Stop() {
  FStopping = true;
  FOut.Note("interrupted: stopping the running flashes");
  // Devices still waiting are counted unfinished with the summary, as are
  // those the discovery run in progress may yet list.
  FSession.StopAll();
}

bool TConsoleFlasher::Selected(std::int32_t serial) const {
  if (FOptions.All) return true;
  return std::find(FOptions.Serials.begin(), FOptions.Serials.end(), serial) != FOptions.Serials.end();
}

int TConsoleFlasher::ExpectedCount() const {
  if (FOptions.Expect > 0) return FOptions.Expect;
  return FOptions.All ? 1 : static_cast<int>(FOptions.Serials.size());
}

bool TConsoleFlasher::SameAsImage(const TDevEntry& entry) const {
  const TFirmwareVersion& v = entry.FirmwareVersion;
  return FOptions.SkipSame && v.Version != 0 && v.VersionText() == FImageVersion.VersionText();
}

// ---- discovery ----

bool TConsoleFlasher::RestartIntoBootLoader(const TDevEntry& entry) {
  // Only a device this command is to flash, and not one --skip-same leaves
  // alone; the options and the image are fixed before the first run.
  return FOptions.Command == TConsoleCommand::Flash && Selected(entry.Serial) && !SameAsImage(entry);
}

void TConsoleFlasher::DiscoveryEnded(bool succeeded) {
  ++FRunsDone;
  CrashTestPoint("window");  // development builds: a crash on purpose, with the devices listed
  if (!succeeded) {
    // A run that failed is tried again after the settling delay.
    if (!FStopping) {
      FRescanDue = true;
      FRescanAt = TickCount() + 100;
    }
    return;
  }
  if (FOptions.Command != TConsoleCommand::Flash || FStopping) return;
  if (!FStarted && static_cast<int>(FTargets.size()) >= ExpectedCount()) FStarted = true;
  if (FStarted) StartReadyFlashes();
}

void TConsoleFlasher::DeviceListed(TDevEntry& entry) {
  ShowDevice(entry);
  if (FOptions.Command != TConsoleCommand::Flash || !Selected(entry.Serial)) return;
  TTarget& target = FTargets[entry.Serial];
  // A device seen before and done with (flashed, or back after a failure)
  // is left alone; one that restarted is flashed now.
  if (target.State != TState::Ready && target.State != TState::Restarting) return;
  if (entry.InBootLoader) {
    target.State = TState::Ready;
  } else if (entry.RestartRequested) {
    target.State = TState::Restarting;
  } else if (SameAsImage(entry)) {
    target.State = TState::Skipped;
    target.Reason = "its firmware is the image's version " + entry.FirmwareVersion.VersionText();
    ShowResult(entry.Serial, target);
    return;
  } else {
    target.State = TState::Failed;
    target.Reason = "runs its firmware and did not restart into its boot loader";
    ShowResult(entry.Serial, target);
    return;
  }
  ShowStatus(entry.Serial, target, true);
}

void TConsoleFlasher::DeviceUnidentified(const TUnidentifiedDevice& device) {
  const TDevEntry& entry = *device.Entry;
  if (!FUnidentified.emplace(entry.Backend, entry.Serial).second) return;
  const std::string reason = device.Result == rvOpenFailed ? "not identified: it could not be opened"
                                                           : "not identified: it answered neither version query";
  DeviceLogFmt(mkError, entry.Serial, "Прибор не опознан: ошибка %d. Последний код ответа прибора %d",
               static_cast<int>(device.Result), static_cast<int>(device.LastAnswer));
  TJsonObject o;
  o.Add("event", "unidentified")
      .Add("serial", entry.Serial)
      .Add("library", LibraryName(entry))
      .Add("result", device.Result)
      .Add("last_answer", device.LastAnswer)
      .Add("reason", reason);
  FOut.JsonLine(o);
  if (FOptions.Command == TConsoleCommand::List)
    FOut.Note(FormatText("%10d  %-6s  %s", entry.Serial, LibraryName(entry), reason.c_str()));
  if (FOptions.Command != TConsoleCommand::Flash || !Selected(entry.Serial)) return;
  TTarget& target = FTargets[entry.Serial];
  if (target.State != TState::Ready && target.State != TState::Restarting) return;
  target.State = TState::Failed;
  target.Result = device.Result;
  target.LastAnswer = device.LastAnswer;
  target.Reason = reason;
  ShowResult(entry.Serial, target);
}

void TConsoleFlasher::HandlerFailed() {
  try {
    throw;
  } catch (const std::exception& e) {
    FOut.Note(std::string("internal error: ") + e.what());
  } catch (...) {
    FOut.Note("internal error");
  }
}

void TConsoleFlasher::ShowDevice(const TDevEntry& entry) {
  const std::string loader = entry.InBootLoader ? entry.LoaderVersion.VersionText() : std::string();
  TJsonObject o;
  o.Add("event", "device")
      .Add("serial", entry.Serial)
      .Add("library", LibraryName(entry))
      .Add("mode", entry.InBootLoader ? "loader" : "firmware")
      .Add("firmware_version", Utf8(entry.FirmwareVersion.VersionText()));
  if (entry.InBootLoader)
    o.Add("loader_version", Utf8(loader));
  else
    o.AddNull("loader_version");
  o.Add("processor", FormatText("0x%08X", static_cast<unsigned>(entry.ProcessorId)));
  FOut.JsonLine(o);
  if (FOptions.Command == TConsoleCommand::List)
    // Padded in Windows-1251, where every letter is one byte.
    FOut.Note(Utf8(FormatText("%10d  %-6s  %-9s  %-16s  %-16s  0x%08X", entry.Serial, LibraryName(entry),
                              DeviceModeText(entry), entry.FirmwareVersion.VersionText().c_str(),
                              loader.empty() ? "-" : loader.c_str(), static_cast<unsigned>(entry.ProcessorId))));
}

// ---- flashing ----

void TConsoleFlasher::StartReadyFlashes() {
  for (auto& [serial, target] : FTargets) {
    if (target.State != TState::Ready) continue;
    TDevEntry* entry = FindDevice(FSession.Devices(), serial);
    if (entry == nullptr || entry->Vanished.load() || !entry->InBootLoader || entry->WriteThread.load() != nullptr)
      continue;
    if (SameAsImage(*entry)) {
      target.State = TState::Skipped;
      target.Reason = "its firmware is the image's version " + entry->FirmwareVersion.VersionText();
      ShowResult(serial, target);
      continue;
    }
    if (!FSession.StartFlash(*entry)) {
      target.State = TState::Failed;
      target.Reason = "its flash could not be started";
      ShowResult(serial, target);
    }
  }
}

void TConsoleFlasher::FlashStarted(TDevEntry& entry) {
  TTarget& target = FTargets[entry.Serial];
  target.State = TState::Flashing;
  target.StartTick = TickCount();
  ShowStatus(entry.Serial, target, true);
}

void TConsoleFlasher::FlashProgress(TDevEntry& entry, const TFlashProgress& progress) {
  auto it = FTargets.find(entry.Serial);
  if (it == FTargets.end()) return;
  TTarget& target = it->second;
  target.Percent = progress.Percent;
  target.Done = progress.DoneUnits;
  target.Total = progress.TotalUnits;
  ShowStatus(entry.Serial, target, false);
}

void TConsoleFlasher::FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) {
  TTarget& target = FTargets[entry.Serial];
  target.Result = outcome.Result;
  target.LastAnswer = outcome.LastAnswer;
  target.Elapsed = outcome.Elapsed;
  target.Reason = outcome.Text.Message;
  target.Health = outcome.Health;
  if (outcome.Result == wrSuccess)
    target.State = TState::Flashed;
  else if (outcome.Result == wrTerminated && FStopping)
    target.State = TState::Unfinished;
  else
    target.State = TState::Failed;
  ShowResult(entry.Serial, target);
}

// ---- output ----

void TConsoleFlasher::ShowStatus(std::int32_t serial, const TTarget& target, bool changed) {
  const std::uint32_t now = TickCount();
  std::string line = FormatText("%10d  %-10s", serial, StateName(static_cast<int>(target.State)));
  if (target.State == TState::Flashing) {
    const double seconds = static_cast<double>(now - target.StartTick) / 1000.0;
    const double rate = seconds > 0.05 ? target.Done / seconds : 0.0;
    line += FormatText("  %3d%%  %7.1f blocks/s", target.Percent, rate);
    if (rate > 0 && target.Total > target.Done)
      line += FormatText("  %4.0f s left", (target.Total - target.Done) / rate);
    // At most one progress object every 250 ms per device, and the last one.
    if (target.Percent == 100 || !target.ProgressShown || now - target.ProgressShownAt >= 250) {
      auto& shown = FTargets[serial];
      shown.ProgressShown = true;
      shown.ProgressShownAt = now;
      TJsonObject o;
      o.Add("event", "progress")
          .Add("serial", serial)
          .Add("percent", target.Percent)
          .Add("blocks_done", target.Done)
          .Add("blocks_total", target.Total)
          .Add("blocks_per_s", rate);
      FOut.JsonLine(o);
    }
  } else if (!target.Reason.empty()) {
    line += "  " + Utf8(target.Reason);
  }
  FOut.Status(serial, line, changed);
}

void TConsoleFlasher::ShowResult(std::int32_t serial, const TTarget& target) {
  ShowStatus(serial, target, true);
  TJsonObject o;
  o.Add("event", "result").Add("serial", serial).Add("state", StateName(static_cast<int>(target.State)));
  if (target.Result >= 0)
    o.Add("result", target.Result);
  else
    o.AddNull("result");
  o.Add("reason", Utf8(target.Reason)).Add("last_answer", target.LastAnswer).Add("elapsed_ms", target.Elapsed);
  o.Add("blocks_written", target.Health.BlocksWritten)
      .Add("retries", target.Health.Retries)
      .Add("timeouts", target.Health.Timeouts)
      .Add("longest_answer_ms", target.Health.LongestAnswerMs)
      .Add("mean_answer_ms", target.Health.MeanAnswerMs());
  FOut.JsonLine(o);
}

int TConsoleFlasher::Summary(bool tooFew) {
  if (FOptions.Command == TConsoleCommand::List) {
    FOut.EndStatus();
    if (FSession.Devices().empty() && FUnidentified.empty()) FOut.Note("no device found");
    if (FUnidentified.empty()) return ceDone;
    FOut.Note(FormatText("%d device(s) could not be identified", static_cast<int>(FUnidentified.size())));
    return ceFailed;
  }
  // Whatever was still waiting for its flash when the command ended.
  for (auto& [serial, target] : FTargets) {
    if (target.State != TState::Ready && target.State != TState::Restarting) continue;
    target.Reason = FStopping ? "interrupted before its flash began"
                    : tooFew  ? "not flashed: fewer devices than expected appeared in time"
                              : "not flashed";
    target.State = TState::Unfinished;
    ShowResult(serial, target);
  }
  FOut.EndStatus();
  std::vector<std::int32_t> lists[7];
  for (const auto& [serial, target] : FTargets) lists[static_cast<int>(target.State)].push_back(serial);
  std::vector<std::int32_t> missing;
  for (const std::int32_t s : FOptions.Serials)
    if (FTargets.find(s) == FTargets.end()) missing.push_back(s);
  const auto count = [&](TState s) { return lists[static_cast<int>(s)].size(); };
  int status = ceDone;
  if (tooFew)
    status = ceTooFew;
  else if (FStopping || count(TState::Failed) > 0 || count(TState::Unfinished) > 0)
    status = ceFailed;

  std::string text = FormatText("flashed %d, skipped %d, failed %d", static_cast<int>(count(TState::Flashed)),
                                static_cast<int>(count(TState::Skipped)), static_cast<int>(count(TState::Failed)));
  if (count(TState::Unfinished) > 0) text += FormatText(", unfinished %d", static_cast<int>(count(TState::Unfinished)));
  FOut.Note(text);
  for (const auto& [serial, target] : FTargets)
    if (target.State == TState::Failed || target.State == TState::Unfinished)
      FOut.Note(FormatText("  %d %s: ", serial, StateName(static_cast<int>(target.State))) + Utf8(target.Reason));
  if (tooFew)
    FOut.Note(FormatText("only %d of %d expected devices appeared within %u s", static_cast<int>(FTargets.size()),
                         ExpectedCount(), FOptions.TimeoutSeconds));
  for (const std::int32_t s : missing) FOut.Note(FormatText("  %d not found", s));

  TJsonObject o;
  o.Add("event", "summary")
      .Add("flashed", lists[static_cast<int>(TState::Flashed)])
      .Add("skipped", lists[static_cast<int>(TState::Skipped)])
      .Add("failed", lists[static_cast<int>(TState::Failed)])
      .Add("unfinished", lists[static_cast<int>(TState::Unfinished)])
      .Add("missing", missing)
      .Add("exit", status);
  FOut.JsonLine(o);
  return status;
}
