#pragma once

#include <mutex>

// A plain lock: the device-list lock and the like. Held briefly; no thread
// waits for the window while holding one.
class TCriticalSection {
public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

  // For std::lock_guard.
  void lock() { Enter(); }
  void unlock() { Leave(); }

private:
  std::mutex mutex_;
};
