#include "records/DateTime.h"

#include <cmath>

namespace {

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Days between 1 March of year 0 (proleptic Gregorian) and the given date.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;  // relative to 1 January 1970
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

const std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);
constexpr std::int64_t kMsPerDay = 86'400'000;

}  // namespace

bool IsValidDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59 &&
         millisecond >= 0 && millisecond <= 999;
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond,
                       TDateTime& out) {
  if (!IsValidDateTime(year, month, day, hour, minute, second, millisecond)) return false;
  const double days = static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffset);
  const double time =
      static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond) / static_cast<double>(kMsPerDay);
  out = days >= 0 ? days + time : days - time;
  return true;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  double whole = std::trunc(value);
  std::int64_t ms = std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {  // rounded up to the next midnight
    ms -= kMsPerDay;
    whole += 1;
  }
  TDateTimeParts parts;
  CivilFromDays(static_cast<std::int64_t>(whole) + kEpochOffset, parts.Year, parts.Month, parts.Day);
  parts.Millisecond = static_cast<int>(ms % 1000);
  parts.Second = static_cast<int>(ms / 1000 % 60);
  parts.Minute = static_cast<int>(ms / 60000 % 60);
  parts.Hour = static_cast<int>(ms / 3600000);
  return parts;
}
