#include "FlashHarness.h"

#include <algorithm>
#include <map>

#include "platform/Ticks.h"

namespace {

// "(% 6d)" at the start of a line: at least six characters between the
// parentheses, blanks then digits. Returns the line with "(*)" in its place,
// or the line unchanged when it has no stamp.
std::string WithoutStamp(const std::string& text, bool& malformed) {
  if (text.empty() || text[0] != '(') return text;
  const std::size_t close = text.find(')');
  if (close == std::string::npos) return text;
  const std::string inner = text.substr(1, close - 1);
  const std::size_t digits = inner.find_first_not_of(' ');
  if (inner.size() < 6 || digits == std::string::npos ||
      inner.find_first_not_of("0123456789", digits) != std::string::npos)
    malformed = true;
  return "(*)" + text.substr(close + 1);
}

}  // namespace

TOperationLog& TFlashOwner::FlashLog() {
  if (!IsMainThread()) offMainThread = true;
  return checked_;
}

void TFlashOwner::TCheckedLog::DeviceLog(TMessageKind kind, int serial, const char* text) {
  if (!IsMainThread()) FOwner.offMainThread = true;
  FOwner.log.DeviceLog(kind, serial, text);
  bool malformed = false;
  const std::string shown = WithoutStamp(text, malformed);
  if (!FOwner.throwOn.empty() && FOwner.throwOn == shown) {
    FOwner.throwOn.clear();
    throw std::runtime_error("журнал недоступен");
  }
  if (FOwner.afterLine) FOwner.afterLine(shown);
}

bool TFlashOwner::LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) {
  if (!IsMainThread()) offMainThread = true;
  ++loads;
  FreeFirmwareBlocks(blocks);
  switch (load) {
    case ldFails:
      log.DeviceLog(mkError, 0, "Ошибка загрузки прошивки");
      return false;
    case ldRaises:
      // The block refuses a payload above its limit by raising.
      blocks.push_back(std::make_unique<TFirmwareBlock>(-1, nullptr, kMaxFirmwareBlockSize + 1));
      return true;
    case ldImage: break;
  }
  blocks.push_back(
      std::make_unique<TFirmwareBlock>(-1, payload.data(), static_cast<std::uint32_t>(payload.size())));
  version.Parse(versionText.c_str());
  return true;
}

void TFlashOwner::SetFlashProgress(TDevEntry& entry, const TFlashProgress& step) {
  if (!IsMainThread()) offMainThread = true;
  if (&entry != device) otherDevice = true;
  progress.push_back(step.Percent);
  units.push_back(step.DoneUnits);
  totalUnits = step.TotalUnits;
}

void TFlashOwner::WriteThreadTerminate(TThread* sender) {
  if (!IsMainThread()) offMainThread = true;
  auto* thread = static_cast<TWriteThread*>(sender);
  run.entryCleared = thread->FDevice->WriteThread.load() == thread;
  thread->FDevice->WriteThread.store(nullptr);
  run.result = thread->FResult;
  run.lastAnswer = thread->FLastAnswer;
  run.elapsed = thread->FElapsed;
  run.health = thread->FHealth;
  run.ended = true;
}

void FlashTest::SetUp() {
  SimTest::SetUp();
  SetMainThread();
}

void FlashTest::TearDown() {
  EXPECT_FALSE(owner_.offMainThread) << "the owner was called off the window thread";
  EXPECT_FALSE(owner_.otherDevice) << "progress was reported for another device";
  if (entry_) LinkClose(*entry_);
  SimTest::TearDown();
}

TDevEntry& FlashTest::Device(const vxsim::TSimDevice& d) {
  sim_ = d;
  entry_ = Entry(d);
  entry_->InBootLoader = true;
  entry_->ProcessorId = d.ProcessorId;
  (void)entry_->FirmwareVersion.Parse(d.FirmwareVersion.c_str());
  (void)entry_->LoaderVersion.Parse(d.LoaderVersion.c_str());
  owner_.device = entry_.get();
  return *entry_;
}

TFlashRun& FlashTest::Flash(const std::function<void(TWriteThread&)>& started) {
  TWriteThread* thread =
      TWriteThread::Launch(owner_, *entry_, [this](TThread* sender) { owner_.WriteThreadTerminate(sender); });
  EXPECT_NE(thread, nullptr);
  if (thread != nullptr && started) started(*thread);
  const std::uint32_t start = SystemTickCount();
  while ((!owner_.run.ended || TThread::RunningCount() != 0) && SystemTickCount() - start < 120000)
    CheckSynchronize(10);
  EXPECT_TRUE(owner_.run.ended) << "the flash did not end";
  EXPECT_TRUE(owner_.run.entryCleared);
  return owner_.run;
}

std::vector<TLine> FlashTest::Lines() const {
  std::vector<TLine> out;
  for (const auto& l : owner_.log.lines) {
    bool malformed = false;
    out.emplace_back(l.kind, WithoutStamp(l.text, malformed));
    EXPECT_FALSE(malformed) << "stamp of \"" << l.text << "\"";
    EXPECT_TRUE(l.serial == entry_->Serial || l.text == "Ошибка загрузки прошивки") << l.text;
  }
  return out;
}

std::vector<TRequest> FlashTest::Requests() const { return DeviceRequests(device_); }

std::vector<int> FlashTest::Codes() const {
  std::vector<int> out;
  for (const TRequest& r : Requests()) out.push_back(r.Code);
  return out;
}

std::vector<TDeviceSector> FlashTest::DeviceSectors() const {
  return ::DeviceSectors(sim_.ProcessorId, sim_.LoaderVersion);
}

void FlashTest::ExpectFlash(const std::vector<std::uint8_t>& payload, int first, int last, std::uint8_t fill,
                            const std::set<int>& untouched) {
  ExpectDeviceFlash(device_, sim_.ProcessorId, sim_.LoaderVersion, payload, first, last, fill, untouched);
}

std::vector<std::uint8_t> FlashTest::Payload(std::size_t size, std::uint32_t seed) {
  return PseudoRandomPayload(size, seed);
}
