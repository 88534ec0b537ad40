#pragma once

#include <cstdint>

// How well a device's link held up during one flash: the attempts that had to
// be sent again, the reads that ran out of time, and how long the device took
// to answer a block (from the end of sending the block's request to its
// complete answer). Kept by the flashing thread and read in its end handler.
struct TLinkHealth {
  std::int32_t BlocksWritten = 0;    // blocks the device accepted
  std::int32_t Retries = 0;          // attempts after the first of an erase or a block
  std::int32_t Timeouts = 0;         // reads that ended before a whole answer had come
  std::int32_t LongestAnswerMs = 0;  // of the blocks whose answer came whole

  // One block's whole answer, `ms` after its request was sent.
  void AddAnswerTime(std::uint32_t ms) {
    const auto time = static_cast<std::int64_t>(ms);
    if (time > LongestAnswerMs) LongestAnswerMs = static_cast<std::int32_t>(time);
    FAnswerTimeSum += time;
    ++FAnswers;
  }
  // Rounded to the nearest millisecond; 0 with no answer.
  [[nodiscard]] std::int32_t MeanAnswerMs() const {
    return FAnswers == 0 ? 0 : static_cast<std::int32_t>((FAnswerTimeSum + FAnswers / 2) / FAnswers);
  }

private:
  std::int64_t FAnswerTimeSum = 0;
  std::int64_t FAnswers = 0;
};
