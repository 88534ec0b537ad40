#pragma once

#include <string>

#include "discovery/ReadVersion.h"
#include "flashing/WriteThread.h"
#include "records/DevEntry.h"
#include "records/OperationLog.h"
#include "session/RecordWriter.h"
#include "session/SessionEvents.h"

// The life of the devices under one front end: the driver libraries, the
// device list, the discovery runs and the take-over of their devices, the
// flashes and what happens when one ends (its line, its row in the record
// of flashes, a device that left meanwhile), and closing the devices at the
// end. The window and the console flasher each own one and learn what
// happens through TSessionEvents; every call is made on the window thread.
class TDeviceSession : private TDiscoveryOwner, private TWriteThreadOwner {
public:
  // `program` names the front end in the record of flashes.
  TDeviceSession(TSessionEvents& events, TOperationLog& log, std::string program);
  // Closes the session if the front end has not (Close).
  ~TDeviceSession() override;
  TDeviceSession(const TDeviceSession&) = delete;
  TDeviceSession& operator=(const TDeviceSession&) = delete;

  struct TLibraries {
    bool Ftdi = false;
    bool VxUsb = false;
  };
  // Loads each driver library that is not loaded yet (they stay loaded for
  // the process); which of them are there now.
  [[nodiscard]] TLibraries LoadLibraries(const char* vxUsbName);
  // Asks the D2XX driver to look for devices again (where it can).
  void RescanFtdi();

  // A device that fails identification fails only itself (see
  // TDiscoveryOwner::DevicesFailAlone); set before the first run.
  void SetDevicesFailAlone(bool alone) { FDevicesFailAlone = alone; }

  // The record of flashes goes to <appDir>Logs.
  void SetAppDir(const std::string& appDir) { FAppDir = appDir; }

  // The devices listed, in the order they were first listed. The session adds
  // and removes entries, holding DeviceListLock; the front end reads it on the
  // window thread.
  [[nodiscard]] TDeviceList& Devices() { return FDevices; }

  // Starts a discovery run unless one is in progress (true then as well).
  // False once closing has begun, or when no thread could be started (an
  // error line then; nothing else changes).
  bool StartDiscovery();
  [[nodiscard]] bool DiscoveryRunning() const;

  // Starts the flash of a listed entry. Refused (false) while one runs for it
  // (with its line), once closing has begun, and when no thread could be
  // started (an error line; the entry stays as it was).
  bool StartFlash(TDevEntry& entry);
  [[nodiscard]] bool Flashing() const;
  // Asks every running flash and the discovery run to stop.
  void StopAll();

  // From here on no run and no flash starts.
  void BeginClose() { FClosing = true; }
  [[nodiscard]] bool Closing() const { return FClosing; }
  // Asks every worker to stop and waits for them, serving their hand-overs
  // and end handlers; then waits a bounded time for the record's queued rows.
  void WaitForWorkers();
  // Closes every device link and destroys every entry (with its panel).
  void CloseDevices();
  // All three, for a front end that has nothing to do in between.
  void Close();

  // The end handlers of the runs and flashes the session starts; public for
  // the tests that end a run or a flash of their own making.
  void ReadVersionTerminate(TThread* sender) override;
  void WriteThreadTerminate(TThread* sender) override;

  [[nodiscard]] const TFlashRecordWriter& Records() const { return FRecords; }

private:
  // TDiscoveryOwner
  TDeviceList& KnownDevices() override { return FDevices; }
  TOperationLog& DiscoveryLog() override { return FLog; }
  [[nodiscard]] bool RestartIntoBootLoader(const TDevEntry& entry) override;
  [[nodiscard]] bool DevicesFailAlone() const override { return FDevicesFailAlone; }
  // TWriteThreadOwner
  TOperationLog& FlashLog() override { return FLog; }
  [[nodiscard]] bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) override;
  [[nodiscard]] std::string LoadedImageFile() const override;
  void SetFlashProgress(TDevEntry& device, const TFlashProgress& progress) override;

  // Holding DeviceListLock: the passes at the end of a successful run.
  void RemoveVanished();
  void ListNewDevices(TReadVersion& run);
  // Runs an end handler; an exception goes to the front end.
  template <class F>
  void Guarded(F handler);

  TSessionEvents& FEvents;
  TOperationLog& FLog;
  const std::string FProgram;
  std::string FAppDir;
  TDeviceList FDevices;
  TFlashRecordWriter FRecords;
  bool FDevicesFailAlone = false;
  bool FClosing = false;
  bool FWorkersDone = false;
  bool FClosed = false;
};
