#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "console/Arguments.h"
#include "console/ConsoleOutput.h"
#include "firmware/FirmwareSource.h"
#include "flashing/LinkHealth.h"
#include "platform/ConsoleHost.h"
#include "records/DevEntry.h"
#include "records/FirmwareVersion.h"
#include "records/OperationLog.h"
#include "session/DeviceSession.h"
#include "session/LogFile.h"

// Exit statuses of the console flasher.
enum TConsoleExit : int {
  ceDone = 0,        // every selected device flashed or skipped (list: listed)
  ceFailed = 1,      // at least one flash failed, or the run was interrupted
  ceUsage = 2,       // bad usage, a refused image, no driver library
  ceTooFew = 3,      // fewer devices than expected when the time-out passed
};

// The front end without a window: runs discovery on device changes and
// flashes the selected devices through the same device session the window
// uses. Everything runs on the calling thread, which serves the workers'
// hand-overs in its loop.
class TConsoleFlasher : public TOperationLog,
                        public TFirmwareSources,
                        public TSessionEvents {
public:
  TConsoleFlasher(const TConsoleOptions& options, TConsoleOutput& output);
  ~TConsoleFlasher() override;

  // The whole command; returns the exit status.
  [[nodiscard]] int Run();

  // Set (by the Ctrl+C handler) to stop: running flashes are asked to end.
  std::atomic<bool> FInterrupted{false};

  // The session's devices, for a crash report (see DeviceListLock).
  [[nodiscard]] TDeviceList& Devices() { return FSession.Devices(); }

  // Every line of the log goes to the day's log file; errors are also shown.
  void DeviceLog(TMessageKind kind, int serial, const char* text) override;

  // What the session reports.
  [[nodiscard]] bool RestartIntoBootLoader(const TDevEntry& entry) override;
  void DeviceListed(TDevEntry& entry) override;
  void DeviceUnidentified(const TUnidentifiedDevice& device) override;
  void DiscoveryEnded(bool succeeded) override;
  void FlashStarted(TDevEntry& entry) override;
  void FlashProgress(TDevEntry& entry, const TFlashProgress& progress) override;
  void FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) override;
  void HandlerFailed() override;
  [[nodiscard]] bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) override;
  [[nodiscard]] std::string LoadedImageFile() const override { return FOptions.ImageFile; }

private:
  enum class TState { Ready, Restarting, Flashing, Flashed, Skipped, Failed, Unfinished };
  // A selected device, by serial, from the first time it is seen.
  struct TTarget {
    TState State = TState::Ready;
    std::string Reason;          // Windows-1251
    int Percent = 0;
    std::int32_t Done = 0, Total = 0;  // 512-byte units
    std::uint32_t StartTick = 0;
    std::uint32_t ProgressShownAt = 0;
    bool ProgressShown = false;
    int Result = -1, LastAnswer = 0, Elapsed = 0;
    TLinkHealth Health;  // of the flash that ended
  };

  [[nodiscard]] bool LoadLibraries();
  [[nodiscard]] int LoadImage();
  void HookDeviceChanges();
  void StartDiscovery();
  void Loop();
  [[nodiscard]] bool Selected(std::int32_t serial) const;
  // Left alone by --skip-same: its firmware is the image's version.
  [[nodiscard]] bool SameAsImage(const TDevEntry& entry) const;
  [[nodiscard]] int ExpectedCount() const;
  void StartReadyFlashes();
  void Stop();
  void ShowDevice(const TDevEntry& entry);
  void ShowStatus(std::int32_t serial, const TTarget& target, bool changed);
  void ShowResult(std::int32_t serial, const TTarget& target);
  [[nodiscard]] int Summary(bool tooFew);
  void FinishLogFile();

  const TConsoleOptions& FOptions;
  TConsoleOutput& FOut;
  TDeviceChangeWatch FWatch;
  std::string FAppDir;
  TLogFileWriter FLogFile;  // the day's file, open during a turn of hand-overs
  TDeviceSession FSession{*this, *this, "vxflash"};
  TFirmwareVersion FImageVersion;
  std::map<std::int32_t, TTarget> FTargets;
  // Devices that could not be identified, by library and serial: each is
  // named once, though every later run tries it again.
  std::set<std::pair<int, std::int32_t>> FUnidentified;
  std::uint32_t FStartTick = 0;
  std::uint32_t FRescanAt = 0;
  bool FRescanDue = false;
  int FRunsDone = 0;
  bool FStarted = false;   // the flashes may begin (enough devices present)
  bool FStopping = false;
};
