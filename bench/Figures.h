#pragma once

// What the benchmarks share: a clock for wall time and the median of a set.
#include <algorithm>
#include <chrono>
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

}  // namespace bench
