#include "platform/ThreadTags.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// A slot is free while Thread is 0. The owner claims it, then writes kind and
// serial; a reader that sees a half-written slot reports it as unknown, which
// is all a crash report can ask for.
struct TSlot {
  std::atomic<std::uint64_t> Thread{0};
  std::atomic<std::int32_t> Kind{0};
  std::atomic<std::int32_t> Serial{0};
};

TSlot slots[kThreadTagSlots];

}  // namespace

const char* ThreadKindName(TThreadKind kind) {
  switch (kind) {
    case TThreadKind::Window: return "поток окна";
    case TThreadKind::Discovery: return "поиск приборов";
    case TThreadKind::Flashing: return "прошивка прибора";
    case TThreadKind::Reporter: return "отчёт о сбое";
    case TThreadKind::Console: return "основной поток";
    case TThreadKind::Unknown: break;
  }
  return "неизвестный поток";
}

std::uint64_t CurrentThreadNumber() {
#ifdef _WIN32
  return GetCurrentThreadId();
#else
  return static_cast<std::uint64_t>(syscall(SYS_gettid));
#endif
}

TThreadTag::TThreadTag(TThreadKind kind, std::int32_t serial) {
  const std::uint64_t self = CurrentThreadNumber();
  for (int i = 0; i < kThreadTagSlots; ++i) {
    std::uint64_t expected = 0;
    if (slots[i].Thread.compare_exchange_strong(expected, self)) {
      slots[i].Kind.store(static_cast<std::int32_t>(kind));
      slots[i].Serial.store(serial);
      FSlot = i;
      return;
    }
  }
}

TThreadTag::~TThreadTag() {
  if (FSlot < 0) return;
  slots[FSlot].Kind.store(0);
  slots[FSlot].Serial.store(0);
  slots[FSlot].Thread.store(0);
}

bool FindThreadTag(std::uint64_t thread, TThreadTagInfo& info) {
  if (thread == 0) return false;
  for (TSlot& slot : slots) {
    if (slot.Thread.load() != thread) continue;
    info.Thread = thread;
    info.Kind = static_cast<TThreadKind>(slot.Kind.load());
    info.Serial = slot.Serial.load();
    return true;
  }
  return false;
}

int ListThreadTags(TThreadTagInfo* out, int max) {
  int n = 0;
  for (TSlot& slot : slots) {
    if (n >= max) break;
    const std::uint64_t thread = slot.Thread.load();
    if (thread == 0) continue;
    out[n].Thread = thread;
    out[n].Kind = static_cast<TThreadKind>(slot.Kind.load());
    out[n].Serial = slot.Serial.load();
    ++n;
  }
  return n;
}
