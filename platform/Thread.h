#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

// Worker threads in the style the window expects: created suspended, configured
// by the window thread, then started. A worker reaches the window only through
// Synchronize (it blocks until the window thread has run the call) and through
// OnTerminate, which the window thread runs after Execute has returned.
//
// The window thread is whichever thread called SetMainThread(); it serves the
// hand-over from its message loop (a posted message to a hidden window of ours
// on Windows, so message boxes and other modal loops serve it too) or, without
// a message loop, through CheckSynchronize().

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread {
public:
  // Always created suspended; Start() runs Execute on a new thread.
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // False when the system gives no thread: nothing has changed then (the
  // thread is not counted as running and OnTerminate never runs), and the
  // caller still owns the object, FreeOnTerminate or not.
  [[nodiscard]] bool Start();

  // Asks Execute to stop; Execute looks at Terminated() where it can stop.
  void Terminate() { FTerminated.store(true); }
  [[nodiscard]] bool Terminated() const { return FTerminated.load(); }

  // True once Execute has returned (OnTerminate may still be pending).
  [[nodiscard]] bool Finished() const { return FFinished.load(); }

  // Blocks until the thread has ended entirely (OnTerminate included). Called
  // on the window thread it keeps serving Synchronize meanwhile. Not for
  // FreeOnTerminate threads, which may be gone by then.
  void WaitFor();

  void SetPriority(TThreadPriority priority);
  [[nodiscard]] TThreadPriority Priority() const { return FPriority.load(); }

  // Set before Start(); the thread deletes itself after OnTerminate.
  bool FreeOnTerminate = false;
  // Runs on the window thread after Execute, with this thread as argument.
  std::function<void(TThread*)> OnTerminate;

  // Shutdown: asks every running worker to stop and waits until all of them
  // have ended, serving their Synchronize calls and end handlers meanwhile.
  // Window thread only.
  static void TerminateAndWaitAll();
  [[nodiscard]] static int RunningCount();

  // Tests: the next `count` starts fail as if the system had no thread left.
  static void FailNextStarts(int count);

protected:
  virtual void Execute() = 0;

  // Runs `call` on the window thread and returns when it has run. On the
  // window thread itself it runs at once.
  void Synchronize(const std::function<void()>& call);

private:
  void Run();

  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FEnded{false};
  std::atomic<TThreadPriority> FPriority{tpNormal};
  bool FStarted = false;
};
