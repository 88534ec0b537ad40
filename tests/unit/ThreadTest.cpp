// The worker thread class and the hand-over to the window thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/MainThread.h"
#include "platform/Thread.h"
#include "platform/Ticks.h"

namespace {

class TLambdaThread : public TThread {
public:
  explicit TLambdaThread(std::function<void(TLambdaThread&)> body, std::atomic<bool>* destroyed = nullptr)
      : FBody(std::move(body)), FDestroyed(destroyed) {}
  ~TLambdaThread() override {
    if (FDestroyed != nullptr) FDestroyed->store(true);
  }
  using TThread::Synchronize;

protected:
  void Execute() override { FBody(*this); }

private:
  std::function<void(TLambdaThread&)> FBody;
  std::atomic<bool>* FDestroyed;
};

// Serves hand-overs until `done` holds or the time is up.
bool ServeUntil(const std::function<bool()>& done, std::uint32_t ms = 5000) {
  const std::uint32_t start = TickCount();
  while (!done()) {
    if (TickCount() - start > ms) return false;
    CheckSynchronize(5);
  }
  return true;
}

class ThreadTest : public ::testing::Test {
protected:
  void SetUp() override { SetMainThread(); }
  void TearDown() override { TThread::TerminateAndWaitAll(); }
};

TEST_F(ThreadTest, RunsOnlyWhenStartedAndSynchronizeBlocksUntilTheWindowThreadRanTheCall) {
  std::atomic<bool> ran{false}, returned{false};
  std::thread::id callThread;
  TLambdaThread worker([&](TLambdaThread& self) {
    ran = true;
    self.Synchronize([&] { callThread = std::this_thread::get_id(); });
    returned = true;
  });

  /* created suspended */
  SleepMs(30);
  EXPECT_FALSE(ran.load());

  /* the worker waits in Synchronize while nobody serves it */
  EXPECT_TRUE(worker.Start());
  const std::uint32_t start = TickCount();
  while (!ran.load() && TickCount() - start < 2000) SleepMs(1);
  ASSERT_TRUE(ran.load());
  SleepMs(30);
  EXPECT_FALSE(returned.load());

  ASSERT_TRUE(ServeUntil([&] { return returned.load(); }));
  EXPECT_EQ(callThread, std::this_thread::get_id());
  worker.WaitFor();
  EXPECT_TRUE(worker.Finished());
}

TEST_F(ThreadTest, SynchronizeWaitsForTheCallAndPassesErrorsBack) {
  std::atomic<bool> pastCall{false};
  std::string error;
  TLambdaThread worker([&](TLambdaThread& self) {
    try {
      self.Synchronize([] { throw std::runtime_error("bad call"); });
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    pastCall = true;
  });
  EXPECT_TRUE(worker.Start());
  SleepMs(50);
  /* not served yet: still waiting */
  EXPECT_FALSE(pastCall.load());
  ASSERT_TRUE(ServeUntil([&] { return pastCall.load(); }));
  worker.WaitFor();
  EXPECT_EQ(error, "bad call");
}

TEST_F(ThreadTest, TheTurnEndRunsOnceAfterTheTurnsCallsAndBeforeTheirWorkersGoOn) {
  // Three workers queue a call each before the window thread serves them; the
  // calls run in one turn, then the turn's end, and only then does any of
  // them return from Synchronize.
  std::atomic<int> queued{0}, turnEnds{0};
  std::vector<int> order;  // window thread: 1 for a call, 0 for a turn end
  std::atomic<bool> earlyReturn{false};
  bool inTurnDuringCall = false, inTurnAtEnd = true;
  SetHandOverTurnEnd([&] {
    order.push_back(0);
    inTurnAtEnd = InHandOverTurn();
    ++turnEnds;
  });
  std::vector<std::unique_ptr<TLambdaThread>> workers;
  for (int i = 0; i < 3; ++i)
    workers.push_back(std::make_unique<TLambdaThread>([&](TLambdaThread& self) {
      ++queued;
      self.Synchronize([&] {
        order.push_back(1);
        inTurnDuringCall = InHandOverTurn();
      });
      if (turnEnds.load() == 0) earlyReturn = true;
    }));
  for (auto& w : workers) EXPECT_TRUE(w->Start());
  const std::uint32_t start = TickCount();
  while (queued.load() < 3 && TickCount() - start < 2000) SleepMs(1);
  SleepMs(30);  // every call is in the queue by now
  ASSERT_TRUE(CheckSynchronize(0));
  for (auto& w : workers) w->WaitFor();
  EXPECT_EQ(order, (std::vector<int>{1, 1, 1, 0}));
  EXPECT_FALSE(earlyReturn.load());
  EXPECT_TRUE(inTurnDuringCall);
  EXPECT_FALSE(inTurnAtEnd);
  EXPECT_FALSE(InHandOverTurn());

  /* an empty turn does no end work; a call made on the window thread itself is no turn */
  EXPECT_FALSE(CheckSynchronize(0));
  bool inTurn = true;
  RunOnMainThread([&] { inTurn = InHandOverTurn(); });
  EXPECT_FALSE(inTurn);
  EXPECT_EQ(turnEnds.load(), 1);

  /* the end work raising does not keep the workers waiting */
  SetHandOverTurnEnd([] { throw std::runtime_error("end failed"); });
  TLambdaThread worker([](TLambdaThread& self) { self.Synchronize([] {}); });
  EXPECT_TRUE(worker.Start());
  ASSERT_TRUE(ServeUntil([&] { return worker.Finished(); }));
  worker.WaitFor();
  SetHandOverTurnEnd({});
}

TEST_F(ThreadTest, ACallThatWaitsForAWorkerServedEarlierInItsTurnDoesNotHang) {
  // B's call runs first in the turn; A's call then waits for B to end, which
  // B can only do once its own call is finished.
  std::atomic<bool> bQueued{false}, aQueued{false};
  TLambdaThread b([&](TLambdaThread& self) {
    bQueued = true;
    self.Synchronize([] {});
  });
  bool bEnded = false;
  TLambdaThread a([&](TLambdaThread& self) {
    aQueued = true;
    self.Synchronize([&] {
      const std::uint32_t start = TickCount();
      while (!b.Finished() && TickCount() - start < 3000) CheckSynchronize(10);
      bEnded = b.Finished();
    });
  });
  EXPECT_TRUE(b.Start());
  std::uint32_t start = TickCount();
  while (!bQueued.load() && TickCount() - start < 2000) SleepMs(1);
  SleepMs(30);
  EXPECT_TRUE(a.Start());
  start = TickCount();
  while (!aQueued.load() && TickCount() - start < 2000) SleepMs(1);
  SleepMs(30);
  ASSERT_TRUE(CheckSynchronize(0));
  EXPECT_TRUE(bEnded);
  a.WaitFor();
  b.WaitFor();
}

TEST_F(ThreadTest, OnTerminateRunsOnTheWindowThreadAndFreeOnTerminateDeletes) {
  std::atomic<bool> destroyed{false}, executed{false};
  std::thread::id handlerThread;
  bool executedBeforeHandler = false;
  auto* worker = new TLambdaThread([&](TLambdaThread&) { executed = true; }, &destroyed);
  worker->FreeOnTerminate = true;
  worker->SetPriority(tpHigher);
  EXPECT_EQ(worker->Priority(), tpHigher);
  worker->OnTerminate = [&](TThread* sender) {
    handlerThread = std::this_thread::get_id();
    executedBeforeHandler = executed.load() && sender->Finished();
  };
  EXPECT_TRUE(worker->Start());
  // The thread counts as running until it has deleted itself.
  ASSERT_TRUE(ServeUntil([&] { return destroyed.load() && TThread::RunningCount() == 0; }));
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
  EXPECT_TRUE(executedBeforeHandler);
}

TEST_F(ThreadTest, AWorkerThatEndsAtOnceFindsItsOwnThreadSetUp) {
  // Without an end handler a self-freeing worker deletes itself as soon as
  // Execute returns, and one that sets its own priority looks at its thread
  // at once: both may come before Start has returned on the window thread.
  std::atomic<int> destroyed{0};
  std::vector<std::atomic<bool>> flags(20);
  for (int i = 0; i < 20; ++i) {
    auto* worker = new TLambdaThread([](TLambdaThread& self) { self.SetPriority(tpLower); }, &flags[i]);
    worker->FreeOnTerminate = true;
    EXPECT_TRUE(worker->Start());
  }
  ASSERT_TRUE(ServeUntil([&] { return TThread::RunningCount() == 0; }));
  for (const std::atomic<bool>& f : flags) destroyed += f.load();
  EXPECT_EQ(destroyed.load(), 20);
}

TEST_F(ThreadTest, ShutdownStopsWorkersWhileServingTheirHandOvers) {
  std::atomic<int> served{0}, handlers{0};
  std::atomic<bool> blockedOnce{false};
  for (int i = 0; i < 3; ++i) {
    auto* worker = new TLambdaThread([&](TLambdaThread& self) {
      while (!self.Terminated()) {
        blockedOnce = true;
        self.Synchronize([&] { ++served; });
        SleepMs(1);
      }
      // One more hand-over after the stop request, as a worker that logs its
      // last line would make.
      self.Synchronize([&] { ++served; });
    });
    worker->FreeOnTerminate = true;
    worker->OnTerminate = [&](TThread*) { ++handlers; };
    EXPECT_TRUE(worker->Start());
  }
  /* the workers are blocked in Synchronize: nobody served them yet */
  const std::uint32_t start = TickCount();
  while (!blockedOnce.load() && TickCount() - start < 2000) SleepMs(1);
  SleepMs(20);
  EXPECT_EQ(served.load(), 0);

  TThread::TerminateAndWaitAll();
  EXPECT_EQ(TThread::RunningCount(), 0);
  EXPECT_EQ(handlers.load(), 3);
  EXPECT_GE(served.load(), 6);
}

}  // namespace
