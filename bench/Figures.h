#pragma once

// What the benchmarks share: a clock for wall time, the median of a set and
// the reading of a count from the command line.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace bench {

using TClock = std::chrono::steady_clock;

inline double MsBetween(TClock::time_point start, TClock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The count in argv[index]: `fallback` when it is not given, raised to
// `minimum` when below it. Anything but a whole number is refused with a
// message, so that a typing error does not run the benchmark with another count.
inline bool CountArgument(int argc, char** argv, int index, int fallback, int minimum, int& count) {
  count = fallback;
  if (argc <= index) return true;
  const char* text = argv[index];
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || value > INT_MAX || value < INT_MIN) {
    std::fprintf(stderr, "not a count: \"%s\"\n", text);
    return false;
  }
  count = std::max(minimum, static_cast<int>(value));
  return true;
}

}  // namespace bench
