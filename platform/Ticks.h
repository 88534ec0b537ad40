#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, 32 bits, wrapping like GetTickCount.
// Differences of two readings (later - earlier, unsigned) are durations.
[[nodiscard]] std::uint32_t TickCount();

// Pauses the calling thread for `ms` milliseconds: never less, and on the
// system clock only a few hundredths of a millisecond more (a blocking wait
// that ends just before the mark, then a short spin), whatever the system's
// timer tick.
void SleepMs(std::uint32_t ms);

// A clock that replaces the system's for every TickCount and SleepMs of the
// process, so that tests of time-outs can run on a clock shared with the
// simulated devices (for example one that advances only when somebody sleeps).
// Both functions must be safe to call from any thread.
struct TTickSource {
  std::uint32_t (*Now)();
  void (*Sleep)(std::uint32_t ms);
};

// Installs `source` (null: back to the system clock). The object must outlive
// its use; install it before the threads that read the clock start.
void SetTickSource(const TTickSource* source);

// The system clock itself, whatever source is installed.
[[nodiscard]] std::uint32_t SystemTickCount();
void SystemSleepMs(std::uint32_t ms);

// Fine timing for as long as the object lives (a flash): on Windows the
// system's timer resolution is raised to 1 ms, so that waits that fall back
// on Sleep end within about a millisecond, not a 15.6 ms tick.
class TPreciseTiming {
public:
  TPreciseTiming() { Begin(); }
  ~TPreciseTiming() { End(); }
  TPreciseTiming(const TPreciseTiming&) = delete;
  TPreciseTiming& operator=(const TPreciseTiming&) = delete;

private:
  static void Begin();
  static void End();
};
