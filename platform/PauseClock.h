#pragma once

#include <algorithm>

// A pause that ends on its mark: a blocking wait that stops a little early,
// then a short spin to the exact end. How early is learned per thread from
// how far the system's waits overshoot, so the spin stays short and a pause is
// never shorter than asked.

class TPauseMargin {
public:
  // How long before the mark the blocking wait of a `ms` pause should end.
  [[nodiscard]] double Lead(double ms) const { return std::min(FOvershoot, ms / 2); }
  // One wait asked for some time ended `overshoot` ms after it (negative: early).
  void Learn(double overshoot) {
    // A wait the scheduler held up for long says nothing of the next one;
    // taking it in whole would make the following pauses spin.
    const double sample = std::clamp(overshoot, 0.0, kMaxLead);
    FOvershoot += (sample - FOvershoot) / 8;
  }
  [[nodiscard]] double Overshoot() const { return FOvershoot; }

  // The most a pause may end its blocking wait early, and so the most it
  // spins. Under Wine a wait overshoots by 0.15 to 0.25 ms every time, so the
  // lead must cover that; the spin is then only the overshoot's variation
  // (measured: 0.56 ms of CPU per nine-pause block, about 6 % of a core).
  static constexpr double kMaxLead = 0.3;  // ms

private:
  double FOvershoot = 0.1;  // ms, a guess until the first waits are measured
};

// Pauses for `ms` milliseconds by the clock `now` (ms, fractional): `wait`
// blocks for about the given time, `relax` is one turn of the final spin.
template <class TNow, class TWait, class TRelax>
void PreciseSleep(TPauseMargin& margin, double ms, TNow now, TWait wait, TRelax relax) {
  const double start = now();
  const double deadline = start + ms;
  const double blocking = ms - margin.Lead(ms);
  if (blocking > 0) {
    wait(blocking);
    margin.Learn(now() - start - blocking);
  }
  while (now() < deadline) relax();
}
