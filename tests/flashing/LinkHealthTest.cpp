// What a flash counts of its link's health: repeated attempts, reads that ran
// out of time, and the answer times of its blocks.
#include "FlashHarness.h"

namespace {

TEST_F(FlashTest, ACleanFlashCountsItsBlocksAndTheirAnswerTimes) {
  // Two 4 KiB sectors, 16 blocks; the device answers 7 ms after each request.
  owner_.payload = Payload(0x2000);
  Device(Loader("latency = 7"));
  TFlashRun& run = Flash();
  ASSERT_EQ(run.result, wrSuccess);
  ExpectFlash(owner_.payload, 10, 11);
  EXPECT_EQ(run.health.BlocksWritten, 16);
  EXPECT_EQ(run.health.Retries, 0);
  EXPECT_EQ(run.health.Timeouts, 0);
  EXPECT_GE(run.health.MeanAnswerMs(), 7);
  EXPECT_GE(run.health.LongestAnswerMs, run.health.MeanAnswerMs());
  EXPECT_LE(run.health.LongestAnswerMs, 40) << "an answer that comes after 7 ms is not waited for much longer";
  EXPECT_LE(run.health.LongestAnswerMs, run.elapsed);
}

TEST_F(FlashTest, LostAndShortAnswersAreCountedExactly) {
  const struct {
    const char* label;
    std::string fault;
    std::int32_t result;
    std::int32_t blocks, retries, timeouts;
  } cases[] = {
      {"silence twice to a block", "fault = no_answer code=7 skip=3 times=2", wrSuccess, 8, 2, 2},
      {"13 bytes twice to the erase", "fault = short_answer code=6 value=13 times=2", wrSuccess, 8, 2, 2},
      {"silence once to two blocks", "fault = no_answer code=7 skip=1\nfault = no_answer code=7 skip=4", wrSuccess,
       8, 2, 2},
      {"silence three times to a block", "fault = no_answer code=7 skip=2 times=3", wrWriteFailed, 2, 2, 3},
      // A malformed answer is neither retried nor a time-out.
      {"a wrong offset echo", "fault = wrong_offset code=7 skip=2", wrWriteFailed, 2, 0, 0},
      // A request lost on the way goes unanswered: its read runs out of time.
      {"a lost block request", "fault = lost_request code=7 skip=5", wrSuccess, 8, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TFlashRun& run = FlashOneSector(c.fault);
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.health.BlocksWritten, c.blocks);
    EXPECT_EQ(run.health.Retries, c.retries);
    EXPECT_EQ(run.health.Timeouts, c.timeouts);
    if (c.result == wrSuccess) {
      EXPECT_EQ(vxsim::Flash(device_, 0xA000, 0x1000), owner_.payload) << "every block of sector 10 on the device";
    }
    /* a read that waited its full time-out is not an answer time */
    EXPECT_LT(run.health.LongestAnswerMs, 1000);
  }
}

}  // namespace
