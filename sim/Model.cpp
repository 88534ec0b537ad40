#include "sim/Model.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "flashing/SectorMaps.h"
#include "link/PacketChecksum.h"
#include "sim/DriverTypes.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vxsim {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kHeader = 14;
constexpr std::size_t kBlock = 512;
constexpr std::size_t kBlockPacket = kHeader + kBlock;
constexpr std::uint16_t kDone = 128, kProtected = 131, kLocked = 138;
constexpr std::uint16_t kUnknownCommand = 129, kBadAddress = 132;
constexpr std::uint32_t kUnsetTimeoutCap = 60000;  // a driver time-out never set waits "forever"
constexpr std::uint32_t kRqDefaultReadTimeout = 1000;
constexpr std::size_t kTextInputLimit = 256;
constexpr std::uintptr_t kHandleBase = 0x5A000;

// Signed distance so that due times work across the wrap of the 32-bit clock.
bool Reached(std::uint32_t now, std::uint32_t due) { return static_cast<std::int32_t>(now - due) >= 0; }

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct TChunk {
  std::uint32_t Due;
  std::vector<std::uint8_t> Bytes;
  std::size_t Taken = 0;
};

struct TDevice {
  TDeviceConfig Cfg;
  bool OnBus = false;
  bool BootLoader = true;
  std::uint32_t Generation = 0;  // plugs so far; handles of older plugs are dead
  std::vector<TSectorInfo> Map;
  std::vector<std::uint8_t> Flash;
  std::vector<std::uint8_t> Input;
  std::uint32_t LastInput = 0;
  std::deque<TChunk> Rx;  // in the order sent, due times never decreasing
  std::uint32_t Handle = 0;
  std::uint32_t ReadTimeout = 0;
  std::uint32_t WriteTimeout = 0;
  bool TimeoutsSet = false;
  std::uint32_t Requests = 0, BadRequests = 0, FinishCode = 0;
  std::vector<TFault> Faults;
  std::uint32_t RefuseOpen = 0, EmptyDescription = 0;
};

enum class TEventKind { Leave, Return };
struct TEvent {
  std::uint32_t Due;
  int Device;
  TEventKind Kind;
  std::uint32_t Generation;
  std::uint32_t ReturnDelay;  // for Leave: when to come back, 0 never
  bool EnterLoader;
};

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
};

TModel& Model() {
  static TModel* model = new TModel;  // never destroyed: a detached timer thread may still use it
  return *model;
}

#ifdef _WIN32
// What Windows broadcasts when a device comes or goes: WM_DEVICECHANGE with
// DBT_DEVNODES_CHANGED (7), lParam 0, to every top-level window; here only to
// the windows of this process.
BOOL CALLBACK PostDeviceChange(HWND window, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == GetCurrentProcessId()) PostMessageW(window, WM_DEVICECHANGE, 0x0007, 0);
  return TRUE;
}
#endif

void FireNotices(const std::vector<TNotice>& notices) {
  if (notices.empty()) return;
  TModel& m = Model();
  for (const TNotice& n : notices)
    if (VxSimNotify cb = m.Notify.load()) cb(m.NotifyContext.load(), n.Device, n.Plugged ? 1 : 0);
#ifdef _WIN32
  EnumWindows(PostDeviceChange, 0);
#endif
}

void StartTimerLocked(TModel& m);

// Plug state changes, with the lock held; the notices go out when it is left.
void LeaveBus(TModel& m, int index) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  if (!d.OnBus) return;
  d.OnBus = false;
  d.Handle = 0;
  d.Input.clear();
  d.Rx.clear();
  m.Pending.push_back({index, false});
}

void JoinBus(TModel& m, int index) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  if (d.OnBus) return;
  d.OnBus = true;
  ++d.Generation;
  d.Handle = 0;
  d.Input.clear();
  d.Rx.clear();
  d.TimeoutsSet = false;
  m.Pending.push_back({index, true});
}

void Schedule(TModel& m, const TEvent& e) {
  m.Events.push_back(e);
  StartTimerLocked(m);
  m.TimerCv.notify_all();
}

void ProcessDueLocked(TModel& m) {
  const std::uint32_t now = m.Now();
  for (std::size_t i = 0; i < m.Events.size();) {
    const TEvent e = m.Events[i];
    if (!Reached(now, e.Due)) {
      ++i;
      continue;
    }
    m.Events.erase(m.Events.begin() + static_cast<std::ptrdiff_t>(i));
    TDevice& d = m.Devices[static_cast<std::size_t>(e.Device)];
    if (d.Generation != e.Generation) continue;  // replugged meanwhile
    if (e.Kind == TEventKind::Leave) {
      LeaveBus(m, e.Device);
      if (e.ReturnDelay != 0)
        m.Events.push_back({e.Due + e.ReturnDelay, e.Device, TEventKind::Return, d.Generation, 0, e.EnterLoader});
    } else {
      if (e.EnterLoader) d.BootLoader = true;
      JoinBus(m, e.Device);
    }
    i = 0;  // a Leave may have added a Return that is already due
  }
}

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

void TimerLoop() {
  TModel& m = Model();
  for (;;) {
    std::vector<TNotice> notices;
    {
      std::unique_lock<std::mutex> lock(m.M);
      ProcessDueLocked(m);
      notices.swap(m.Pending);
      std::uint32_t wait = 100;
      if (!m.Virtual.load() && !m.Events.empty()) {
        const std::uint32_t now = m.Now();
        for (const TEvent& e : m.Events)
          wait = std::min(wait, Reached(now, e.Due) ? 0u : e.Due - now);
      }
      if (notices.empty()) m.TimerCv.wait_for(lock, std::chrono::milliseconds(std::max(wait, 1u)));
    }
    FireNotices(notices);
  }
}

void StartTimerLocked(TModel& m) {
  if (m.TimerStarted) return;
  m.TimerStarted = true;
  std::thread(TimerLoop).detach();
}

// Sleeps on the simulator's clock, without the lock.
void SleepOn(std::uint32_t ms) {
  TModel& m = Model();
  if (m.Virtual.load()) {
    m.VirtualNow.fetch_add(ms);
    { TGuard g; }
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

// ---- transcript ----

class TCallRecord {
public:
  TCallRecord(int library, const char* function) {
    TModel& m = Model();
    std::memset(&r_.Call, 0, sizeof r_.Call);
    r_.Call.Tick = m.Now();
    r_.Call.Micros = m.Micros();
    r_.Call.Library = library;
    r_.Call.Device = -1;
    std::snprintf(r_.Call.Function, sizeof r_.Call.Function, "%s", function);
  }
  void Device(int d) { r_.Call.Device = d; }
  void Arg(int i, std::uint32_t v) { r_.Call.Args[i] = v; }
  void Data(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    r_.Data.assign(b, b + n);
    r_.Call.DataLength = static_cast<std::uint32_t>(n);
  }
  // Stores the record; the caller holds the lock.
  template <typename R>
  R Finish(TModel& m, R result) {
    r_.Call.Result = static_cast<std::int32_t>(result);
    r_.Call.EndTick = m.Now();
    if (m.TranscriptOn) m.Transcript.push_back(std::move(r_));
    return result;
  }
  template <typename R>
  R Done(R result) {
    TGuard g;
    return Finish(g.m(), result);
  }

private:
  TRecord r_;
};

// ---- device behaviour ----

void AnswerHeader(std::vector<std::uint8_t>& a, std::uint16_t status, std::uint16_t param, std::uint32_t offset) {
  if (a.size() < kHeader) a.resize(kHeader);
  Put16(a.data(), static_cast<std::uint32_t>(a.size()));
  Put16(a.data() + 2, kHeader);
  Put16(a.data() + 4, status);
  Put16(a.data() + 6, param);
  Put32(a.data() + 8, offset);
  Put16(a.data() + 12, 0);
  Put16(a.data() + 12, PacketChecksum(a.data(), static_cast<std::uint16_t>(a.size())));
}

std::vector<TFault> TakeFaults(TDevice& d, std::uint16_t code, bool writes) {
  std::vector<TFault> active;
  for (auto it = d.Faults.begin(); it != d.Faults.end();) {
    const bool isWrite = it->Kind == TFaultKind::ShortWrite;
    if (isWrite != writes || (it->Code != 0 && it->Code != code)) {
      ++it;
      continue;
    }
    if (it->Skip > 0) {
      --it->Skip;
      ++it;
      continue;
    }
    active.push_back(*it);
    if (--it->Times == 0)
      it = d.Faults.erase(it);
    else
      ++it;
  }
  return active;
}

// The device answers in order: an answer never overtakes one sent before it.
void QueueBytes(TDevice& d, std::uint32_t due, std::vector<std::uint8_t> bytes) {
  if (!d.Rx.empty() && !Reached(due, d.Rx.back().Due)) due = d.Rx.back().Due;
  d.Rx.push_back(TChunk{due, std::move(bytes)});
}

// Queues an answer, changed or held back by the faults that apply to its request.
void Deliver(TModel& m, int index, std::vector<std::uint8_t> answer, const std::vector<TFault>& faults,
             bool framed) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  std::uint32_t delay = d.Cfg.Latency;
  bool lost = false;
  for (const TFault& f : faults) {
    switch (f.Kind) {
      case TFaultKind::NoAnswer: lost = true; break;
      case TFaultKind::Late: delay += f.Value; break;
      case TFaultKind::WrongSector:
        if (framed && answer.size() >= kHeader)
          AnswerHeader(answer, Get16(answer.data() + 4), static_cast<std::uint16_t>(Get16(answer.data() + 6) + 1),
                       Get32(answer.data() + 8));
        break;
      case TFaultKind::WrongOffset:
        if (framed && answer.size() >= kHeader)
          AnswerHeader(answer, Get16(answer.data() + 4), Get16(answer.data() + 6), Get32(answer.data() + 8) + 512);
        break;
      default: break;
    }
  }
  for (const TFault& f : faults) {
    if (f.Kind == TFaultKind::Damaged && !answer.empty()) {
      const std::size_t at = f.Value != 0 && f.Value < answer.size() ? f.Value : answer.size() - 1;
      answer[at] = static_cast<std::uint8_t>(~answer[at]);
    }
    if (f.Kind == TFaultKind::ShortAnswer) answer.resize(std::min<std::size_t>(answer.size(), f.Value ? f.Value : 13));
  }
  if (!lost && !answer.empty()) QueueBytes(d, m.Now() + delay, std::move(answer));
}

bool UnplugFault(TModel& m, int index, const std::vector<TFault>& faults) {
  for (const TFault& f : faults) {
    if (f.Kind != TFaultKind::Unplug) continue;
    TDevice& d = m.Devices[static_cast<std::size_t>(index)];
    const std::uint32_t generation = d.Generation;
    LeaveBus(m, index);
    if (f.Value != 0) Schedule(m, {m.Now() + f.Value, index, TEventKind::Return, generation, 0, false});
    return true;
  }
  return false;
}

// Whether [offset, offset + size) lies inside sector `sector` and the flash.
bool InSector(const TDevice& d, std::uint16_t sector, std::uint32_t offset, std::uint32_t size) {
  if (sector >= d.Map.size()) return false;
  const TSectorInfo& s = d.Map[sector];
  return offset >= s.Offset && offset + size <= s.Offset + s.Size && offset + size <= d.Flash.size();
}

void HandleRequest(TModel& m, int index, const std::vector<std::uint8_t>& frame) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  const std::uint16_t length = Get16(frame.data());
  const std::uint16_t code = Get16(frame.data() + 4);
  const std::uint16_t param = Get16(frame.data() + 6);
  const std::uint32_t offset = Get32(frame.data() + 8);
  ++d.Requests;
  const std::vector<TFault> faults = TakeFaults(d, code, false);
  if (UnplugFault(m, index, faults)) return;

  std::vector<std::uint8_t> answer(kHeader, 0);
  std::uint16_t status = kDone;
  const auto withText = [&answer](const std::string& text) {
    answer.insert(answer.end(), text.begin(), text.end());
    answer.push_back(0);
  };
  switch (code) {
    case 4: withText(d.Cfg.FirmwareVersion); break;
    case 5: withText(d.Cfg.LoaderVersion); break;
    case 10:
      answer.resize(kHeader + 4);
      Put32(answer.data() + kHeader, d.Cfg.ProcessorId);
      break;
    case 11:
    case 12: d.FinishCode = code; break;
    case 1:
    case 6:
      if (length != kHeader || param >= d.Map.size() || d.Map[param].Offset != offset ||
          !InSector(d, param, offset, d.Map[param].Size))
        status = kBadAddress;
      else if (d.Cfg.Locked)
        status = kLocked;
      else if (d.Cfg.Protected.count(param))
        status = kProtected;
      else
        std::fill_n(d.Flash.begin() + offset, d.Map[param].Size, std::uint8_t{0xFF});
      break;
    case 2:
    case 7:
      if (length != kBlockPacket || !InSector(d, param, offset, kBlock) || (offset - d.Map[param].Offset) % kBlock)
        status = kBadAddress;
      else if (d.Cfg.Locked)
        status = kLocked;
      else if (d.Cfg.Protected.count(param))
        status = kProtected;
      else  // flash bits only go from 1 to 0: writing needs an erase first
        for (std::size_t i = 0; i < kBlock; ++i) d.Flash[offset + i] &= frame[kHeader + i];
      break;
    default: status = kUnknownCommand; break;
  }
  AnswerHeader(answer, status, param, offset);
  Deliver(m, index, std::move(answer), faults, true);
}

// Boot loader: a request is framed by its Length field. Anything that is not a
// whole, well-formed request with a good checksum is dropped together with
// whatever else is waiting, and not answered: the host's time-out and retry
// recover, and the next request starts on a clean buffer.
void ProcessFrames(TModel& m, int index) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  while (d.Input.size() >= 2) {
    const std::uint16_t length = Get16(d.Input.data());
    if (length < kHeader || length > kBlockPacket) {
      ++d.BadRequests;
      d.Input.clear();
      return;
    }
    if (d.Input.size() < length) return;
    std::vector<std::uint8_t> frame(d.Input.begin(), d.Input.begin() + length);
    const std::uint16_t stored = Get16(frame.data() + 12);
    Put16(frame.data() + 12, 0);
    const bool good = Get16(frame.data() + 2) == kHeader && (length == kHeader || length == kBlockPacket) &&
                      PacketChecksum(frame.data(), length) == stored;
    Put16(frame.data() + 12, stored);
    if (!good) {
      ++d.BadRequests;
      d.Input.clear();
      return;
    }
    d.Input.erase(d.Input.begin(), d.Input.begin() + length);
    HandleRequest(m, index, frame);
    if (!d.OnBus) return;
  }
}

bool EndsWith(const std::vector<std::uint8_t>& input, const char* text) {
  const std::size_t n = std::strlen(text);
  return input.size() >= n && std::memcmp(input.data() + input.size() - n, text, n) == 0;
}

// Normal firmware: two text commands, recognised at the end of what arrived.
void ProcessText(TModel& m, int index) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  const bool version = EndsWith(d.Input, "FL_READ_VERSION$");
  const bool start = EndsWith(d.Input, "START_BOOT_LOADER");
  if (!version && !start) {
    if (d.Input.size() > kTextInputLimit)
      d.Input.erase(d.Input.begin(), d.Input.end() - static_cast<std::ptrdiff_t>(kTextInputLimit));
    return;
  }
  d.Input.clear();
  ++d.Requests;
  const std::vector<TFault> faults = TakeFaults(d, 0, false);
  if (UnplugFault(m, index, faults)) return;
  if (version) {
    Deliver(m, index, std::vector<std::uint8_t>(d.Cfg.FirmwareVersion.begin(), d.Cfg.FirmwareVersion.end()), faults,
            false);
    return;
  }
  if (d.Cfg.AnswerStart)
    Deliver(m, index, std::vector<std::uint8_t>(d.Cfg.StartAnswer.begin(), d.Cfg.StartAnswer.end()), faults, false);
  if (d.Cfg.AnswerStart && d.Cfg.StartAnswer.compare(0, 7, "STARTED") == 0)
    Schedule(m, {m.Now() + d.Cfg.Latency + d.Cfg.LeaveDelay, index, TEventKind::Leave, d.Generation,
                 std::max<std::uint32_t>(d.Cfg.RestartDelay, 1), true});
}

void Receive(TModel& m, int index, const std::uint8_t* p, std::size_t n) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  const std::uint32_t now = m.Now();
  if (!d.Input.empty() && !Reached(d.LastInput + d.Cfg.FrameGap, now + 1)) d.Input.clear();
  d.LastInput = now;
  d.Input.insert(d.Input.end(), p, p + n);
  if (d.BootLoader)
    ProcessFrames(m, index);
  else
    ProcessText(m, index);
}

std::uint32_t Available(const TDevice& d, std::uint32_t now) {
  std::uint32_t n = 0;
  for (const TChunk& c : d.Rx) {
    if (!Reached(now, c.Due)) break;
    n += static_cast<std::uint32_t>(c.Bytes.size() - c.Taken);
  }
  return n;
}

std::uint32_t TakeBytes(TDevice& d, std::uint8_t* out, std::uint32_t count) {
  std::uint32_t done = 0;
  while (done < count && !d.Rx.empty()) {
    TChunk& c = d.Rx.front();
    const std::size_t n = std::min<std::size_t>(count - done, c.Bytes.size() - c.Taken);
    std::memcpy(out + done, c.Bytes.data() + c.Taken, n);
    c.Taken += n;
    done += static_cast<std::uint32_t>(n);
    if (c.Taken == c.Bytes.size()) d.Rx.pop_front();
  }
  return done;
}

// When the next byte that is not there yet will be, if any.
bool NextDue(const TDevice& d, std::uint32_t now, std::uint32_t* due) {
  for (const TChunk& c : d.Rx)
    if (!Reached(now, c.Due)) {
      *due = c.Due;
      return true;
    }
  return false;
}

// ---- handles ----

void* HandleValue(std::uint32_t id) { return reinterpret_cast<void*>(kHandleBase + id * 16); }

enum class THandleState { Invalid, Dead, Live };

THandleState Resolve(TModel& m, void* handle, int* device) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < kHandleBase || (value - kHandleBase) % 16 != 0) return THandleState::Invalid;
  const auto it = m.Handles.find(static_cast<std::uint32_t>((value - kHandleBase) / 16));
  if (it == m.Handles.end() || it->second.Device >= static_cast<int>(m.Devices.size())) return THandleState::Invalid;
  *device = it->second.Device;
  const TDevice& d = m.Devices[static_cast<std::size_t>(*device)];
  if (!d.OnBus || d.Generation != it->second.Generation || d.Handle != it->first) return THandleState::Dead;
  return THandleState::Live;
}

std::uint32_t HandleId(void* handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  return value >= kHandleBase ? static_cast<std::uint32_t>((value - kHandleBase) / 16) : 0;
}

// Opens device `index` if it can be; the driver's result code by library.
int OpenDevice(TModel& m, int index, void** handle) {
  TDevice& d = m.Devices[static_cast<std::size_t>(index)];
  const bool ftdi = d.Cfg.Library == VXSIM_FTDI;
  if (d.Handle != 0) return ftdi ? static_cast<int>(FT_DEVICE_NOT_OPENED) : RQ_ERROR_BUSY;
  if (d.RefuseOpen > 0) {
    --d.RefuseOpen;
    return ftdi ? static_cast<int>(FT_DEVICE_NOT_OPENED) : RQ_ERROR_BUSY;
  }
  const std::uint32_t id = m.NextHandle++;
  m.Handles[id] = {index, d.Generation};
  d.Handle = id;
  d.TimeoutsSet = false;
  d.ReadTimeout = ftdi ? 0 : kRqDefaultReadTimeout;
  d.Input.clear();
  *handle = HandleValue(id);
  return 0;
}

void CloseHandle(TModel& m, void* handle) {
  const std::uint32_t id = HandleId(handle);
  const auto it = m.Handles.find(id);
  if (it == m.Handles.end()) return;
  TDevice& d = m.Devices[static_cast<std::size_t>(it->second.Device)];
  if (d.Handle == id) d.Handle = 0;
  m.Handles.erase(it);
}

void CopyBounded(char* out, std::size_t size, const std::string& text) {
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), std::min(size, text.size()));  // no terminator when it fills the field
}

void BuildFtNodes(TModel& m) {
  m.FtNodes.clear();
  for (std::size_t i = 0; i < m.Devices.size(); ++i) {
    TDevice& d = m.Devices[i];
    if (d.Cfg.Library != VXSIM_FTDI || !d.OnBus) continue;
    FT_DEVICE_LIST_INFO_NODE node;
    std::memset(&node, 0, sizeof node);
    node.Flags = d.Handle != 0 ? FT_FLAGS_OPENED : 0;
    node.Type = FT_DEVICE_232R;
    node.ID = 0x04036001;
    node.LocId = static_cast<FT_ULONG>(0x1000 + i);
    CopyBounded(node.SerialNumber, sizeof node.SerialNumber, d.Cfg.Serial);
    if (d.EmptyDescription > 0)
      --d.EmptyDescription;
    else
      CopyBounded(node.Description, sizeof node.Description, d.Cfg.Description);
    node.ftHandle = d.Handle != 0 ? HandleValue(d.Handle) : nullptr;
    m.FtNodes.push_back(node);
  }
  m.HaveFtNodes = true;
}

std::vector<std::uint32_t> BusDevices(const TModel& m, int library) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < m.Devices.size(); ++i)
    if (m.Devices[i].Cfg.Library == library && m.Devices[i].OnBus) out.push_back(static_cast<std::uint32_t>(i));
  return out;
}

std::once_flag environmentScenario;

void LoadEnvironmentScenario() {
  std::call_once(environmentScenario, [] {
    if (const char* path = std::getenv("VXSIM_SCENARIO"); path != nullptr && *path != '\0') {
      char error[256] = "";
      if (VxSim_LoadScenarioFile(path, error, sizeof error) != 0)
        std::fprintf(stderr, "vxsim: scenario %s: %s\n", path, error);
    }
  });
}

TSectorMap MapByName(const std::string& name, std::uint32_t processorId) {
  if (name == "4K") return SectorMap4K;
  if (name == "256K") return SectorMap256K;
  if (name == "512K") return SectorMap512K;
  if (name == "pages") return SectorMapPages;
  if (name == "boot27") return SectorMapBoot27;
  if (name == "boot28") return SectorMapBoot28;
  if (const TProcessorInfo* p = FindProcessor(processorId)) return *p->SectorMap;
  return SectorMap512K;
}

// The device behind a live handle; null with the library's error code.
TDevice* LiveDevice(TModel& m, TCallRecord& rec, void* handle, int library, int* error) {
  int index = -1;
  const THandleState state = Resolve(m, handle, &index);
  rec.Device(index);
  if (state == THandleState::Live) return &m.Devices[static_cast<std::size_t>(index)];
  const bool dead = state == THandleState::Dead;
  *error = library == VXSIM_FTDI ? static_cast<int>(dead ? FT_IO_ERROR : FT_INVALID_HANDLE)
                                 : (dead ? RQ_ERROR_IO : RQ_ERROR_HANDLE);
  return nullptr;
}

// A wait for receive-queue bytes: until `enough` of them are due or the time-out
// passes. Returns the driver's status; `got` receives the bytes taken.
template <typename Enough>
int WaitAndTake(TCallRecord& rec, void* handle, std::uint8_t* buffer, std::uint32_t maximum, bool ftdi,
                Enough enough, std::uint32_t* got) {
  TModel& m = Model();
  const std::uint32_t start = m.Now();
  for (;;) {
    std::uint32_t wait = 1;
    {
      TGuard g;
      int error = 0;
      TDevice* live = LiveDevice(m, rec, handle, ftdi ? VXSIM_FTDI : VXSIM_VXUSB, &error);
      if (live == nullptr) {
        *got = 0;
        return rec.Finish(m, error);
      }
      TDevice& d = *live;
      const std::uint32_t timeout = d.TimeoutsSet || !ftdi ? d.ReadTimeout : 0;
      const std::uint32_t limit = timeout == 0 && ftdi ? kUnsetTimeoutCap : timeout;
      const std::uint32_t now = m.Now();
      const std::uint32_t available = Available(d, now);
      if (enough(available) || now - start >= limit) {
        *got = TakeBytes(d, buffer, std::min(available, maximum));
        rec.Arg(2, *got);
        rec.Data(buffer, *got);
        const int code = ftdi ? 0 : (*got > 0 ? RQ_OK : RQ_TIMEOUT);
        return rec.Finish(m, code);
      }
      if (m.Virtual.load()) {
        std::uint32_t due = 0;
        const std::uint32_t left = limit - (now - start);
        wait = NextDue(d, now, &due) && due - now < left ? due - now : left;
        wait = std::max<std::uint32_t>(wait, 1);
      }
    }
    SleepOn(wait);
  }
}

int WriteBytes(int library, const char* name, void* handle, const void* data, std::uint32_t count,
               std::uint32_t* written) {
  TCallRecord rec(library, name);
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, count);
  const bool ftdi = library == VXSIM_FTDI;
  TGuard g;
  TModel& m = g.m();
  if (written == nullptr || (data == nullptr && count > 0))
    return rec.Finish(m, ftdi ? static_cast<int>(FT_INVALID_PARAMETER) : RQ_ERROR_PARAMETER);
  *written = 0;
  int error = 0;
  TDevice* live = LiveDevice(m, rec, handle, library, &error);
  if (live == nullptr) return rec.Finish(m, error);
  TDevice& d = *live;
  std::uint32_t n = count;
  if (n > 0 && !TakeFaults(d, 0, true).empty()) --n;
  rec.Data(data, n);
  rec.Arg(2, n);
  *written = n;
  Receive(m, static_cast<int>(live - m.Devices.data()), static_cast<const std::uint8_t*>(data), n);
  return rec.Finish(m, 0);
}

int SetTimeouts(int library, const char* name, void* handle, std::uint32_t readTimeout, std::uint32_t writeTimeout) {
  TCallRecord rec(library, name);
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, readTimeout);
  rec.Arg(2, writeTimeout);
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, library, &error);
  if (d == nullptr) return rec.Finish(g.m(), error);
  d->ReadTimeout = readTimeout;
  d->WriteTimeout = writeTimeout;
  d->TimeoutsSet = true;
  return rec.Finish(g.m(), 0);
}

}  // namespace

void ApplyScenario(const TScenario& s) {
  TGuard g;
  TModel& m = g.m();
  if (s.SetClock) {
    m.Virtual.store(s.VirtualClock);
    m.VirtualNow.store(s.ClockStart);
  }
  for (int lib = 0; lib < 2; ++lib)
    for (int call = 0; call < 2; ++call) m.FailList[lib][call] += s.FailList[lib][call];
  for (const TDeviceConfig& cfg : s.Devices) {
    TDevice d;
    d.Cfg = cfg;
    const TSectorMap map = MapByName(cfg.SectorMap, cfg.ProcessorId);
    d.Map.assign(map.begin(), map.end());
    d.Flash.assign(map.empty() ? 0 : map.back().Offset + map.back().Size, cfg.FlashFill);
    d.BootLoader = cfg.BootLoader;
    d.Faults = cfg.Faults;
    d.RefuseOpen = cfg.RefuseOpen;
    d.EmptyDescription = cfg.EmptyDescription;
    m.Devices.push_back(std::move(d));
    if (cfg.Plugged) JoinBus(m, static_cast<int>(m.Devices.size() - 1));
  }
}

}  // namespace vxsim

using namespace vxsim;

// ---- control interface ----

extern "C" {

void VxSim_Reset(void) {
  TGuard g;
  TModel& m = g.m();
  m.Devices.clear();
  m.Handles.clear();
  m.Events.clear();
  m.Transcript.clear();
  m.TranscriptOn = true;
  std::memset(m.FailList, 0, sizeof m.FailList);
  m.FtNodes.clear();
  m.HaveFtNodes = false;
  m.Pending.clear();
  m.Virtual.store(false);
}

int VxSim_LoadScenario(const char* text, char* error, uint32_t errorSize) {
  TScenario s;
  std::string message;
  const int line = ParseScenario(text != nullptr ? text : "", s, message);
  if (line != 0) {
    if (error != nullptr && errorSize > 0) std::snprintf(error, errorSize, "line %d: %s", line, message.c_str());
    return line;
  }
  ApplyScenario(s);
  return 0;
}

int VxSim_LoadScenarioFile(const char* path, char* error, uint32_t errorSize) {
  std::ifstream in(path != nullptr ? path : "", std::ios::binary);
  if (!in) {
    if (error != nullptr && errorSize > 0) std::snprintf(error, errorSize, "cannot open %s", path ? path : "");
    return -1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return VxSim_LoadScenario(text.str().c_str(), error, errorSize);
}

int VxSim_DeviceCount(void) {
  LoadEnvironmentScenario();
  TGuard g;
  return static_cast<int>(g.m().Devices.size());
}

void VxSim_UseVirtualClock(uint32_t startTick) {
  TGuard g;
  g.m().VirtualNow.store(startTick);
  g.m().Virtual.store(true);
}

void VxSim_UseRealClock(void) {
  TGuard g;
  g.m().Virtual.store(false);
  g.m().TimerCv.notify_all();
}

uint32_t VxSim_ClockNow(void) { return Model().Now(); }
void VxSim_ClockSleep(uint32_t ms) { SleepOn(ms); }

int VxSim_Unplug(int device) {
  TGuard g;
  if (device < 0 || device >= static_cast<int>(g.m().Devices.size())) return -1;
  LeaveBus(g.m(), device);
  return 0;
}

int VxSim_Plug(int device) {
  TGuard g;
  if (device < 0 || device >= static_cast<int>(g.m().Devices.size())) return -1;
  JoinBus(g.m(), device);
  return 0;
}

void VxSim_SetNotify(VxSimNotify callback, void* context) {
  TModel& m = Model();
  m.Notify.store(nullptr);
  m.NotifyContext.store(context);
  m.Notify.store(callback);
}

int VxSim_QueueAnswer(int device, const void* bytes, uint32_t count, uint32_t delay) {
  TGuard g;
  TModel& m = g.m();
  if (device < 0 || device >= static_cast<int>(m.Devices.size()) || (bytes == nullptr && count > 0)) return -1;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  QueueBytes(m.Devices[static_cast<std::size_t>(device)], m.Now() + delay, std::vector<std::uint8_t>(p, p + count));
  return 0;
}

int VxSim_GetDeviceState(int device, VxSimDeviceState* state) {
  TGuard g;
  TModel& m = g.m();
  if (device < 0 || device >= static_cast<int>(m.Devices.size()) || state == nullptr) return -1;
  const TDevice& d = m.Devices[static_cast<std::size_t>(device)];
  state->OnBus = d.OnBus;
  state->BootLoader = d.BootLoader;
  state->Open = d.Handle != 0;
  state->Library = d.Cfg.Library;
  state->Requests = d.Requests;
  state->BadRequests = d.BadRequests;
  state->FinishCode = d.FinishCode;
  std::uint32_t queued = 0;
  for (const TChunk& c : d.Rx) queued += static_cast<std::uint32_t>(c.Bytes.size() - c.Taken);
  state->QueuedBytes = queued;
  state->FlashSize = static_cast<std::uint32_t>(d.Flash.size());
  state->Plugs = d.Generation;
  return 0;
}

uint32_t VxSim_ReadFlash(int device, uint32_t offset, void* buffer, uint32_t count) {
  TGuard g;
  TModel& m = g.m();
  if (device < 0 || device >= static_cast<int>(m.Devices.size()) || buffer == nullptr) return 0;
  const std::vector<std::uint8_t>& flash = m.Devices[static_cast<std::size_t>(device)].Flash;
  if (offset >= flash.size()) return 0;
  const std::uint32_t n = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(flash.size() - offset));
  std::memcpy(buffer, flash.data() + offset, n);
  return n;
}

void VxSim_EnableTranscript(int on) {
  TGuard g;
  g.m().TranscriptOn = on != 0;
}

uint32_t VxSim_TranscriptCount(void) {
  TGuard g;
  return static_cast<uint32_t>(g.m().Transcript.size());
}

int VxSim_GetCall(uint32_t index, VxSimCall* call, void* data, uint32_t capacity) {
  TGuard g;
  TModel& m = g.m();
  if (index >= m.Transcript.size() || call == nullptr) return -1;
  const TRecord& r = m.Transcript[index];
  *call = r.Call;
  if (data != nullptr) std::memcpy(data, r.Data.data(), std::min<std::size_t>(capacity, r.Data.size()));
  return 0;
}

void VxSim_ClearTranscript(void) {
  TGuard g;
  g.m().Transcript.clear();
}

int VxSim_SaveTranscript(const char* path) {
  TGuard g;
  std::FILE* f = std::fopen(path, "w");
  if (f == nullptr) return -1;
  for (const TRecord& r : g.m().Transcript) {
    const VxSimCall& c = r.Call;
    std::fprintf(f, "%10u %10u %12llu %-6s %-26s dev %2d args %u %u %u %u -> %d", c.Tick, c.EndTick,
                 static_cast<unsigned long long>(c.Micros), c.Library == VXSIM_FTDI ? "ftdi" : "vxusb", c.Function,
                 c.Device, c.Args[0], c.Args[1], c.Args[2], c.Args[3], c.Result);
    if (!r.Data.empty()) std::fputs(" :", f);
    for (std::uint8_t b : r.Data) std::fprintf(f, " %02X", b);
    std::fputc('\n', f);
  }
  return std::fclose(f) == 0 ? 0 : -1;
}

// ---- D2XX ----

FT_STATUS VxSimFt_ListDevices(void* arg1, void* /*arg2*/, FT_ULONG flags) {
  LoadEnvironmentScenario();
  TCallRecord rec(VXSIM_FTDI, "FT_ListDevices");
  rec.Arg(0, flags);
  TGuard g;
  if ((flags & FT_LIST_NUMBER_ONLY) == 0 || arg1 == nullptr) return rec.Finish(g.m(), FT_INVALID_PARAMETER);
  const auto n = static_cast<FT_ULONG>(BusDevices(g.m(), VXSIM_FTDI).size());
  *static_cast<FT_ULONG*>(arg1) = n;
  rec.Arg(1, n);
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_Open(int deviceNumber, FT_HANDLE* handle) {
  TCallRecord rec(VXSIM_FTDI, "FT_Open");
  rec.Arg(0, static_cast<std::uint32_t>(deviceNumber));
  TGuard g;
  const std::vector<std::uint32_t> bus = BusDevices(g.m(), VXSIM_FTDI);
  if (handle == nullptr) return rec.Finish(g.m(), FT_INVALID_PARAMETER);
  if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= bus.size())
    return rec.Finish(g.m(), FT_DEVICE_NOT_FOUND);
  const int index = static_cast<int>(bus[static_cast<std::size_t>(deviceNumber)]);
  rec.Device(index);
  const int result = OpenDevice(g.m(), index, handle);
  rec.Arg(1, result == 0 ? HandleId(*handle) : 0);
  return rec.Finish(g.m(), static_cast<FT_STATUS>(result));
}

FT_STATUS VxSimFt_OpenEx(void* arg1, FT_ULONG flags, FT_HANDLE* handle) {
  TCallRecord rec(VXSIM_FTDI, "FT_OpenEx");
  rec.Arg(0, flags);
  TGuard g;
  TModel& m = g.m();
  if (arg1 == nullptr || handle == nullptr ||
      (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION))
    return rec.Finish(m, FT_INVALID_PARAMETER);
  const char* text = static_cast<const char*>(arg1);
  rec.Data(text, std::strlen(text));
  *handle = nullptr;
  for (std::uint32_t index : BusDevices(m, VXSIM_FTDI)) {
    const TDeviceConfig& c = m.Devices[index].Cfg;
    const std::string& key = flags == FT_OPEN_BY_SERIAL_NUMBER ? c.Serial : c.Description;
    if (key != text) continue;
    rec.Device(static_cast<int>(index));
    const int result = OpenDevice(m, static_cast<int>(index), handle);
    rec.Arg(1, result == 0 ? HandleId(*handle) : 0);
    return rec.Finish(m, static_cast<FT_STATUS>(result));
  }
  return rec.Finish(m, FT_DEVICE_NOT_FOUND);
}

FT_STATUS VxSimFt_Close(FT_HANDLE handle) {
  TCallRecord rec(VXSIM_FTDI, "FT_Close");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  int index = -1;
  if (Resolve(g.m(), handle, &index) == THandleState::Invalid) return rec.Finish(g.m(), FT_INVALID_HANDLE);
  rec.Device(index);
  CloseHandle(g.m(), handle);
  return rec.Finish(g.m(), FT_OK);
}

// Calls that only need a live handle and change nothing the updater sees.
FT_STATUS VxSimFt_Setting(const char* function, FT_HANDLE handle, FT_ULONG a, FT_ULONG b, FT_ULONG c) {
  TCallRecord rec(VXSIM_FTDI, function);
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, a);
  rec.Arg(2, b);
  rec.Arg(3, c);
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_ResetDevice(FT_HANDLE handle) { return VxSimFt_Setting("FT_ResetDevice", handle, 0, 0, 0); }

FT_STATUS VxSimFt_Purge(FT_HANDLE handle, FT_ULONG mask) {
  TCallRecord rec(VXSIM_FTDI, "FT_Purge");
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, mask);
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  if (mask & 1) d->Rx.clear();
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_Read(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* returned) {
  TCallRecord rec(VXSIM_FTDI, "FT_Read");
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, count);
  if (returned == nullptr || (buffer == nullptr && count > 0)) return rec.Done(FT_INVALID_PARAMETER);
  std::uint32_t got = 0;
  const int result = WaitAndTake(rec, handle, static_cast<std::uint8_t*>(buffer), count, true,
                                 [count](std::uint32_t available) { return available >= count; }, &got);
  *returned = got;
  return static_cast<FT_STATUS>(result);
}

FT_STATUS VxSimFt_Write(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* written) {
  return static_cast<FT_STATUS>(WriteBytes(VXSIM_FTDI, "FT_Write", handle, buffer, count, written));
}

FT_STATUS VxSimFt_SetTimeouts(FT_HANDLE handle, FT_ULONG readTimeout, FT_ULONG writeTimeout) {
  return static_cast<FT_STATUS>(SetTimeouts(VXSIM_FTDI, "FT_SetTimeouts", handle, readTimeout, writeTimeout));
}

FT_STATUS VxSimFt_GetDeviceInfo(FT_HANDLE handle, FT_ULONG* type, FT_ULONG* id, char* serial, char* description,
                                void* /*dummy*/) {
  TCallRecord rec(VXSIM_FTDI, "FT_GetDeviceInfo");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  const TDeviceConfig& c = d->Cfg;
  if (type != nullptr) *type = FT_DEVICE_232R;
  if (id != nullptr) *id = 0x04036001;
  if (serial != nullptr) std::snprintf(serial, 16, "%s", c.Serial.c_str());
  if (description != nullptr) std::snprintf(description, 64, "%s", c.Description.c_str());
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_GetStatus(FT_HANDLE handle, FT_ULONG* rx, FT_ULONG* tx, FT_ULONG* events) {
  TCallRecord rec(VXSIM_FTDI, "FT_GetStatus");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  if (rx == nullptr || tx == nullptr || events == nullptr) return rec.Finish(g.m(), FT_INVALID_PARAMETER);
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  *rx = Available(*d, g.m().Now());
  *tx = 0;
  *events = 0;
  rec.Arg(1, *rx);
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_GetQueueStatus(FT_HANDLE handle, FT_ULONG* rx) {
  FT_ULONG tx = 0, events = 0;
  if (rx == nullptr) return FT_INVALID_PARAMETER;
  return VxSimFt_GetStatus(handle, rx, &tx, &events);
}

FT_STATUS VxSimFt_CreateDeviceInfoList(FT_ULONG* count) {
  LoadEnvironmentScenario();
  TCallRecord rec(VXSIM_FTDI, "FT_CreateDeviceInfoList");
  TGuard g;
  TModel& m = g.m();
  if (count == nullptr) return rec.Finish(m, FT_INVALID_PARAMETER);
  if (m.FailList[VXSIM_FTDI][0] > 0) {
    --m.FailList[VXSIM_FTDI][0];
    return rec.Finish(m, FT_OTHER_ERROR);
  }
  BuildFtNodes(m);
  *count = static_cast<FT_ULONG>(m.FtNodes.size());
  rec.Arg(0, *count);
  return rec.Finish(m, FT_OK);
}

FT_STATUS VxSimFt_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, FT_ULONG* count) {
  TCallRecord rec(VXSIM_FTDI, "FT_GetDeviceInfoList");
  TGuard g;
  TModel& m = g.m();
  if (nodes == nullptr || count == nullptr) return rec.Finish(m, FT_INVALID_PARAMETER);
  if (m.FailList[VXSIM_FTDI][1] > 0) {
    --m.FailList[VXSIM_FTDI][1];
    return rec.Finish(m, FT_OTHER_ERROR);
  }
  if (!m.HaveFtNodes) BuildFtNodes(m);
  // As the real library: the list built by the last FT_CreateDeviceInfoList.
  std::copy(m.FtNodes.begin(), m.FtNodes.end(), nodes);
  *count = static_cast<FT_ULONG>(m.FtNodes.size());
  rec.Arg(0, *count);
  rec.Data(nodes, m.FtNodes.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
  return rec.Finish(m, FT_OK);
}

FT_STATUS VxSimFt_Rescan(void) {
  TCallRecord rec(VXSIM_FTDI, "FT_Rescan");
  return rec.Done(FT_OK);
}

// ---- the maker's library ----

int32_t VxSimRq_GetListDevices(uint16_t selector, void* records, uint32_t* count) {
  LoadEnvironmentScenario();
  TCallRecord rec(VXSIM_VXUSB, "RQ_GetListDevices");
  rec.Arg(0, selector);
  rec.Arg(3, records != nullptr);
  TGuard g;
  TModel& m = g.m();
  if (count == nullptr) return rec.Finish(m, RQ_ERROR_PARAMETER);
  rec.Arg(1, *count);
  std::uint32_t& fail = m.FailList[VXSIM_VXUSB][records == nullptr ? 0 : 1];
  if (fail > 0) {
    --fail;
    return rec.Finish(m, RQ_ERROR_IO);
  }
  std::vector<std::uint32_t> found;
  for (std::uint32_t index : BusDevices(m, VXSIM_VXUSB))
    if (selector == 0xFFFF || m.Devices[index].Cfg.DeviceCode == selector) found.push_back(index);
  if (records == nullptr) {
    *count = static_cast<uint32_t>(found.size());
  } else {
    const std::uint32_t n = std::min<std::uint32_t>(*count, static_cast<std::uint32_t>(found.size()));
    auto* out = static_cast<std::uint8_t*>(records);
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint8_t* r = out + i * kRqRecordSize;
      std::memset(r, 0, kRqRecordSize);
      const TDeviceConfig& c = m.Devices[found[i]].Cfg;
      Put16(r, found[i]);
      Put16(r + 2, c.DeviceCode);
      std::memcpy(r + 4, c.Serial.data(), std::min<std::size_t>(c.Serial.size(), kRqSerialSize - 1));
    }
    *count = n;
    rec.Data(records, n * kRqRecordSize);
  }
  rec.Arg(2, *count);
  return rec.Finish(m, RQ_OK);
}

int32_t VxSimRq_OpenDevice(uint16_t deviceCode, const char* serial, void** handle) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_OpenDevice");
  rec.Arg(0, deviceCode);
  TGuard g;
  TModel& m = g.m();
  if (serial == nullptr || handle == nullptr) return rec.Finish(m, RQ_ERROR_PARAMETER);
  rec.Data(serial, std::strlen(serial));
  *handle = nullptr;
  for (std::uint32_t index : BusDevices(m, VXSIM_VXUSB)) {
    const TDeviceConfig& c = m.Devices[index].Cfg;
    if (c.DeviceCode != deviceCode || c.Serial != serial) continue;
    rec.Device(static_cast<int>(index));
    const int result = OpenDevice(m, static_cast<int>(index), handle);
    rec.Arg(1, result == 0 ? HandleId(*handle) : 0);
    return rec.Finish(m, result);
  }
  return rec.Finish(m, RQ_ERROR_NOT_FOUND);
}

int32_t VxSimRq_CloseDevice(void** handle) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_CloseDevice");
  TGuard g;
  if (handle == nullptr) return rec.Finish(g.m(), RQ_ERROR_PARAMETER);
  rec.Arg(0, HandleId(*handle));
  int index = -1;
  if (Resolve(g.m(), *handle, &index) == THandleState::Invalid) return rec.Finish(g.m(), RQ_ERROR_HANDLE);
  rec.Device(index);
  CloseHandle(g.m(), *handle);
  *handle = nullptr;
  return rec.Finish(g.m(), RQ_OK);
}

int32_t VxSimRq_ReadNotTimeOut(void* handle, void* buffer, uint32_t maxCount, uint32_t* countRead) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_ReadNotTimeOut");
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, maxCount);
  if (countRead == nullptr || (buffer == nullptr && maxCount > 0)) return rec.Done(RQ_ERROR_PARAMETER);
  std::uint32_t got = 0;
  const int result = WaitAndTake(rec, handle, static_cast<std::uint8_t*>(buffer), maxCount, false,
                                 [](std::uint32_t available) { return available > 0; }, &got);
  *countRead = got;
  return result;
}

int32_t VxSimRq_Write(void* handle, const void* data, uint32_t count, uint32_t* written) {
  return WriteBytes(VXSIM_VXUSB, "RQ_Write", handle, data, count, written);
}

int32_t VxSimRq_Purge(void* handle) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_Purge");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_VXUSB, &error);
  if (d == nullptr) return rec.Finish(g.m(), error);
  d->Rx.clear();
  d->Input.clear();
  return rec.Finish(g.m(), RQ_OK);
}

int32_t VxSimRq_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t writeTimeout) {
  return SetTimeouts(VXSIM_VXUSB, "RQ_SetTimeouts", handle, readTimeout, writeTimeout);
}

}  // extern "C"
