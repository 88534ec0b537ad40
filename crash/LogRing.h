#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class TReportBuffer;

// The last lines written to the operation log, for a crash report. The window
// thread adds lines; the reporter copies them from another thread without a
// lock (the window thread may be the one that crashed, in the middle of an
// add): each slot carries a sequence number that is odd while it is being
// written, and a slot that changes while it is copied is left out. Its bytes
// are atomics stored with release and loaded with acquire: a reader that sees
// any byte of a newer line then also sees the odd sequence number before it.
class TLogRing {
public:
  static constexpr int kLines = 100;
  static constexpr std::size_t kLineLength = 240;  // longer lines are cut

  void Add(const char* line);
  // Appends the kept lines, oldest first, each on a line of its own (CR LF).
  // Returns how many were appended.
  int AppendTo(TReportBuffer& out) const;

private:
  struct TSlot {
    std::atomic<std::uint32_t> Sequence{0};
    std::atomic<char> Text[kLineLength + 1] = {};
  };
  TSlot FSlots[kLines];
  std::atomic<std::uint32_t> FAdded{0};
};

// The updater's one ring, fed by the operation log.
TLogRing& CrashLogRing();
