#pragma once

// The state all simulated devices share and the one lock that guards it.
// Internal to vxsim: every driver call and control function takes the lock
// (TGuard) for each step it makes.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "sim/DriverTypes.h"
#include "sim/FlashLayouts.h"
#include "sim/Scenario.h"

namespace vxsim {

using SteadyClock = std::chrono::steady_clock;

// Signed distance so that due times work across the wrap of the 32-bit clock.
inline bool Reached(std::uint32_t now, std::uint32_t due) { return static_cast<std::int32_t>(now - due) >= 0; }

// Bytes the device has sent, due at a given tick.
struct TChunk {
  std::uint32_t Due;
  std::vector<std::uint8_t> Bytes;
  std::size_t Taken = 0;
};

struct TDevice {
  TDeviceConfig Cfg;
  bool OnBus = false;
  bool Listed = true;  // false while it has dropped out of its library's device list
  bool BootLoader = true;
  std::uint32_t Generation = 0;  // plugs so far; handles of older plugs are dead
  std::vector<TFlashSector> Map;
  TLoaderVersion Loader;
  std::vector<std::uint8_t> Flash;
  std::vector<std::uint8_t> Input;
  std::uint32_t LastInput = 0;
  std::deque<TChunk> Rx;  // in the order sent, due times never decreasing
  std::uint32_t Handle = 0;
  std::uint32_t ReadTimeout = 0;
  std::uint32_t WriteTimeout = 0;
  bool TimeoutsSet = false;
  std::uint32_t Requests = 0, BadRequests = 0, RefusedRequests = 0, FinishCode = 0;
  std::vector<TFault> Faults;
  std::uint32_t RefuseOpen = 0, RefuseOpenSkip = 0, EmptyDescription = 0;
};

enum class TEventKind { Leave, Return, Relist };
struct TEvent {
  std::uint32_t Due;
  int Device;
  TEventKind Kind;
  std::uint32_t Generation;
  std::uint32_t ReturnDelay;  // for Leave: when to come back, 0 never
  bool EnterLoader;
};

// A plug or unplug still to be announced.
struct TNotice {
  int Device;
  bool Plugged;
};

struct THandleInfo {
  int Device;
  std::uint32_t Generation;
};

struct TRecord {
  VxSimCall Call;
  std::vector<std::uint8_t> Data;
};

class TModel {
public:
  std::mutex M;
  std::vector<TDevice> Devices;
  std::map<std::uint32_t, THandleInfo> Handles;
  std::uint32_t NextHandle = 1;
  std::vector<TRecord> Transcript;
  bool TranscriptOn = true;
  std::vector<TEvent> Events;
  std::uint32_t FailList[2][2] = {{0, 0}, {0, 0}};  // [library][first call, second call]
  std::vector<FT_DEVICE_LIST_INFO_NODE> FtNodes;
  bool HaveFtNodes = false;
  std::vector<TNotice> Pending;
  std::condition_variable TimerCv;
  bool TimerStarted = false;

  std::atomic<bool> Virtual{false};
  std::atomic<std::uint32_t> VirtualNow{0};
  const SteadyClock::time_point Start = SteadyClock::now();

  std::atomic<VxSimNotify> Notify{nullptr};
  std::atomic<void*> NotifyContext{nullptr};

  std::uint32_t Now() const {
    if (Virtual.load()) return VirtualNow.load();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - Start).count());
  }
  std::uint64_t Micros() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - Start).count());
  }
  TDevice& At(int index) { return Devices[static_cast<std::size_t>(index)]; }
};

inline TModel& Model() {
  static TModel* model = new TModel;  // never destroyed: a detached timer thread may still use it
  return *model;
}

// Clock.cpp: timed events and sleeping on the simulator's clock.
void ProcessDueLocked(TModel& m);
void Schedule(TModel& m, const TEvent& e);
void SleepOn(std::uint32_t ms);

// Bus.cpp: plugging and unplugging, with the lock held; the notices go out
// when it is left.
void LeaveBus(TModel& m, int index);
void JoinBus(TModel& m, int index);
// Takes a device on the bus out of its library's device list for `ms` ms
// (at least 1); its handles stay live. Both changes are announced.
void LeaveLists(TModel& m, int index, std::uint32_t ms);
void FireNotices(const std::vector<TNotice>& notices);
// Indexes of the devices of one library that are on the bus, in order.
std::vector<std::uint32_t> BusDevices(const TModel& m, int library);
// The same without the devices that have dropped out of the device list.
std::vector<std::uint32_t> ListedDevices(const TModel& m, int library);

// Holds the model's lock for one step of a driver call, runs what has come due
// first, and raises the notices of the step after letting go of the lock.
class TGuard {
public:
  TGuard() : m_(Model()), lock_(m_.M) { ProcessDueLocked(m_); }
  ~TGuard() {
    std::vector<TNotice> notices;
    notices.swap(m_.Pending);
    lock_.unlock();
    FireNotices(notices);
  }
  TGuard(const TGuard&) = delete;
  TGuard& operator=(const TGuard&) = delete;
  TModel& m() { return m_; }

private:
  TModel& m_;
  std::unique_lock<std::mutex> lock_;
};

}  // namespace vxsim
