#pragma once

#include <mutex>

// A plain lock: the device-list lock and the like. Held briefly; no thread
// waits for the window while holding one.
class TCriticalSection {
public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  // Takes the lock only if no thread holds it; true when taken.
  [[nodiscard]] bool TryEnter() { return mutex_.try_lock(); }

  // For std::lock_guard.
  void lock() { Enter(); }
  void unlock() { Leave(); }
  [[nodiscard]] bool try_lock() { return TryEnter(); }

private:
  std::mutex mutex_;
};
