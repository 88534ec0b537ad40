#include "session/DeviceSession.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "link/DeviceLink.h"
#include "link/DriverLibraries.h"
#include "platform/LocalTime.h"
#include "session/DeviceTexts.h"

TDeviceSession::TDeviceSession(TSessionEvents& events, TOperationLog& log, std::string program)
    : FEvents(events), FLog(log), FProgram(std::move(program)), FRecords(log) {}

TDeviceSession::~TDeviceSession() { Close(); }

TDeviceSession::TLibraries TDeviceSession::LoadLibraries(const char* vxUsbName) {
  if (hFtdiLib.load() == nullptr)
    if (TModuleHandle h = LoadFtdiLibrary(kFtdiLibraryName)) hFtdiLib.store(h);
  if (hVxUsbLib.load() == nullptr)
    if (TModuleHandle h = LoadVxUsbLibrary(vxUsbName)) hVxUsbLib.store(h);
  return {hFtdiLib.load() != nullptr, hVxUsbLib.load() != nullptr};
}

void TDeviceSession::RescanFtdi() {
  if (hFtdiLib.load() != nullptr && FtdiApi.Rescan != nullptr) FtdiApi.Rescan();
}

template <class F>
void TDeviceSession::Guarded(F handler) {
  try {
    handler();
  } catch (...) {
    FEvents.HandlerFailed();
  }
}

// ---- discovery ----

bool TDeviceSession::StartDiscovery() {
  if (FClosing) return false;
  if (ReadVersionThread != nullptr) return true;  // one run at a time
  TReadVersion* run =
      TReadVersion::Launch(*this, [this](TThread* sender) { Guarded([&] { ReadVersionTerminate(sender); }); });
  if (run == nullptr) {
    FLog.LogFmt(mkError, "Не удалось запустить поиск устройств");
    return false;
  }
  // Its end handler runs on this thread, so not before this is set.
  ReadVersionThread = run;
  return true;
}

bool TDeviceSession::DiscoveryRunning() const { return ReadVersionThread != nullptr; }

bool TDeviceSession::RestartIntoBootLoader(const TDevEntry& entry) { return FEvents.RestartIntoBootLoader(entry); }

void TDeviceSession::ReadVersionTerminate(TThread* sender) {
  // The run is over whatever happens below: a handler that failed half-way
  // must not leave every later run refused (and a freed thread referred to).
  struct TRunOver {
    ~TRunOver() { ReadVersionThread = nullptr; }
  } over;
  auto& run = *static_cast<TReadVersion*>(sender);
  if (run.FResult != rvSuccess) {
    // The list stays as it is, vanished entries included; the run's new
    // entries go with the thread.
    LogDiscoveryFailed(FLog, run.FElapsed, run.FResult, run.FLastAnswer);
    FEvents.DiscoveryEnded(false);
    return;
  }
  {
    std::lock_guard lock(DeviceListLock);
    // The gone first, then the new: a new panel takes its place below the
    // panels that stay.
    RemoveVanished();
    ListNewDevices(run);
  }
  for (const TUnidentifiedDevice& failed : run.FUnidentified) FEvents.DeviceUnidentified(failed);
  FEvents.DiscoveryEnded(true);
}

// Holding DeviceListLock: every entry that has gone and is not being flashed
// (a flash's end removes its own).
void TDeviceSession::RemoveVanished() {
  for (auto it = FDevices.begin(); it != FDevices.end();) {
    TDevEntry& entry = **it;
    if (entry.Vanished.load() && entry.WriteThread.load() == nullptr) {
      LogDeviceDisconnected(FLog, entry.Serial);
      FEvents.DeviceGone(entry);
      it = FDevices.erase(it);  // a panel goes with its entry
    } else {
      ++it;
    }
  }
}

// Holding DeviceListLock. The session takes over every new entry of the run.
void TDeviceSession::ListNewDevices(TReadVersion& run) {
  TDeviceList found = std::move(run.FNewDevices);
  run.FNewDevices.clear();
  for (std::unique_ptr<TDevEntry>& owned : found) {
    TDevEntry& entry = *owned;
    LogDeviceConnected(FLog, entry);
    FDevices.push_back(std::move(owned));
    LogDeviceIdentity(FLog, entry);
    try {
      FEvents.DeviceListed(entry);
    } catch (...) {
      // Not listed without what the front end makes of it: the next run
      // finds the device anew. One whose flash has begun stays: the flash
      // refers to it.
      if (entry.WriteThread.load() == nullptr && !FDevices.empty() && FDevices.back().get() == &entry)
        FDevices.pop_back();
      throw;
    }
  }
}

// ---- flashing ----

bool TDeviceSession::StartFlash(TDevEntry& entry) {
  if (entry.WriteThread.load() != nullptr) {
    FLog.DeviceLogFmt(mkInfo, entry.Serial, "Прибор уже прошивается");
    return false;
  }
  // The entries are about to be destroyed: a flash started now would outlive
  // its device.
  if (FClosing) return false;
  if (TWriteThread::Launch(*this, entry, [this](TThread* sender) { Guarded([&] { WriteThreadTerminate(sender); }); }) ==
      nullptr) {
    FLog.DeviceLogFmt(mkError, entry.Serial, "Не удалось запустить прошивку прибора");
    return false;
  }
  LogFlashStarting(FLog, entry.Serial);
  FEvents.FlashStarted(entry);
  return true;
}

bool TDeviceSession::Flashing() const {
  return std::any_of(FDevices.begin(), FDevices.end(),
                     [](const std::unique_ptr<TDevEntry>& e) { return e->WriteThread.load() != nullptr; });
}

void TDeviceSession::StopAll() {
  for (const std::unique_ptr<TDevEntry>& e : FDevices)
    if (TThread* thread = e->WriteThread.load()) thread->Terminate();
  if (ReadVersionThread != nullptr) ReadVersionThread->Terminate();
}

bool TDeviceSession::LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) {
  return FEvents.LoadFirmware(blocks, version);
}

std::string TDeviceSession::LoadedImageFile() const { return FEvents.LoadedImageFile(); }

void TDeviceSession::SetFlashProgress(TDevEntry& device, const TFlashProgress& progress) {
  FEvents.FlashProgress(device, progress);
}

void TDeviceSession::WriteThreadTerminate(TThread* sender) {
  auto& thread = *static_cast<TWriteThread*>(sender);
  TDevEntry& entry = *thread.FDevice;
  // An error while the result is shown still lets the entry go of its
  // thread (freed right after this handler); it is raised again at the end.
  std::exception_ptr error;
  try {
    TFlashOutcome outcome;
    outcome.Result = thread.FResult;
    outcome.LastAnswer = thread.FLastAnswer;
    outcome.Elapsed = thread.FElapsed;
    outcome.Health = thread.FHealth;
    outcome.Text = DescribeFlashResult(thread.FResult, thread.FLastAnswer, thread.FElapsed);
    FLog.DeviceLog(outcome.Text.LogKind, entry.Serial, outcome.Text.LogLine.c_str());
    // Written by a thread of its own: a file held by another program keeps
    // neither this thread nor any flash waiting.
    FRecords.Add(FlashRecordPath(FAppDir), FlashRecordOf(thread, FProgram, LocalTimeNow()));
    FEvents.FlashEnded(entry, outcome);
  } catch (...) {
    error = std::current_exception();
  }

  // Cleared under the lock: a discovery run reads WriteThread there to ask
  // the flash to stop, and the thread object is freed right after this
  // handler. Whether the device has gone is read in the same step, so that
  // either this handler or the next run's removal pass takes it out.
  bool vanished = false;
  {
    std::lock_guard lock(DeviceListLock);
    entry.WriteThread.store(nullptr);
    vanished = entry.Vanished.load();
  }
  if (vanished) {
    std::lock_guard lock(DeviceListLock);
    LogDeviceDisconnected(FLog, entry.Serial);
    FEvents.DeviceGone(entry);
    RemoveDevice(FDevices, &entry);  // this very entry; its panel goes with it
  }
  if (error) std::rethrow_exception(error);
}

// ---- the end ----

void TDeviceSession::WaitForWorkers() {
  if (FWorkersDone) return;
  FWorkersDone = true;
  FClosing = true;
  // Workers still running refer to device entries and post to the log: ask
  // them to stop and wait for them (serving their hand-overs and end
  // handlers) while every entry is still alive.
  TThread::TerminateAndWaitAll();
  FRecords.Finish(kRecordFinishWaitMs);
}

void TDeviceSession::CloseDevices() {
  if (FClosed) return;
  FClosed = true;
  std::lock_guard lock(DeviceListLock);
  for (std::unique_ptr<TDevEntry>& entry : FDevices) {
    LinkClose(*entry);
    entry.reset();  // its panel goes with it
  }
  FDevices.clear();
}

void TDeviceSession::Close() {
  FClosing = true;
  WaitForWorkers();
  CloseDevices();
}
