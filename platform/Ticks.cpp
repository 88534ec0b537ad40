#include "platform/Ticks.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#else
#include <chrono>
#include <thread>
#endif

#ifdef _WIN32

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

std::uint32_t SystemTickCount() { return static_cast<std::uint32_t>(GetTickCount64()); }

namespace {

// One high-resolution waitable timer per thread (Windows 10 1803 and later).
// Where there is none, Sleep is used, which waits for the system's timer tick.
class ThreadTimer {
public:
  ThreadTimer()
      : handle_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS)) {}
  ~ThreadTimer() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  bool Wait(std::uint32_t ms) {
    if (handle_ == nullptr) return false;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, in 100 ns units
    if (!SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE)) return false;
    return WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
  }

private:
  HANDLE handle_;
};

double NowMs() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

ThreadTimer& TimerOfThisThread() {
  thread_local ThreadTimer timer;
  return timer;
}

// Which of the two waits comes closer to 1 ms is a property of the system, so
// it is measured once per process: on Windows the timer (Sleep waits for the
// next tick of up to 15.6 ms), under Wine Sleep (about 1.1 ms, where the timer
// takes about 1.3 ms).
std::atomic<int> sleepChoice{0};  // 0 not measured yet, 1 timer, 2 Sleep

bool PreferTimer() {
  const int choice = sleepChoice.load(std::memory_order_relaxed);
  if (choice != 0) return choice == 1;
  // The shortest of a few interleaved waits: load on the machine only ever
  // makes a wait longer, so the minimum shows what the wait itself does.
  double timerBest = 1e9, sleepBest = 1e9;
  for (int i = 0; i < 5; ++i) {
    double start = NowMs();
    if (!TimerOfThisThread().Wait(1)) {
      sleepChoice.store(2);
      return false;
    }
    timerBest = std::min(timerBest, NowMs() - start);
    start = NowMs();
    Sleep(1);
    sleepBest = std::min(sleepBest, NowMs() - start);
  }
  sleepChoice.store(timerBest <= sleepBest ? 1 : 2);
  return timerBest <= sleepBest;
}

}  // namespace

void SystemSleepMs(std::uint32_t ms) {
  if (ms == 0 || !PreferTimer() || !TimerOfThisThread().Wait(ms)) Sleep(ms);
}

#else

std::uint32_t SystemTickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SystemSleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

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
