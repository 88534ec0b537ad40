#pragma once

#include <cstdint>

// Kind of a log line or a panel message; decides its colour.
enum TMessageKind : std::uint8_t {
  mkInfo = 0,
  mkError = 1,
  mkSuccess = 2,
};
