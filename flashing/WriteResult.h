#pragma once

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
