#include "platform/Ticks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/PauseClock.h"

namespace {

// A clock that moves only when the pause waits or spins.
struct TFakeClock {
  double now = 0;
  double overshoot = 0;  // what each blocking wait adds to the time asked
  double early = 0;      // or takes off it
  int spins = 0;
  std::vector<double> asked;
};

double Pause(TPauseMargin& margin, TFakeClock& c, double ms) {
  const double start = c.now;
  PreciseSleep(
      margin, ms, [&] { return c.now; },
      [&](double wait) {
        c.asked.push_back(wait);
        c.now += wait + c.overshoot - c.early;
      },
      [&] {
        ++c.spins;
        c.now += 0.001;
      });
  return c.now - start;
}

TEST(PreciseSleep, NeverShortAndLearnsHowEarlyToStop) {
  /* a wait that overshoots by 0.08 ms: the blocking part learns to end that
     much early, and the pause then ends within a spin turn of its mark */
  TPauseMargin margin;
  TFakeClock c;
  c.overshoot = 0.08;
  for (int i = 0; i < 60; ++i) EXPECT_GE(Pause(margin, c, 1.0), 1.0);
  EXPECT_NEAR(margin.Overshoot(), 0.08, 0.005);
  c.spins = 0;
  const double last = Pause(margin, c, 1.0);
  EXPECT_GE(last, 1.0);
  EXPECT_LT(last, 1.01);
  EXPECT_LT(c.spins, 10);

  /* a wait that returns early is made up by the spin: never shorter than asked */
  c.overshoot = 0;
  c.early = 0.4;
  for (int i = 0; i < 20; ++i) EXPECT_GE(Pause(margin, c, 1.0), 1.0);
  EXPECT_LT(margin.Overshoot(), 0.01);  // an early end counts as none: the wait stops nearer the mark again

  /* one wait held up for 20 ms does not make the following pauses spin long */
  TPauseMargin held;
  TFakeClock h;
  h.overshoot = 20;
  EXPECT_GE(Pause(held, h, 1.0), 20.0);
  EXPECT_LE(held.Lead(1.0), TPauseMargin::kMaxLead);
  h.overshoot = 0.05;
  h.spins = 0;
  Pause(held, h, 1.0);
  EXPECT_LE(h.spins * 0.001, TPauseMargin::kMaxLead + 0.002);

  /* a long pause stops its wait early by no more than the learnt overshoot */
  h.asked.clear();
  Pause(held, h, 100.0);
  ASSERT_EQ(h.asked.size(), 1u);
  EXPECT_GE(h.asked[0], 100.0 - TPauseMargin::kMaxLead);
}

TEST(SystemSleep, AOneMillisecondPauseIsNeverShorterAndEndsNearItsMark) {
  using TClock = std::chrono::steady_clock;
  std::vector<double> lengths;
  for (int i = 0; i < 200; ++i) {
    const auto start = TClock::now();
    SystemSleepMs(1);
    lengths.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
  }
  std::sort(lengths.begin(), lengths.end());
  EXPECT_GE(lengths.front(), 1.0);
  // Loaded machines stretch single pauses; the typical one stays close.
  EXPECT_LT(lengths[lengths.size() / 2], 1.5);
}

}  // namespace
