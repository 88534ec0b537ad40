#include "DiscoveryHarness.h"

int TTestOwner::panelsDeleted = 0;

namespace {
char panelSentinel;  // stands for a panel; never dereferenced
void CountPanel(TFWLoaderDevGroup*) { ++TTestOwner::panelsDeleted; }
}  // namespace

void TTestOwner::ReadVersionTerminate(TThread* sender) {
  auto* thread = static_cast<TReadVersion*>(sender);
  run.markCleared = ReadVersionThread == thread;
  ReadVersionThread = nullptr;
  run.result = thread->FResult;
  run.lastAnswer = thread->FLastAnswer;
  run.elapsed = thread->FElapsed;
  for (const TUnidentifiedDevice& d : thread->FUnidentified)
    run.unidentified.emplace_back(d.Entry->Serial, d.Result, d.LastAnswer);
  if (takeEntries) {
    run.taken = std::move(thread->FNewDevices);
  } else {
    run.left = thread->FNewDevices.size();
    for (const auto& e : thread->FNewDevices) e->Panel = reinterpret_cast<TFWLoaderDevGroup*>(&panelSentinel);
  }
  run.panelsDeletedAtEnd = panelsDeleted;
  run.ended = true;
}

void DiscoveryTest::SetUp() {
  SimTest::SetUp();
  ftdi_ = hFtdiLib;
  vxusb_ = hVxUsbLib;
  SetMainThread();
  InstallPanelDeleter(&CountPanel);
  TTestOwner::panelsDeleted = 0;
}

void DiscoveryTest::TearDown() {
  EXPECT_FALSE(owner_.log.lockHeldAtLine) << "a line was posted while DeviceListLock was held";
  EXPECT_FALSE(owner_.knownReadUnlocked) << "the known devices were read without DeviceListLock";
  SimTest::TearDown();
}

TRunResult& DiscoveryTest::RunDiscovery() {
  ReadVersionThread = TReadVersion::Launch(owner_, [this](TThread* sender) { owner_.ReadVersionTerminate(sender); });
  EXPECT_NE(ReadVersionThread, nullptr);
  const std::uint32_t start = SystemTickCount();
  while ((!owner_.run.ended || TThread::RunningCount() != 0) && SystemTickCount() - start < 60000)
    CheckSynchronize(10);
  EXPECT_TRUE(owner_.run.ended) << "the run did not end";
  EXPECT_TRUE(owner_.run.markCleared);
  return owner_.run;
}

std::vector<vxsim::TSimCall> DiscoveryTest::CallsTo(int device, const std::string& function) {
  std::vector<vxsim::TSimCall> out;
  for (vxsim::TSimCall& c : vxsim::Transcript())
    if (c.Info.Device == device && c.Function() == function) out.push_back(std::move(c));
  return out;
}

std::vector<std::string> DiscoveryTest::Sent(int device) {
  std::vector<std::string> out;
  for (const vxsim::TSimCall& c : vxsim::Transcript())
    if (c.Info.Device == device && (c.Function() == "FT_Write" || c.Function() == "RQ_Write"))
      out.emplace_back(c.Data.begin(), c.Data.end());
  return out;
}
