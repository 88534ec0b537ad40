#pragma once

#include "discovery/ReadVersion.h"
#include "flashing/LinkHealth.h"
#include "flashing/WriteResult.h"
#include "flashing/WriteThread.h"
#include "records/DevEntry.h"
#include "records/FirmwareBlock.h"
#include "records/FirmwareVersion.h"

// How a flash ended, as the session hands it to its front end.
struct TFlashOutcome {
  std::int32_t Result = wrSuccess;
  std::int32_t LastAnswer = 0;
  std::int32_t Elapsed = 0;
  TLinkHealth Health;
  TFlashResultText Text;  // the panel's message and the log line, already logged
};

// What a device session tells its front end, and the little it asks of it.
// Every call but RestartIntoBootLoader runs on the window thread.
class TSessionEvents {
public:
  virtual ~TSessionEvents() = default;

  // Discovery thread: whether a new device that runs its firmware is asked to
  // restart into its boot loader. Only the entry and what the front end fixed
  // before the run may decide it.
  [[nodiscard]] virtual bool RestartIntoBootLoader(const TDevEntry& entry) = 0;

  // A new device taken into the list, holding DeviceListLock, after its lines
  // ("Прибор подключен" and its identity). An exception takes it out again
  // and ends the run's addition pass.
  virtual void DeviceListed(TDevEntry& entry) = 0;
  // A new device that could not be identified, in a run whose devices fail
  // alone; it is destroyed with the run.
  virtual void DeviceUnidentified(const TUnidentifiedDevice& /*device*/) {}
  // A device about to be destroyed because it has gone, after its line.
  virtual void DeviceGone(TDevEntry& /*entry*/) {}
  // A discovery run ended (its lists updated when it succeeded).
  virtual void DiscoveryEnded(bool /*succeeded*/) {}

  // A flash began for the entry (its thread runs, its line is logged).
  virtual void FlashStarted(TDevEntry& entry) = 0;
  virtual void FlashProgress(TDevEntry& entry, const TFlashProgress& progress) = 0;
  // A flash ended: its result line is logged and its row queued for the
  // record; the entry's WriteThread is cleared right after.
  virtual void FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) = 0;

  // An end handler failed with an exception; called inside the catch block.
  virtual void HandlerFailed() {}

  // The image a flash loads (the front end knows its source).
  [[nodiscard]] virtual bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) = 0;
  [[nodiscard]] virtual std::string LoadedImageFile() const = 0;
};
