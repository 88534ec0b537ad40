#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "records/DevEntry.h"
#include "records/MessageKind.h"
#include "records/OperationLog.h"
#include "records/TextFormat.h"

// Results of a discovery run; they share one number space with the flashing
// results (7 is a failed open for both).
enum TReadVersionResult : std::int32_t {
  rvSuccess = 0,
  rvOpenFailed = 7,  // a new device could not be opened
  rvNoVersion = 8,   // a new device answered neither version query
};

class TReadVersion;
struct TQueryAnswer;

// A new device of a run whose devices fail alone that could not be
// identified.
struct TUnidentifiedDevice {
  std::unique_ptr<TDevEntry> Entry;  // its link closed
  std::int32_t Result = rvSuccess;   // rvOpenFailed or rvNoVersion
  std::int32_t LastAnswer = 0;       // the status of its last framed answer; 0 when none came
};

// What a discovery run needs from the front end that starts it (the main
// window, or one without a window). Nothing of the window reaches the core
// except through this.
class TDiscoveryOwner {
public:
  virtual ~TDiscoveryOwner() = default;
  // The devices the front end shows. The run reads it only in its matching
  // step, holding DeviceListLock; the front end adds and removes entries only
  // while holding the same lock.
  virtual TDeviceList& KnownDevices() = 0;
  // Where the run's lines go; called on the window thread only.
  virtual TOperationLog& DiscoveryLog() = 0;
  // Whether a new device that runs its firmware is asked to restart into its
  // boot loader. Called on the discovery thread, after the device's firmware
  // version is read: the answer may depend only on the entry and on what
  // the owner fixed before the run started.
  [[nodiscard]] virtual bool RestartIntoBootLoader(const TDevEntry& /*entry*/) { return true; }
  // Whether a new device that fails identification fails only itself: each
  // new device then gets the whole exchange whatever the others did, the run
  // succeeds with the devices that answered, and the others are handed over
  // in FUnidentified. Otherwise one such device fails the whole run. Read on
  // the discovery thread when the run starts; fixed before it.
  [[nodiscard]] virtual bool DevicesFailAlone() const { return false; }
  // The end of the run, on the window thread after Execute has returned: the
  // front end takes what it wants of the run's results here. The thread frees
  // itself right after (with FreeOnTerminate set).
  virtual void ReadVersionTerminate(TThread* sender) = 0;
};

// One discovery run: lists the devices of both driver libraries, matches them
// against the known devices (marking gone ones Vanished and asking their
// flashing threads to stop), and identifies the new ones. Created suspended;
// the owner sets FreeOnTerminate and OnTerminate and starts it.
class TReadVersion : public TThread {
public:
  explicit TReadVersion(TDiscoveryOwner& owner);
  ~TReadVersion() override;

  // Creates a run (normal priority, FreeOnTerminate) and starts it, with
  // `onTerminate` as its end handler. Null when no thread could be started:
  // nothing of the owner's is touched then.
  [[nodiscard]] static TReadVersion* Launch(TDiscoveryOwner& owner, std::function<void(TThread*)> onTerminate);

  std::uint32_t FStartTick = 0;
  std::u16string FMessage;  // the line being handed to the window thread
  TMessageKind FMessageKind = mkInfo;
  std::int32_t FMessageSerial = 0;
  // Devices of this run that the owner does not know yet. The owner moves the
  // ones it takes out of this list in its end handler; whatever is left (all
  // of them after a failed run) is destroyed with the thread, links closed.
  TDeviceList FNewDevices;
  // The new devices that could not be identified, when devices fail alone;
  // destroyed with the thread.
  std::vector<TUnidentifiedDevice> FUnidentified;
  // The owner's list, taken in the matching step under DeviceListLock.
  TDeviceList* FDeviceList = nullptr;
  // Some D2XX node of this run could not be read (open in another program,
  // or still without its description after every attempt): a known D2XX
  // device the listing lacks may be that node, so it is not taken for gone.
  bool FFtdiListingPartial = false;
  std::int32_t FResult = rvSuccess;
  // The status word of the last framed answer (at least a whole header) a
  // device gave to the queries 4, 5 and 10 in this run; 0 when none came.
  std::int32_t FLastAnswer = 0;
  std::int32_t FElapsed = 0;

  // Hands a line to the window thread and returns when it is in the log. The
  // format comes from this program only; device texts go in as arguments.
  void PostLog(TMessageKind kind, std::int32_t serial, const char* format, ...) VX_PRINTF(4, 5);
  void PostLogText(TMessageKind kind, std::int32_t serial, const std::string& text);

  // The identification exchange with one new device (its link is opened and
  // closed here). Public for the tests; the run calls it for each new entry.
  bool IdentifyDevice(TDevEntry& entry);
  // Every new device as though it were the run's only one; those that fail
  // move to FUnidentified.
  void IdentifyEachDeviceAlone();
  bool QueryLoaderFirmwareVersion(TDevEntry& entry);
  bool ReadFirmwareVersionText(TDevEntry& entry);
  void ReadLoaderInfo(TDevEntry& entry);
  bool StartBootLoader(TDevEntry& entry);

  // The listing steps, adding to FNewDevices.
  void ListFtdiDevices();
  void ListVxUsbDevices();
  // Marks the known devices that were not listed Vanished (asking their
  // flashing threads to stop) and drops the new entries that are known.
  // Holds DeviceListLock throughout and posts nothing.
  void MatchKnownDevices();

protected:
  void Execute() override;

private:
  void ShowLog();
  // Runs one step of the run; an exception ends the step and is logged once
  // the step has unwound (so after any lock it held is released).
  template <class TStep>
  void RunStep(TStep&& step);
  void PostException(const char* message);
  // One framed query: the request, then one read into `answer` (cleared
  // first). The number of bytes read, or -1 when the request did not go out.
  int Query(TDevEntry& entry, std::uint16_t code, std::uint32_t timeoutMs, TQueryAnswer& answer);
  TDiscoveryOwner& FOwner;
};

// The discovery run in progress, null when none is: at most one at a time.
// Window thread only.
extern TReadVersion* ReadVersionThread;
