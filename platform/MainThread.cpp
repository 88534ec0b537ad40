#include "platform/MainThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "platform/HelperWindow.h"
#endif

namespace {

struct TPendingCall {
  const std::function<void()>* call;
  std::exception_ptr error;
  // Set under the hand-over's lock; read by its caller without it while it
  // spins. `error` is written before it and read after it.
  std::atomic<bool> done{false};
};

// How long a caller watches for its call to be done before it sleeps on the
// condition. Most calls are done within this; a caller that sleeps pays two
// more wake-ups of a thread, which under Wine cost as much as the call itself.
// It yields its processor while it watches, so the window thread that runs
// the call is not held up by the callers waiting for it.
constexpr auto kDoneWatch = std::chrono::microseconds(250);

// Never destroyed: workers that end while the process exits may still touch it.
struct THandOver {
  std::mutex mutex;
  std::condition_variable wake;  // window thread: a call is pending or a worker ended
  std::condition_variable done;  // workers: their call has run
  std::deque<TPendingCall*> queue;
  bool signalled = false;
  std::thread::id mainId = std::this_thread::get_id();
  std::function<void()> turnEnd;  // window thread only
  int turnDepth = 0;              // window thread only: turns running, nested in modal loops
  std::vector<TPendingCall*> ran;  // window thread only: calls run whose callers still wait
#ifdef _WIN32
  HWND window = nullptr;
  bool posted = false;
#endif
};

THandOver& HandOver() {
  static THandOver* state = new THandOver;
  return *state;
}

#ifdef _WIN32
constexpr UINT WM_VX_SYNCHRONIZE = WM_APP + 0x51;

LRESULT CALLBACK HandOverWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_VX_SYNCHRONIZE) {
    {
      std::lock_guard lock(HandOver().mutex);
      HandOver().posted = false;
    }
    CheckSynchronize(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND CreateHandOverWindow() {
  // Message-only: it receives our posted messages, no broadcasts.
  return CreateHelperWindow(L"TVxSynchronizeWindow", HandOverWindowProc, HWND_MESSAGE);
}
#endif

}  // namespace

void SetMainThread() {
  THandOver& h = HandOver();
  std::lock_guard lock(h.mutex);
  h.mainId = std::this_thread::get_id();
#ifdef _WIN32
  if (h.window != nullptr) DestroyWindow(h.window);
  h.window = CreateHandOverWindow();
  h.posted = false;
#endif
}

bool IsMainThread() { return std::this_thread::get_id() == HandOver().mainId; }

void RunOnMainThread(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  THandOver& h = HandOver();
  TPendingCall pending{&call, nullptr};
  std::unique_lock lock(h.mutex);
  h.queue.push_back(&pending);
  h.signalled = true;
  h.wake.notify_all();
#ifdef _WIN32
  // One posted message serves every call queued before it is handled. When
  // the post fails the call still runs at the next CheckSynchronize.
  if (!h.posted && h.window != nullptr) h.posted = PostMessageW(h.window, WM_VX_SYNCHRONIZE, 0, 0) != 0;
#endif
  lock.unlock();
  const auto watchEnd = std::chrono::steady_clock::now() + kDoneWatch;
  while (!pending.done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < watchEnd)
    std::this_thread::yield();
  if (!pending.done.load(std::memory_order_acquire)) {
    lock.lock();
    h.done.wait(lock, [&] { return pending.done.load(std::memory_order_relaxed); });
    lock.unlock();
  }
  if (pending.error) std::rethrow_exception(pending.error);
}

namespace {

// The turn's end work, then the callers of every call run so far go on.
void FinishCallsRun() {
  THandOver& h = HandOver();
  if (h.turnEnd) {
    try {
      const std::function<void()> work = h.turnEnd;  // it may replace itself
      work();
    } catch (...) {
      // The calls have run; what their turn left undone must not stop them.
    }
  }
  if (h.ran.empty()) return;
  std::lock_guard lock(h.mutex);
  // A caller that sees its flag set returns at once and its record is gone:
  // nothing of a record is touched after its flag.
  for (TPendingCall* p : h.ran) p->done.store(true, std::memory_order_release);
  h.ran.clear();
  h.done.notify_all();
}

}  // namespace

bool CheckSynchronize(std::uint32_t timeoutMs) {
  THandOver& h = HandOver();
  // Called from within a call (a modal loop, a wait for a worker): the calls
  // run before it are finished first, since the one waiting may wait for them.
  if (IsMainThread() && h.turnDepth > 0) FinishCallsRun();
  std::deque<TPendingCall*> calls;
  {
    std::unique_lock lock(h.mutex);
    if (h.queue.empty() && timeoutMs > 0)
      h.wake.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !h.queue.empty() || h.signalled; });
    h.signalled = false;
    calls.swap(h.queue);
  }
  if (calls.empty()) return false;
  ++h.turnDepth;
  for (TPendingCall* p : calls) {
    try {
      (*p->call)();
    } catch (...) {
      p->error = std::current_exception();
    }
    h.ran.push_back(p);
  }
  --h.turnDepth;
  FinishCallsRun();
  return true;
}

void SetHandOverTurnEnd(std::function<void()> work) { HandOver().turnEnd = std::move(work); }

void RunHandOverTurnEnd() {
  if (IsMainThread()) FinishCallsRun();
}

bool InHandOverTurn() { return IsMainThread() && HandOver().turnDepth > 0; }

void WakeMainThread() {
  THandOver& h = HandOver();
  std::lock_guard lock(h.mutex);
  h.signalled = true;
  h.wake.notify_all();
}
