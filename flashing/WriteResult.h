#pragma once

#include <cstdint>
#include <string>

#include "platform/LocalTime.h"
#include "records/FlashRecord.h"
#include "records/MessageKind.h"

class TWriteThread;

// Result codes of a flash; they share one number space with the discovery
// results (7 is a failed open for both, 8 is discovery's own).
enum TWriteResult : int {
  wrSuccess = 0,
  wrImageLoadFailed = 1,
  wrNoSectorRange = 2,
  wrImageTooLarge = 3,
  wrNothingToWrite = 4,
  wrEraseFailed = 5,
  wrWriteFailed = 6,
  wrOpenFailed = 7,
  wrIncompatible = 9,
  // The flash was asked to stop (its device went away, or the program is
  // closing) before every sector was written.
  wrTerminated = 10,
  // An unexpected error (for example a failing log) ended the flash.
  wrUnexpectedError = 11,
};

// What the device's panel says of a flash that ended with `result` and the
// device's last answer `lastAnswer`; the record of flashes says the same.
[[nodiscard]] std::string FlashResultText(std::int32_t result, std::int32_t lastAnswer);

// A finished flash in words: the short message of the device's panel and the
// line of the log, each with its kind.
struct TFlashResultText {
  std::string Message;
  TMessageKind MessageKind = mkInfo;
  std::string LogLine;
  TMessageKind LogKind = mkInfo;
};
// The panel's message is the record's result in words (FlashResultText).
[[nodiscard]] TFlashResultText DescribeFlashResult(int result, int lastAnswer, int elapsed);

// The record of a flash whose thread has ended, for the program `program`.
[[nodiscard]] TFlashRecord FlashRecordOf(const TWriteThread& thread, const std::string& program,
                                         const TLocalTime& time);
