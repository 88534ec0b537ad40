#pragma once

#include <cstdint>

// What each thread of the updater is doing, kept where the crash reporter can
// read it from any thread without taking a lock: the crashed thread may hold
// any lock there is. A fixed table of slots, each claimed by one thread with
// an atomic compare-and-swap; nothing is allocated.

enum class TThreadKind : std::int32_t {
  Unknown = 0,
  Window = 1,     // the message loop
  Discovery = 2,  // a discovery run
  Flashing = 3,   // the flash of one device
  Reporter = 4,   // the crash reporter itself
  Console = 5,    // the console flasher's loop
};

[[nodiscard]] const char* ThreadKindName(TThreadKind kind);

// The operating system's number of the calling thread (GetCurrentThreadId on
// Windows), never 0.
[[nodiscard]] std::uint64_t CurrentThreadNumber();

struct TThreadTagInfo {
  std::uint64_t Thread = 0;
  TThreadKind Kind = TThreadKind::Unknown;
  std::int32_t Serial = 0;  // the device worked on; 0 for none
};

inline constexpr int kThreadTagSlots = 64;

// Tags the calling thread until the tag goes out of scope (one tag per thread
// at a time). When every slot is taken
// the thread stays untagged (a report then calls it unknown).
class TThreadTag {
public:
  explicit TThreadTag(TThreadKind kind, std::int32_t serial = 0);
  ~TThreadTag();
  TThreadTag(const TThreadTag&) = delete;
  TThreadTag& operator=(const TThreadTag&) = delete;

  [[nodiscard]] bool Tagged() const { return FSlot >= 0; }

private:
  int FSlot = -1;
};

// The tag of a thread; false when it has none. Lock-free, allocation-free.
[[nodiscard]] bool FindThreadTag(std::uint64_t thread, TThreadTagInfo& info);

// Copies up to `max` tags of live threads; returns how many.
[[nodiscard]] int ListThreadTags(TThreadTagInfo* out, int max);
