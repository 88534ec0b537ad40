// The worker thread class and the hand-over to the window thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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
  worker.Start();
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
  worker.Start();
  SleepMs(50);
  /* not served yet: still waiting */
  EXPECT_FALSE(pastCall.load());
  ASSERT_TRUE(ServeUntil([&] { return pastCall.load(); }));
  worker.WaitFor();
  EXPECT_EQ(error, "bad call");
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
  worker->Start();
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
    worker->Start();
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
    worker->Start();
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
