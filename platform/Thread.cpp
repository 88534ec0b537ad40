#include "platform/Thread.h"

#include <mutex>
#include <set>
#include <system_error>

#include "platform/MainThread.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Threads started and not yet ended. `alive` falls only after a self-freeing
// thread has deleted itself, so shutdown waits for that too.
struct TRegistry {
  std::mutex mutex;
  std::set<TThread*> running;
  int alive = 0;
  int failStarts = 0;  // starts still to refuse (tests)
};

TRegistry& Registry() {
  static TRegistry* registry = new TRegistry;  // outlives detached workers
  return *registry;
}

#ifdef _WIN32
int NativePriority(TThreadPriority p) {
  switch (p) {
    case tpIdle: return THREAD_PRIORITY_IDLE;
    case tpLowest: return THREAD_PRIORITY_LOWEST;
    case tpLower: return THREAD_PRIORITY_BELOW_NORMAL;
    case tpNormal: return THREAD_PRIORITY_NORMAL;
    case tpHigher: return THREAD_PRIORITY_ABOVE_NORMAL;
    case tpHighest: return THREAD_PRIORITY_HIGHEST;
    case tpTimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
  }
  return THREAD_PRIORITY_NORMAL;
}
#endif

void ApplyPriorityToCurrentThread([[maybe_unused]] TThreadPriority p) {
#ifdef _WIN32
  SetThreadPriority(GetCurrentThread(), NativePriority(p));
#endif
  // Elsewhere threads keep the default: raising priority needs privileges.
}

}  // namespace

TThread::TThread() = default;

TThread::~TThread() {
  if (!FThread.joinable()) return;
  if (FThread.get_id() == std::this_thread::get_id()) {
    FThread.detach();  // freeing itself after its end handler
    return;
  }
  Terminate();
  WaitFor();
}

bool TThread::Start() {
  if (FStarted) return true;
  TRegistry& r = Registry();
  // The new thread may end, and free itself, before this call returns: it
  // takes the same lock before anything else, so it finds FThread stored.
  // It is counted only once it exists: shutdown waits for every counted one.
  std::lock_guard lock(r.mutex);
  if (r.failStarts > 0) {
    --r.failStarts;
    return false;
  }
  try {
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  FStarted = true;
  r.running.insert(this);
  ++r.alive;
  return true;
}

void TThread::FailNextStarts(int count) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  r.failStarts = count;
}

void TThread::Run() {
  { std::lock_guard started(Registry().mutex); }  // Start has stored FThread
  ApplyPriorityToCurrentThread(FPriority.load());
  try {
    Execute();
  } catch (...) {
    // A worker reports through its result fields; an escaped error ends it.
  }
  FFinished.store(true);
  if (OnTerminate) {
    try {
      Synchronize([this] { OnTerminate(this); });
    } catch (...) {
    }
  }
  const bool freeSelf = FreeOnTerminate;
  TRegistry& r = Registry();
  {
    std::lock_guard lock(r.mutex);
    r.running.erase(this);
  }
  FEnded.store(true);
  WakeMainThread();
  if (freeSelf) delete this;  // `this` is gone from here on
  {
    std::lock_guard lock(r.mutex);
    --r.alive;
  }
  WakeMainThread();
}

void TThread::WaitFor() {
  if (!FStarted) return;
  if (FThread.joinable() && FThread.get_id() == std::this_thread::get_id()) return;
  if (IsMainThread()) {
    while (!FEnded.load()) CheckSynchronize(10);
  }
  if (FThread.joinable()) FThread.join();
}

void TThread::SetPriority(TThreadPriority priority) {
  FPriority.store(priority);
  // A running thread takes a new priority only when it sets it itself.
  if (FStarted && FThread.get_id() == std::this_thread::get_id()) ApplyPriorityToCurrentThread(priority);
}

void TThread::Synchronize(const std::function<void()>& call) { RunOnMainThread(call); }

void TThread::TerminateAndWaitAll() {
  TRegistry& r = Registry();
  for (;;) {
    {
      std::lock_guard lock(r.mutex);
      if (r.alive == 0) return;
      // End handlers may start new workers: ask those to stop as well.
      for (TThread* t : r.running) t->Terminate();
    }
    CheckSynchronize(10);
  }
}

int TThread::RunningCount() {
  TRegistry& r = Registry();
  std::lock_guard lock(r.mutex);
  return r.alive;
}
