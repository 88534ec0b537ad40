#pragma once

// The record of one driver call, made as the call starts and stored as it
// returns.

#include <cstdio>
#include <cstring>

#include "sim/ModelState.h"

namespace vxsim {

class TCallRecord {
public:
  TCallRecord(int library, const char* function) {
    TModel& m = Model();
    std::memset(&r_.Call, 0, sizeof r_.Call);
    r_.Call.Tick = m.Now();
    r_.Call.Micros = m.Micros();
    r_.Call.Library = library;
    r_.Call.Device = -1;
    std::snprintf(r_.Call.Function, sizeof r_.Call.Function, "%s", function);
  }
  void Device(int d) { r_.Call.Device = d; }
  void Arg(int i, std::uint32_t v) { r_.Call.Args[i] = v; }
  void Data(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    r_.Data.assign(b, b + n);
    r_.Call.DataLength = static_cast<std::uint32_t>(n);
  }
  // Stores the record; the caller holds the lock.
  template <typename R>
  R Finish(TModel& m, R result) {
    r_.Call.Result = static_cast<std::int32_t>(result);
    r_.Call.EndTick = m.Now();
    if (m.TranscriptOn) m.Transcript.push_back(std::move(r_));
    return result;
  }
  template <typename R>
  R Done(R result) {
    TGuard g;
    return Finish(g.m(), result);
  }

private:
  TRecord r_;
};

// The transcript as text, one call a line; the caller holds the lock.
void WriteTranscript(const TModel& m, std::FILE* f);

}  // namespace vxsim
