#include "FlashHarness.h"

#include <algorithm>
#include <map>

#include "platform/Ticks.h"

namespace {

std::uint16_t Get16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) | static_cast<std::uint8_t>(s[at + 1]) << 8);
}

std::uint32_t Get32(const std::string& s, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(s, at)) | static_cast<std::uint32_t>(Get16(s, at + 2)) << 16;
}

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

void TFlashOwner::SetFlashProgress(TDevEntry& entry, int position) {
  if (!IsMainThread()) offMainThread = true;
  if (&entry != device) otherDevice = true;
  progress.push_back(position);
}

void TFlashOwner::WriteThreadTerminate(TThread* sender) {
  if (!IsMainThread()) offMainThread = true;
  auto* thread = static_cast<TWriteThread*>(sender);
  run.entryCleared = thread->FDevice->WriteThread.load() == thread;
  thread->FDevice->WriteThread.store(nullptr);
  run.result = thread->FResult;
  run.lastAnswer = thread->FLastAnswer;
  run.elapsed = thread->FElapsed;
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

TFlashRun& FlashTest::Flash(const std::function<void(TWriteThread&)>& beforeStart) {
  auto* thread = new TWriteThread(owner_);
  entry_->WriteThread.store(thread);
  thread->SetPriority(tpNormal);
  thread->FreeOnTerminate = true;
  thread->OnTerminate = [this](TThread* sender) { owner_.WriteThreadTerminate(sender); };
  thread->FDevice = entry_.get();
  if (beforeStart) beforeStart(*thread);
  thread->Start();
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

std::vector<TRequest> FlashTest::Requests() const {
  std::string wire;
  for (const vxsim::TSimCall& c : vxsim::Transcript())
    if (c.Info.Device == device_ && (c.Function() == "FT_Write" || c.Function() == "RQ_Write"))
      wire.append(c.Data.begin(), c.Data.end());
  std::vector<TRequest> out;
  std::size_t at = 0;
  while (wire.size() - at >= 14) {
    const std::uint16_t length = Get16(wire, at);
    if (length < 14 || wire.size() - at < length) break;
    out.push_back({length, Get16(wire, at + 2), Get16(wire, at + 4), Get16(wire, at + 6), Get32(wire, at + 8),
                   wire.substr(at, length)});
    at += length;
  }
  EXPECT_EQ(at, wire.size()) << "bytes on the wire that frame no request";
  return out;
}

std::vector<int> FlashTest::Codes() const {
  std::vector<int> out;
  for (const TRequest& r : Requests()) out.push_back(r.Code);
  return out;
}

std::vector<TDeviceSector> FlashTest::DeviceSectors() const {
  // The device's own table, not the updater's.
  std::vector<VxSimSector> sectors(512);
  const std::uint32_t count = VxSim_SectorMap(sim_.ProcessorId, sim_.LoaderVersion.c_str(), sectors.data(),
                                              static_cast<std::uint32_t>(sectors.size()));
  EXPECT_GT(count, 0u);
  EXPECT_LE(count, sectors.size());
  sectors.resize(std::min<std::size_t>(count, sectors.size()));
  std::vector<TDeviceSector> out;
  for (const VxSimSector& s : sectors) out.push_back({s.Offset, s.Size});
  return out;
}

void FlashTest::ExpectFlash(const std::vector<std::uint8_t>& payload, int first, int last, std::uint8_t fill,
                            const std::set<int>& untouched) {
  const std::vector<TDeviceSector> sectors = DeviceSectors();
  ASSERT_LT(static_cast<std::size_t>(last), sectors.size());
  const VxSimDeviceState state = vxsim::State(device_);
  EXPECT_EQ(state.BadRequests, 0u);
  EXPECT_EQ(state.RefusedRequests, 0u);
  const std::uint32_t flashSize = state.FlashSize;
  ASSERT_EQ(flashSize, sectors.back().Offset + sectors.back().Size);

  std::vector<std::uint8_t> expected(flashSize, fill);
  std::set<int> written;
  const std::uint32_t base = sectors[static_cast<std::size_t>(first)].Offset;
  for (int n = first; n <= last; ++n) {
    const TDeviceSector& s = sectors[static_cast<std::size_t>(n)];
    std::vector<std::uint8_t> bytes(s.Size, 0xFF);
    for (std::uint32_t i = 0; i < s.Size; ++i)
      if (s.Offset - base + i < payload.size()) bytes[i] = payload[s.Offset - base + i];
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; })) continue;
    written.insert(n);
    if (!untouched.count(n)) std::copy(bytes.begin(), bytes.end(), expected.begin() + s.Offset);
  }

  const std::vector<std::uint8_t> flash = vxsim::Flash(device_, 0, flashSize);
  ASSERT_EQ(flash.size(), expected.size());
  const auto diff = std::mismatch(flash.begin(), flash.end(), expected.begin());
  EXPECT_TRUE(diff.first == flash.end()) << "flash differs first at offset 0x" << std::hex
                                         << (diff.first - flash.begin());

  /* every sector that holds data was erased once and written block by block; no other sector was named */
  std::map<int, int> erases, blocks;
  for (const TRequest& r : Requests()) {
    if (r.Code == cmEraseSector || r.Code == cmEraseSectorEx) ++erases[r.Param];
    if (r.Code == cmWriteBlock || r.Code == cmWriteBlockEx) ++blocks[r.Param];
  }
  for (const auto& [n, count] : erases) EXPECT_TRUE(written.count(n)) << "sector " << n << " erased";
  for (const auto& [n, count] : blocks) EXPECT_TRUE(written.count(n)) << "sector " << n << " written";
  for (const int n : written) {
    EXPECT_GE(erases[n], 1) << "sector " << n << " not erased";
    EXPECT_GE(blocks[n], static_cast<int>(sectors[static_cast<std::size_t>(n)].Size / 512))
        << "sector " << n << " not written whole";
  }
}

std::vector<std::uint8_t> FlashTest::Payload(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>((x >> 24) & 0x7F);  // never 0xFF
  }
  return bytes;
}
