// The control interface of SimApi.h: what tests and other programs use to set
// up devices, drive the clock and the bus, and look at flash and transcript.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "sim/Checksum.h"
#include "sim/FlashLayouts.h"
#include "sim/Scenario.h"
#include "sim/Transcript.h"
#include "sim/Transfers.h"

using namespace vxsim;

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
  QueueBytes(m.At(device), m.Now() + delay, std::vector<std::uint8_t>(p, p + count));
  return 0;
}

int VxSim_GetDeviceState(int device, VxSimDeviceState* state) {
  TGuard g;
  TModel& m = g.m();
  if (device < 0 || device >= static_cast<int>(m.Devices.size()) || state == nullptr) return -1;
  const TDevice& d = m.At(device);
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
  state->RefusedRequests = d.RefusedRequests;
  return 0;
}

uint32_t VxSim_ReadFlash(int device, uint32_t offset, void* buffer, uint32_t count) {
  TGuard g;
  TModel& m = g.m();
  if (device < 0 || device >= static_cast<int>(m.Devices.size()) || buffer == nullptr) return 0;
  const std::vector<std::uint8_t>& flash = m.At(device).Flash;
  if (offset >= flash.size()) return 0;
  const std::uint32_t n = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(flash.size() - offset));
  std::memcpy(buffer, flash.data() + offset, n);
  return n;
}

int VxSim_KnownProcessor(uint32_t index, uint32_t* processorId) {
  const std::vector<std::uint32_t>& ids = KnownProcessors();
  if (index >= ids.size() || processorId == nullptr) return -1;
  *processorId = ids[index];
  return 0;
}

uint32_t VxSim_SectorMap(uint32_t processorId, const char* loaderVersion, VxSimSector* sectors, uint32_t capacity) {
  const std::vector<TFlashSector> map = LayoutSectors(LayoutFor(processorId, loaderVersion ? loaderVersion : ""));
  for (std::size_t i = 0; sectors != nullptr && i < map.size() && i < capacity; ++i)
    sectors[i] = {map[i].Offset, map[i].Size};
  return static_cast<uint32_t>(map.size());
}

uint16_t VxSim_Checksum(const void* bytes, uint32_t count) {
  return bytes == nullptr ? 0 : FrameChecksum(static_cast<const std::uint8_t*>(bytes), count);
}

void VxSim_EnableTranscript(int on) {
  TGuard g;
  // cppcheck-suppress unreadVariable ; the model outlives the guard: the flag is read by every call
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
  WriteTranscript(g.m(), f);
  return std::fclose(f) == 0 ? 0 : -1;
}

}  // extern "C"

namespace vxsim {

void LoadEnvironmentScenario() {
  static std::once_flag once;
  std::call_once(once, [] {
    ArmStateDump();
    // Read once; nothing in a process that loads the simulator sets the environment.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    if (const char* path = std::getenv("VXSIM_SCENARIO"); path != nullptr && *path != '\0') {
      char error[256] = "";
      if (VxSim_LoadScenarioFile(path, error, sizeof error) != 0)
        std::fprintf(stderr, "vxsim: scenario %s: %s\n", path, error);
    }
  });
}

}  // namespace vxsim
