#pragma once

#include <functional>

// The local wall-clock time, to the millisecond. The source can be replaced
// (tests put a fixed or stepping clock in its place).
struct TLocalTime {
  int Year = 0, Month = 0, Day = 0;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

[[nodiscard]] TLocalTime LocalTimeNow();

using TLocalTimeSource = std::function<TLocalTime()>;
// An empty source restores the system clock.
void SetLocalTimeSource(TLocalTimeSource source);
