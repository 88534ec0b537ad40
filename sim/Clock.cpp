// The clock the devices run on and the events that wait for it: a device
// leaving the bus after STARTED, coming back after its restart, or after an
// unplug fault. On the real clock a timer thread runs them; on the virtual
// clock whoever sleeps past them.

#include <algorithm>
#include <thread>

#include "sim/ModelState.h"

namespace vxsim {
namespace {

void StartTimerLocked(TModel& m);

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

}  // namespace

void ProcessDueLocked(TModel& m) {
  const std::uint32_t now = m.Now();
  for (std::size_t i = 0; i < m.Events.size();) {
    const TEvent e = m.Events[i];
    if (!Reached(now, e.Due)) {
      ++i;
      continue;
    }
    m.Events.erase(m.Events.begin() + static_cast<std::ptrdiff_t>(i));
    TDevice& d = m.At(e.Device);
    if (d.Generation != e.Generation) continue;  // replugged meanwhile
    if (e.Kind == TEventKind::Relist) {
      if (d.OnBus && !d.Listed) {
        d.Listed = true;
        m.Pending.push_back({e.Device, true});
      }
    } else if (e.Kind == TEventKind::Leave) {
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

void Schedule(TModel& m, const TEvent& e) {
  m.Events.push_back(e);
  StartTimerLocked(m);
  m.TimerCv.notify_all();
}

// Without the lock.
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

}  // namespace vxsim
