#pragma once

#include <cstdint>
#include <string>

// A point in time as a day count: the whole part counts days since 30 December
// 1899, the fraction is the time of day. Before that day the value is negative
// and the fraction still counts forward from midnight (-1.25 is 29 December
// 1899, 06:00).
using TDateTime = double;

struct TDateTimeParts {
  int Year = 0, Month = 0, Day = 0;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

[[nodiscard]] bool IsValidDateTime(int year, int month, int day, int hour, int minute, int second,
                                   int millisecond = 0);

// Encodes a valid date and time; returns false (and leaves `out` alone) for an
// invalid one.
[[nodiscard]] bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                                     int millisecond, TDateTime& out);

// Decodes to the millisecond.
TDateTimeParts DecodeDateTime(TDateTime value);
