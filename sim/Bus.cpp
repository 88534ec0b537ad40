// The bus: devices join it when they are added or plugged, leave it when
// unplugged or restarting, and every change is announced as Windows announces
// a device change.

#include <algorithm>

#include "sim/ModelState.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vxsim {
namespace {

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

std::vector<TFlashSector> SectorsOf(const TDeviceConfig& cfg) {
  TLayout layout = LayoutFor(cfg.ProcessorId, cfg.LoaderVersion);
  if (cfg.SectorMap != "auto") LayoutByName(cfg.SectorMap, &layout);
  return LayoutSectors(layout);
}

}  // namespace

void FireNotices(const std::vector<TNotice>& notices) {
  if (notices.empty()) return;
  TModel& m = Model();
  for (const TNotice& n : notices)
    if (VxSimNotify cb = m.Notify.load()) cb(m.NotifyContext.load(), n.Device, n.Plugged ? 1 : 0);
#ifdef _WIN32
  EnumWindows(PostDeviceChange, 0);
#endif
}

void LeaveBus(TModel& m, int index) {
  TDevice& d = m.At(index);
  if (!d.OnBus) return;
  d.OnBus = false;
  d.Handle = 0;
  d.Input.clear();
  d.Rx.clear();
  m.Pending.push_back({index, false});
}

void JoinBus(TModel& m, int index) {
  TDevice& d = m.At(index);
  if (d.OnBus) return;
  d.OnBus = true;
  d.Listed = true;
  ++d.Generation;
  d.Handle = 0;
  d.Input.clear();
  d.Rx.clear();
  d.TimeoutsSet = false;
  m.Pending.push_back({index, true});
}

void LeaveLists(TModel& m, int index, std::uint32_t ms) {
  TDevice& d = m.At(index);
  if (!d.OnBus || !d.Listed) return;
  d.Listed = false;
  m.Pending.push_back({index, false});
  Schedule(m, {m.Now() + std::max<std::uint32_t>(ms, 1), index, TEventKind::Relist, d.Generation, 0, false});
}

std::vector<std::uint32_t> ListedDevices(const TModel& m, int library) {
  std::vector<std::uint32_t> out;
  for (const std::uint32_t index : BusDevices(m, library))
    if (m.Devices[index].Listed) out.push_back(index);
  return out;
}

std::vector<std::uint32_t> BusDevices(const TModel& m, int library) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < m.Devices.size(); ++i)
    if (m.Devices[i].Cfg.Library == library && m.Devices[i].OnBus) out.push_back(static_cast<std::uint32_t>(i));
  return out;
}

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
    d.Map = SectorsOf(cfg);
    d.Loader = ParseLoaderVersion(cfg.LoaderVersion);
    d.Flash.assign(d.Map.empty() ? 0 : std::size_t{d.Map.back().Offset} + d.Map.back().Size, cfg.FlashFill);
    d.BootLoader = cfg.BootLoader;
    d.Faults = cfg.Faults;
    d.RefuseOpen = cfg.RefuseOpen;
    d.RefuseOpenSkip = cfg.RefuseOpenSkip;
    d.EmptyDescription = cfg.EmptyDescription;
    m.Devices.push_back(std::move(d));
    const int index = static_cast<int>(m.Devices.size() - 1);
    if (cfg.PlugAt != 0)
      Schedule(m, {m.Now() + cfg.PlugAt, index, TEventKind::Return, m.At(index).Generation, 0, false});
    else if (cfg.Plugged)
      JoinBus(m, index);
  }
}

}  // namespace vxsim
