#include "platform/Ticks.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#endif

#include "platform/PauseClock.h"

#ifdef _WIN32

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

std::uint32_t SystemTickCount() { return static_cast<std::uint32_t>(GetTickCount64()); }

namespace {

double NowMs() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / frequency;
}

// One high-resolution waitable timer per thread (Windows 10 1803 and later).
class ThreadTimer {
public:
  ThreadTimer()
      : handle_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS)) {}
  ~ThreadTimer() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  [[nodiscard]] bool Usable() const { return handle_ != nullptr; }
  bool Wait(double ms) {
    if (handle_ == nullptr) return false;
    LARGE_INTEGER due;
    due.QuadPart = -std::max<LONGLONG>(1, static_cast<LONGLONG>(ms * 10000.0));  // relative, 100 ns units
    if (!SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE)) return false;
    return WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
  }

private:
  HANDLE handle_;
};

ThreadTimer& TimerOfThisThread() {
  thread_local ThreadTimer timer;
  return timer;
}

// The delay call of ntdll that Sleep is built on takes 100 ns units; where the
// system honours them (Wine does, with the host's microsecond sleep) it ends a
// fraction of a millisecond far closer to its mark than Sleep or the timer.
using TDelayExecution = LONG(WINAPI*)(BOOLEAN alertable, const LARGE_INTEGER* interval);

TDelayExecution DelayExecution() {
  static const TDelayExecution delay = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr ? reinterpret_cast<TDelayExecution>(
                                  reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDelayExecution")))
                            : nullptr;
  }();
  return delay;
}

bool DelayWait(double ms) {
  const TDelayExecution delay = DelayExecution();
  if (delay == nullptr) return false;
  LARGE_INTEGER interval;
  interval.QuadPart = -std::max<LONGLONG>(1, static_cast<LONGLONG>(ms * 10000.0));
  return delay(FALSE, &interval) >= 0;
}

// Which wait ends a short pause closest to its mark is a property of the
// system, so it is measured once per process, with half-millisecond waits:
// on Windows the high-resolution timer, under Wine the delay call (there the
// timer and Sleep both end past 1 ms). Without either, Sleep alone.
enum TWaitKind { wkUnknown, wkTimer, wkDelay, wkSleep };
std::atomic<int> waitKind{wkUnknown};

double MedianWait(bool (*wait)(double)) {
  double times[5];
  for (double& t : times) {
    const double start = NowMs();
    if (!wait(0.5)) return 1e9;
    t = NowMs() - start;
  }
  std::sort(std::begin(times), std::end(times));
  return times[2];
}

TWaitKind ChosenWait() {
  const int known = waitKind.load(std::memory_order_relaxed);
  if (known != wkUnknown) return static_cast<TWaitKind>(known);
  const double timer = MedianWait([](double ms) { return TimerOfThisThread().Wait(ms); });
  const double delay = MedianWait(DelayWait);
  TWaitKind kind = wkSleep;
  if (timer < 1e9 || delay < 1e9) kind = timer <= delay ? wkTimer : wkDelay;
  waitKind.store(kind);
  return kind;
}

}  // namespace

void SystemSleepMs(std::uint32_t ms) {
  if (ms == 0) {
    Sleep(0);
    return;
  }
  const double deadline = NowMs() + ms;
  const TWaitKind kind = ChosenWait();
  if (kind == wkSleep) {
    Sleep(ms);
    // Sleep may end up to a tick early; the pause is never shorter than asked.
    while (NowMs() < deadline) YieldProcessor();
    return;
  }
  thread_local TPauseMargin margin;
  const auto wait = [kind](double waitMs) {
    if (kind == wkTimer ? TimerOfThisThread().Wait(waitMs) : DelayWait(waitMs)) return;
    Sleep(static_cast<DWORD>(std::ceil(waitMs)));
  };
  PreciseSleep(margin, static_cast<double>(ms), NowMs, wait, [] { YieldProcessor(); });
}

void TPreciseTiming::Begin() { timeBeginPeriod(1); }
void TPreciseTiming::End() { timeEndPeriod(1); }

#else

std::uint32_t SystemTickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

namespace {

double NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

void WaitMs(double ms) {
  // The kernel adds up to its timer slack (50 us by default) to every sleep;
  // one nanosecond of slack per thread lets a short pause end on its mark.
  thread_local const bool slackSet = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)slackSet;
  const double end = NowMs() + ms;
  timespec t{};
  t.tv_sec = static_cast<time_t>(end / 1000.0);
  t.tv_nsec = static_cast<long>((end - static_cast<double>(t.tv_sec) * 1000.0) * 1e6);
  if (t.tv_nsec >= 1000000000L) {
    ++t.tv_sec;
    t.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

}  // namespace

void SystemSleepMs(std::uint32_t ms) {
  if (ms == 0) return;
  thread_local TPauseMargin margin;
  PreciseSleep(margin, static_cast<double>(ms), NowMs, WaitMs, [] {});
}

void TPreciseTiming::Begin() {}
void TPreciseTiming::End() {}

#endif

namespace {
std::atomic<const TTickSource*> tickSource{nullptr};
}

void SetTickSource(const TTickSource* source) { tickSource.store(source, std::memory_order_release); }

std::uint32_t TickCount() {
  if (const TTickSource* s = tickSource.load(std::memory_order_acquire)) return s->Now();
  return SystemTickCount();
}

void SleepMs(std::uint32_t ms) {
  if (const TTickSource* s = tickSource.load(std::memory_order_acquire))
    s->Sleep(ms);
  else
    SystemSleepMs(ms);
}
