#include "crash/LogRing.h"

#include <cstring>

#include "crash/ReportBuffer.h"

void TLogRing::Add(const char* line) {
  const std::uint32_t index = FAdded.load(std::memory_order_relaxed);
  TSlot& slot = FSlots[index % kLines];
  const std::uint32_t sequence = slot.Sequence.load(std::memory_order_relaxed);
  slot.Sequence.store(sequence + 1, std::memory_order_relaxed);  // odd: being written
  std::size_t n = line != nullptr ? std::strlen(line) : 0;
  if (n > kLineLength) n = kLineLength;
  for (std::size_t i = 0; i < n; ++i) {
    // Line breaks inside a line would split it in the report.
    const char c = line[i];
    slot.Text[i].store(c == '\r' || c == '\n' ? ' ' : c, std::memory_order_release);
  }
  slot.Text[n].store('\0', std::memory_order_release);
  slot.Sequence.store(sequence + 2, std::memory_order_release);
  FAdded.store(index + 1, std::memory_order_release);
}

int TLogRing::AppendTo(TReportBuffer& out) const {
  const std::uint32_t added = FAdded.load(std::memory_order_acquire);
  const std::uint32_t count = added < kLines ? added : kLines;
  int appended = 0;
  char copy[kLineLength + 1];
  for (std::uint32_t i = added - count; i != added; ++i) {
    const TSlot& slot = FSlots[i % kLines];
    const std::uint32_t before = slot.Sequence.load(std::memory_order_acquire);
    if (before % 2 != 0) continue;
    for (std::size_t k = 0; k < sizeof copy; ++k) copy[k] = slot.Text[k].load(std::memory_order_acquire);
    if (slot.Sequence.load(std::memory_order_relaxed) != before) continue;
    copy[kLineLength] = '\0';
    out.Append(copy);
    out.Append("\r\n");
    ++appended;
  }
  return appended;
}

TLogRing& CrashLogRing() {
  static TLogRing ring;  // constant-initialised: usable before main and after
  return ring;
}
