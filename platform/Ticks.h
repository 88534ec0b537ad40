#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, 32 bits, wrapping like GetTickCount.
// Differences of two readings (later - earlier, unsigned) are durations.
[[nodiscard]] std::uint32_t TickCount();

// Pauses the calling thread for about `ms` milliseconds; a 1 ms pause is about
// 1 ms on Windows too, whatever the system's timer tick.
void SleepMs(std::uint32_t ms);
