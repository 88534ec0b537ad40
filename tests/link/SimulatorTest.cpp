// The simulated devices themselves, where a fault in them would hide one in
// the updater.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "SimFixture.h"
#include "link/PacketChecksum.h"

namespace {

using vxsim::Calls;

TEST_F(SimTest, TheBootLoaderDropsBadRequestsUnansweredAndRecovers) {
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t request[14], answer[1024];
  BuildRequest(request, cmReadFirmwareVersion);

  /* damaged checksum */
  std::uint8_t bad[14];
  std::memcpy(bad, request, 14);
  bad[12] ^= 1;
  EXPECT_EQ(Exchange(*e, bad, 14, answer, sizeof answer), 0);
  EXPECT_EQ(vxsim::State(device_).BadRequests, 1u);

  /* Length that no request has */
  std::memcpy(bad, request, 14);
  bad[0] = 0x58;
  bad[1] = 0x02;  // 600
  EXPECT_EQ(Exchange(*e, bad, 14, answer, sizeof answer), 0);
  EXPECT_EQ(vxsim::State(device_).BadRequests, 2u);

  /* header length other than 14, checksum fixed up */
  std::memcpy(bad, request, 14);
  bad[2] = 12;
  bad[12] = bad[13] = 0;
  const std::uint16_t sum = PacketChecksum(bad, 14);
  bad[12] = static_cast<std::uint8_t>(sum);
  bad[13] = static_cast<std::uint8_t>(sum >> 8);
  EXPECT_EQ(Exchange(*e, bad, 14, answer, sizeof answer), 0);
  EXPECT_EQ(vxsim::State(device_).BadRequests, 3u);

  /* a request cut short, then the whole one after a pause: the stale piece is dropped */
  ASSERT_TRUE(LinkSend(*e, request, 7));
  SleepMs(100);
  const int n = Exchange(*e, request, 14, answer, sizeof answer);
  ASSERT_TRUE(AcceptQueryAnswer(answer, n));
  EXPECT_STREQ(reinterpret_cast<const char*>(answer + 14), "VXCR-1.8");
  EXPECT_EQ(vxsim::State(device_).Requests, 1u);
  LinkClose(*e);
}

TEST_F(SimTest, TheBootLoaderAnswersTheQueriesAndTakesTheFinish) {
  auto d = Device(VXSIM_VXUSB);
  d.LoaderVersion = "VXBL-1.04";
  d.ProcessorId = 0x400FE000;
  auto e = Entry(d);
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t request[14];
  TQueryAnswer answer;

  BuildRequest(request, cmReadLoaderVersion);
  int n = Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax);
  ASSERT_TRUE(AcceptQueryAnswer(answer.Bytes, n));
  EXPECT_EQ(answer.Text(), "VXBL-1.04");

  answer.Clear();
  BuildRequest(request, cmReadProcessorId);
  n = Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax);
  ASSERT_TRUE(AcceptQueryAnswer(answer.Bytes, n));
  EXPECT_EQ(n, 18);
  EXPECT_EQ(answer.Number(), 0x400FE000u);

  BuildRequest(request, cmWriteAborted);
  EXPECT_EQ(Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax), 14);
  EXPECT_EQ(vxsim::State(device_).FinishCode, 12u);
  LinkClose(*e);
}

struct TSectorExchange {
  TDevEntry& e;
  std::uint16_t Status = 0;

  TSectorAnswer Erase(std::uint16_t code, std::uint16_t sector, std::uint32_t offset) {
    std::uint8_t request[14], answer[14] = {};
    BuildRequest(request, code, sector, offset);
    const int n = Exchange(e, request, 14, answer, 14, 1000);
    return JudgeSectorAnswer(answer, n, sector, offset, false, &Status);
  }
  TSectorAnswer Write(std::uint16_t code, std::uint16_t sector, std::uint32_t offset, const std::uint8_t* data) {
    std::uint8_t request[kBlockPacketSize], answer[14] = {};
    BuildBlockRequest(request, code, sector, offset, data);
    const int n = Exchange(e, request, kBlockPacketSize, answer, 14, 1000);
    return JudgeSectorAnswer(answer, n, sector, offset, true, &Status);
  }
};

TEST_F(SimTest, TheFlashHoldsWhatWasErasedAndWritten) {
  auto d = Device(VXSIM_FTDI);
  d.ProcessorId = 0x26013F37;  // 512 KiB map: sector 10 is 4 KiB at 0xA000, sector 16 32 KiB at 0x10000
  d.Extra = "flash_fill = 0x00\nprotected = 12";
  auto e = Entry(d);
  ASSERT_TRUE(LinkOpen(*e));
  EXPECT_EQ(vxsim::State(device_).FlashSize, 0x80000u);
  TSectorExchange x{*e};
  std::vector<std::uint8_t> data(4096);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + i / 512);

  /* write before erase only clears bits */
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xA000, data.data()), saAccepted);
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 512), std::vector<std::uint8_t>(512, 0));

  /* erase, then the eight blocks */
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 10, 0xA000), saAccepted);
  EXPECT_EQ(x.Status, asDone);
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 4096), std::vector<std::uint8_t>(4096, 0xFF));
  for (std::uint32_t k = 0; k < 8; ++k)
    ASSERT_EQ(x.Write(cmWriteBlockEx, 10, 0xA000 + k * 512, data.data() + k * 512), saAccepted) << k;
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 4096), data);
  EXPECT_EQ(vxsim::Flash(device_, 0x9FFF, 1), std::vector<std::uint8_t>{0}) << "neighbours untouched";
  EXPECT_EQ(vxsim::Flash(device_, 0xB000, 1), std::vector<std::uint8_t>{0});

  /* a protected sector answers 131 and keeps its contents */
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 12, 0xC000), saAccepted);
  EXPECT_EQ(x.Status, asProtected);
  EXPECT_EQ(vxsim::Flash(device_, 0xC000, 4), std::vector<std::uint8_t>(4, 0));

  /* addresses that do not belong to the sector are refused */
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 16, 0xA000), saRefused);
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xB000, data.data()), saRefused);
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xA100, data.data()), saRefused);
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 30, 0x80000), saRefused);
  LinkClose(*e);
}

TEST_F(SimTest, TheBootLoaderTakesOnlyTheCommandFormOfItsProcessor) {
  const std::vector<std::uint8_t> data(512, 0x00);
  struct TCase {
    const char* Label;
    std::uint32_t ProcessorId;
    const char* LoaderVersion;
    bool FirstForm, SecondForm;
  };
  // Unknown processors get the 28-sector boot map here: sector 4 is 4 KiB at 0x4000.
  for (const TCase& c : {TCase{"known processor", 0x26013F37, "VXBL-1.05", false, true},
                         TCase{"known processor, old loader", 0x400FE000, "VXBL-1.03", false, true},
                         TCase{"unknown processor, loader 1.03", 0x12345678, "VXBL-1.03", true, false},
                         TCase{"unknown processor, loader 1.04", 0x12345678, "VXBL-1.04", true, true}}) {
    VxSim_Reset();
    VxSim_UseVirtualClock(1000);
    auto d = Device(VXSIM_FTDI);
    d.ProcessorId = c.ProcessorId;
    d.LoaderVersion = c.LoaderVersion;
    auto e = Entry(d);
    ASSERT_TRUE(LinkOpen(*e)) << c.Label;
    TSectorExchange x{*e};
    const bool pages = c.ProcessorId == 0x400FE000;
    const std::uint16_t sector = pages ? 0 : 4;
    const std::uint32_t offset = pages ? 0x4400 : 0x4000;
    std::uint32_t refused = 0;
    for (const bool second : {false, true}) {
      const bool takes = second ? c.SecondForm : c.FirstForm;
      const std::uint16_t erase = second ? cmEraseSectorEx : cmEraseSector;
      const std::uint16_t write = second ? cmWriteBlockEx : cmWriteBlock;
      EXPECT_EQ(x.Erase(erase, sector, offset), takes ? saAccepted : saRefused) << c.Label << " erase " << erase;
      EXPECT_EQ(x.Status, takes ? asDone : 129) << c.Label << " erase " << erase;
      EXPECT_EQ(x.Write(write, sector, offset, data.data()), takes ? saAccepted : saRefused)
          << c.Label << " write " << write;
      EXPECT_EQ(x.Status, takes ? asDone : 129) << c.Label << " write " << write;
      if (!takes) refused += 2;
    }
    EXPECT_EQ(vxsim::State(device_).RefusedRequests, refused) << c.Label;
    LinkClose(*e);
  }

  /* a refused write leaves the flash as it was */
  VxSim_Reset();
  VxSim_UseVirtualClock(1000);
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));
  TSectorExchange x{*e};
  EXPECT_EQ(x.Write(cmWriteBlock, 10, 0xA000, data.data()), saRefused);
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 512), std::vector<std::uint8_t>(512, 0xFF));
  LinkClose(*e);
}

TEST_F(SimTest, TheBootLoaderRefusesRequestsOfTheWrongShape) {
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));
  const std::vector<std::uint8_t> zeros(512, 0);
  // The answer to a refused request: a bare header with status 129 that
  // repeats Param and Offset.
  const auto refusal = [](std::uint16_t param, std::uint32_t offset) {
    std::uint8_t a[14];
    BuildRequest(a, 129, param, offset);
    return std::vector<std::uint8_t>(a, a + 14);
  };
  const auto ask = [&e](const std::uint8_t* request, std::uint32_t length) {
    std::uint8_t answer[1024] = {};
    const int n = Exchange(*e, request, length, answer, sizeof answer);
    return std::vector<std::uint8_t>(answer, answer + (n > 0 ? n : 0));
  };
  std::uint8_t request[14];
  std::uint8_t block[kBlockPacketSize];

  /* queries and the finish with a Param other than 10 or an Offset other than 0 */
  BuildRequest(request, cmReadFirmwareVersion, 11, 0);
  EXPECT_EQ(ask(request, 14), refusal(11, 0));
  BuildRequest(request, cmReadProcessorId, 10, 1);
  EXPECT_EQ(ask(request, 14), refusal(10, 1));
  BuildRequest(request, cmReadLoaderVersion, 0, 0);
  EXPECT_EQ(ask(request, 14), refusal(0, 0));
  BuildRequest(request, cmWriteDone, 10, 0x10000);
  EXPECT_EQ(ask(request, 14), refusal(10, 0x10000));
  BuildRequest(request, cmWriteAborted, 9, 0);
  EXPECT_EQ(ask(request, 14), refusal(9, 0));
  EXPECT_EQ(vxsim::State(device_).FinishCode, 0u) << "no refused finish is taken";
  TQueryAnswer good;
  BuildRequest(request, cmReadFirmwareVersion);
  ASSERT_TRUE(AcceptQueryAnswer(good.Bytes, Exchange(*e, request, 14, good.Bytes, kQueryAnswerMax)));
  EXPECT_EQ(good.Text(), "VXCR-1.8");

  /* a length that is not the one of its code */
  BuildBlockRequest(block, cmEraseSectorEx, 10, 0xA000, zeros.data());
  EXPECT_EQ(ask(block, kBlockPacketSize), refusal(10, 0xA000)) << "erase of 526 bytes";
  BuildRequest(request, cmWriteBlockEx, 10, 0xA000);
  EXPECT_EQ(ask(request, 14), refusal(10, 0xA000)) << "write without data";
  BuildBlockRequest(block, cmReadFirmwareVersion, 10, 0, zeros.data());
  EXPECT_EQ(ask(block, kBlockPacketSize), refusal(10, 0)) << "query of 526 bytes";
  BuildRequest(request, 3, 10, 0);
  EXPECT_EQ(ask(request, 14), refusal(10, 0)) << "unknown code";
  EXPECT_EQ(vxsim::State(device_).RefusedRequests, 9u);
  EXPECT_EQ(vxsim::State(device_).BadRequests, 0u) << "refused, not dropped";
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 512), std::vector<std::uint8_t>(512, 0xFF));
  LinkClose(*e);
}

TEST_F(SimTest, OffsetsAndSectorsFromTheHostCannotReachOutsideTheFlash) {
  auto d = Device(VXSIM_FTDI);
  d.Extra = "flash_fill = 0x5A";
  auto e = Entry(d);
  ASSERT_TRUE(LinkOpen(*e));
  const std::vector<std::uint8_t> before = vxsim::Flash(device_, 0, 0x80000);
  ASSERT_EQ(before.size(), 0x80000u);
  TSectorExchange x{*e};
  const std::vector<std::uint8_t> zeros(512, 0);

  /* offsets that wrap a 32-bit sum */
  for (const std::uint32_t offset : {0xFFFFFE00u, 0xFFFFFF00u, 0xFFFFFFFFu}) {
    EXPECT_EQ(x.Write(cmWriteBlockEx, 10, offset, zeros.data()), saRefused) << std::hex << offset;
    EXPECT_EQ(x.Status, 132) << std::hex << offset;
    EXPECT_EQ(x.Write(cmWriteBlockEx, 29, offset, zeros.data()), saRefused) << std::hex << offset;
    EXPECT_EQ(x.Erase(cmEraseSectorEx, 29, offset), saRefused) << std::hex << offset;
  }
  /* a block that begins inside the last sector and runs past the flash */
  EXPECT_EQ(x.Write(cmWriteBlockEx, 29, 0x7FF00, zeros.data()), saRefused);
  /* sector numbers past the map */
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 30, 0x80000), saRefused);
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 0xFFFF, 0), saRefused);
  EXPECT_EQ(x.Write(cmWriteBlockEx, 0xFFFF, 0, zeros.data()), saRefused);
  EXPECT_EQ(x.Status, 132);
  EXPECT_EQ(vxsim::Flash(device_, 0, 0x80000), before) << "nothing was touched";

  /* the last block of the flash is still taken */
  EXPECT_EQ(x.Write(cmWriteBlockEx, 29, 0x7FE00, zeros.data()), saAccepted);
  EXPECT_EQ(vxsim::Flash(device_, 0x7FE00, 512), std::vector<std::uint8_t>(512, 0));
  LinkClose(*e);
}

TEST_F(SimTest, ALockedDeviceAnswers138AndChangesNothing) {
  auto d = Device(VXSIM_FTDI);
  d.Extra = "locked = yes";
  auto e = Entry(d);
  ASSERT_TRUE(LinkOpen(*e));
  TSectorExchange x{*e};
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 10, 0xA000), saRefused);
  EXPECT_EQ(x.Status, asLocked);
  const std::vector<std::uint8_t> zeros(512, 0);
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xA000, zeros.data()), saRefused);
  EXPECT_EQ(x.Status, asLocked);
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 512), std::vector<std::uint8_t>(512, 0xFF));
  LinkClose(*e);
}

TEST_F(SimTest, AnswerFaults) {
  auto d = Device(VXSIM_FTDI);
  d.Extra =
      "fault = wrong_sector code=6\n"
      "fault = wrong_offset code=7\n"
      "fault = short_answer code=6 skip=1\n"
      "fault = late_answer code=6 skip=2 delay=1500\n"
      "fault = no_answer code=4 times=2\n"
      "fault = damaged code=5 byte=14\n";
  auto e = Entry(d);
  ASSERT_TRUE(LinkOpen(*e));
  TSectorExchange x{*e};
  const std::vector<std::uint8_t> data(512, 0x5A);
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 10, 0xA000), saMalformed) << "wrong sector";
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xA000, data.data()), saMalformed) << "wrong offset";
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 10, 0xA000), saShort) << "13 bytes";

  /* late: nothing within the attempt, then the late answer is read by the next one */
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 11, 0xB000), saShort);
  EXPECT_EQ(x.Erase(cmEraseSectorEx, 11, 0xB000), saAccepted);
  EXPECT_EQ(vxsim::State(device_).QueuedBytes, 14u) << "the second answer waits behind";

  std::uint8_t request[14];
  TQueryAnswer answer;
  BuildRequest(request, cmReadFirmwareVersion);
  EXPECT_EQ(Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax), 14) << "stale answer first";
  EXPECT_EQ(Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax), 0) << "lost";
  EXPECT_EQ(Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax), 23);

  answer.Clear();
  BuildRequest(request, cmReadLoaderVersion);
  ASSERT_EQ(Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax), 24);
  EXPECT_EQ(answer.Bytes[14], static_cast<std::uint8_t>(~'V')) << "damaged in transit";
  EXPECT_TRUE(AcceptQueryAnswer(answer.Bytes, 24));
  LinkClose(*e);
}

TEST_F(SimTest, TheFirmwareRestartsIntoItsBootLoaderAndComesBack) {
  // Filled by the simulator's clock thread when the device leaves and comes back.
  struct TNotices {
    std::mutex lock;
    std::vector<int> plugged;
    std::vector<int> Seen() {
      const std::lock_guard hold(lock);
      return plugged;
    }
  } notices;
  VxSim_SetNotify(
      [](void* context, int, int plugged) {
        auto* n = static_cast<TNotices*>(context);
        const std::lock_guard hold(n->lock);
        n->plugged.push_back(plugged);
      },
      &notices);
  auto d = Device(VXSIM_VXUSB, "4242");
  d.BootLoader = false;
  d.FirmwareVersion = "VXCR-1.7";
  d.Extra = "restart_delay = 800\nstart_answer = \"STARTED\\r\\n\"";
  auto e = Entry(d);
  ASSERT_EQ(notices.Seen(), std::vector<int>{1});
  ASSERT_TRUE(LinkOpen(*e));
  char text[1025] = {};

  /* a framed request means nothing to the firmware */
  std::uint8_t request[14];
  BuildRequest(request, cmReadFirmwareVersion);
  EXPECT_EQ(Exchange(*e, request, 14, reinterpret_cast<std::uint8_t*>(text), 1024), 0);

  EXPECT_TRUE(LinkSend(*e, kReadVersionText, kReadVersionTextLength));
  EXPECT_EQ(LinkRead(*e, text, 2000, 100), 8);
  EXPECT_EQ(std::string(text, 8), "VXCR-1.7");

  EXPECT_TRUE(LinkSend(*e, kStartBootLoaderText, kStartBootLoaderTextLength));
  ASSERT_EQ(LinkRead(*e, text, 1000, 1024), 9);
  EXPECT_EQ(std::string(text, 9), "STARTED\r\n");

  /* it leaves the bus: the open link is dead */
  SleepMs(50);
  EXPECT_FALSE(vxsim::State(device_).OnBus);
  EXPECT_EQ(notices.Seen(), (std::vector<int>{1, 0}));
  EXPECT_FALSE(LinkSend(*e, request, 14));
  LinkClose(*e);

  /* and comes back in its boot loader */
  SleepMs(800);
  EXPECT_EQ(notices.Seen(), (std::vector<int>{1, 0, 1}));
  const VxSimDeviceState s = vxsim::State(device_);
  EXPECT_TRUE(s.OnBus);
  EXPECT_TRUE(s.BootLoader);
  EXPECT_EQ(s.Plugs, 2u);
  ASSERT_TRUE(LinkOpen(*e));
  TQueryAnswer answer;
  const int n = Exchange(*e, request, 14, answer.Bytes, kQueryAnswerMax);
  EXPECT_TRUE(AcceptQueryAnswer(answer.Bytes, n));
  EXPECT_EQ(answer.Text(), "VXCR-1.7");
  LinkClose(*e);
  VxSim_SetNotify(nullptr, nullptr);
}

TEST_F(SimTest, RequestFaultsAtAGivenBlock) {
  const std::vector<std::uint8_t> data(512, 0x11);
  const auto open = [this](const char* fault) {
    auto d = Device(VXSIM_FTDI);
    d.Extra = fault;
    auto e = Entry(d);
    EXPECT_TRUE(LinkOpen(*e));
    return e;
  };

  /* unplugged on the fourth block */
  auto e = open("fault = unplug code=7 skip=3");
  TSectorExchange x{*e};
  for (std::uint32_t k = 0; k < 3; ++k) ASSERT_EQ(x.Write(cmWriteBlockEx, 10, 0xA000 + k * 512, data.data()), saAccepted);
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xA600, data.data()), saShort);
  EXPECT_FALSE(vxsim::State(device_).OnBus);
  EXPECT_EQ(vxsim::Flash(device_, 0xA600, 1), std::vector<std::uint8_t>{0xFF}) << "the fourth block never landed";
  LinkClose(*e);

  /* the second block lost on its way: neither carried out nor answered */
  auto l = open("fault = lost_request code=7 skip=1");
  TSectorExchange y{*l};
  ASSERT_EQ(y.Write(cmWriteBlockEx, 10, 0xA000, data.data()), saAccepted);
  EXPECT_EQ(y.Write(cmWriteBlockEx, 10, 0xA200, data.data()), saShort);
  EXPECT_EQ(vxsim::Flash(device_, 0xA200, 1), std::vector<std::uint8_t>{0xFF});
  EXPECT_EQ(vxsim::State(device_).BadRequests, 1u);
  EXPECT_EQ(vxsim::State(device_).Requests, 1u);
  EXPECT_EQ(y.Write(cmWriteBlockEx, 10, 0xA200, data.data()), saAccepted) << "the same request again";
  EXPECT_EQ(vxsim::Flash(device_, 0xA200, 1), std::vector<std::uint8_t>{0x11});
  LinkClose(*l);
}

TEST_F(SimTest, ADeviceDropsOutOfTheListWhileItsLinkKeepsWorking) {
  std::vector<std::pair<int, int>> notices;  // device, plugged
  VxSim_SetNotify(
      [](void* context, int device, int plugged) {
        static_cast<std::vector<std::pair<int, int>>*>(context)->emplace_back(device, plugged);
      },
      &notices);
  auto d = Device(VXSIM_FTDI, "77");
  d.Extra = "fault = list_dropout code=7 skip=1 value=300";
  auto e = Entry(d);
  vxsim::TSimDevice other = Device(VXSIM_VXUSB, "78");
  other.Extra = "fault = list_dropout code=6 value=200";
  auto v = std::make_unique<TDevEntry>("78", 0x0101, lbVxUsb);
  const int otherIndex = vxsim::AddDevice(other);
  const auto ftdiListed = [] {
    FT_DWORD count = 99;
    EXPECT_EQ(FtdiApi.CreateDeviceInfoList(&count), FT_OK);
    return count;
  };
  const auto makersListed = [] {
    std::uint32_t count = 5;
    EXPECT_EQ(VxUsbApi.GetListDevices(0xFFFF, nullptr, &count), 0);
    return count;
  };
  ASSERT_TRUE(LinkOpen(*e));
  ASSERT_TRUE(LinkOpen(*v));
  TSectorExchange x{*e}, y{*v};
  const std::vector<std::uint8_t> data(512, 0x11);
  notices.clear();

  /* the request that drops it out is carried out and answered */
  ASSERT_EQ(x.Write(cmWriteBlockEx, 10, 0xA000, data.data()), saAccepted);
  EXPECT_EQ(ftdiListed(), 1u);
  ASSERT_EQ(x.Write(cmWriteBlockEx, 10, 0xA200, data.data()), saAccepted);
  EXPECT_EQ(vxsim::Flash(device_, 0xA200, 1), std::vector<std::uint8_t>{0x11});
  EXPECT_EQ(ftdiListed(), 0u) << "out of the D2XX list";
  FT_DWORD number = 9;
  EXPECT_EQ(FtdiApi.ListDevices(&number, nullptr, 0x80000000u /* FT_LIST_NUMBER_ONLY */), FT_OK);
  EXPECT_EQ(number, 0u);
  EXPECT_TRUE(vxsim::State(device_).OnBus);
  EXPECT_EQ(notices, (std::vector<std::pair<int, int>>{{device_, 0}}));

  /* its open link keeps working meanwhile */
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xA400, data.data()), saAccepted);

  /* the maker's list loses its device the same way */
  ASSERT_EQ(makersListed(), 1u);
  ASSERT_EQ(y.Erase(cmEraseSectorEx, 10, 0xA000), saAccepted);
  EXPECT_EQ(makersListed(), 0u);
  EXPECT_EQ(y.Erase(cmEraseSectorEx, 11, 0xB000), saAccepted);

  /* both come back by themselves, as the same plug */
  SleepMs(300);
  EXPECT_EQ(ftdiListed(), 1u);
  EXPECT_EQ(makersListed(), 1u);
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_EQ(notices[1], std::make_pair(otherIndex, 0));
  std::sort(notices.begin() + 2, notices.end());
  EXPECT_EQ(notices[2], std::make_pair(device_, 1));
  EXPECT_EQ(notices[3], std::make_pair(otherIndex, 1));
  EXPECT_EQ(vxsim::State(device_).Plugs, 1u);
  EXPECT_EQ(x.Write(cmWriteBlockEx, 10, 0xA600, data.data()), saAccepted) << "the same handle";
  LinkClose(*e);
  LinkClose(*v);
  VxSim_SetNotify(nullptr, nullptr);
}

TEST_F(SimTest, RefusedOpensCanBeginAfterSomeSucceeded) {
  auto d = Device(VXSIM_VXUSB, "79");
  d.Extra = "refuse_open = 1\nrefuse_open_skip = 2";
  auto e = std::make_unique<TDevEntry>("79", 0x0101, lbVxUsb);
  vxsim::AddDevice(d);
  for (int open = 1; open <= 4; ++open) {
    EXPECT_EQ(LinkOpen(*e), open != 3) << "open " << open;
    LinkClose(*e);
  }
}

TEST_F(SimTest, TheMakersListFollowsTheCountRules) {
  vxsim::LoadScenario(
      "fail_list = vxusb 1\nfail_list = vxusb 1 second\n"
      "[device]\nlibrary = vxusb\nserial = 111\ncode = 0x0A01\n"
      "[device]\nlibrary = vxusb\nserial = 000222\ncode = 0x0A02\n"
      "[device]\nlibrary = vxusb\nserial = 123456789012345678901234\ncode = 0x0A03\n"
      "[device]\nlibrary = ftdi\nserial = 444\n");
  std::uint32_t count = 5;
  EXPECT_NE(VxUsbApi.GetListDevices(0xFFFF, nullptr, &count), 0) << "the failing list call";
  count = 5;
  ASSERT_EQ(VxUsbApi.GetListDevices(0xFFFF, nullptr, &count), 0);
  EXPECT_EQ(count, 3u);
  std::uint8_t records[2 * 25];
  std::memset(records, 0xEE, sizeof records);
  count = 2;
  EXPECT_NE(VxUsbApi.GetListDevices(0xFFFF, records, &count), 0) << "the failing second call";
  count = 2;
  ASSERT_EQ(VxUsbApi.GetListDevices(0xFFFF, records, &count), 0);
  EXPECT_EQ(count, 2u) << "never more than the buffer holds";
  EXPECT_EQ(records[2] | records[3] << 8, 0x0A01);
  EXPECT_STREQ(reinterpret_cast<const char*>(records + 4), "111");
  EXPECT_EQ(records[25 + 2] | records[25 + 3] << 8, 0x0A02);
  EXPECT_STREQ(reinterpret_cast<const char*>(records + 25 + 4), "000222");

  std::uint8_t all[3 * 25];
  count = 3;
  ASSERT_EQ(VxUsbApi.GetListDevices(0xFFFF, all, &count), 0);
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(all + 50 + 4)), 20u) << "a long serial is cut to fit";
}

TEST_F(SimTest, TheD2xxListShowsSerialsAndDescriptionsAsTheDriverDoes) {
  vxsim::LoadScenario(
      "fail_list = ftdi 1\nfail_list = ftdi 1 second\n"
      "[device]\nlibrary = ftdi\nserial = 0055\nempty_description = 3\n"
      "[device]\nlibrary = ftdi\nserial = 1234567890ABCDEF\ndescription = Velmar USB\n");
  FT_DWORD count = 0;
  EXPECT_NE(FtdiApi.CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(FtdiApi.CreateDeviceInfoList(&count), FT_OK);
  std::vector<FT_DEVICE_LIST_INFO_NODE> failing(count);
  EXPECT_NE(FtdiApi.GetDeviceInfoList(failing.data(), &count), FT_OK);
  for (int listing = 0; listing < 3; ++listing) {
    ASSERT_EQ(FtdiApi.CreateDeviceInfoList(&count), FT_OK);
    ASSERT_EQ(count, 2u);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    ASSERT_EQ(FtdiApi.GetDeviceInfoList(nodes.data(), &count), FT_OK);
    EXPECT_STREQ(nodes[0].SerialNumber, "0055");
    EXPECT_EQ(std::string(nodes[0].Description), listing < 2 ? "" : "Velmar") << listing;
    EXPECT_EQ(std::string(nodes[1].SerialNumber, 16), "1234567890ABCDEF") << "no terminator when it fills the field";
    EXPECT_STREQ(nodes[1].Description, "Velmar USB");
  }
}

TEST_F(SimTest, FtReadWaitsForItsWholeCountUpToTheReadTimeoutSetAtOpen) {
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));  // read time-out 1000 ms
  const std::uint8_t three[3] = {7, 8, 9};
  VxSim_QueueAnswer(device_, three, 3, 0);
  VxSim_QueueAnswer(device_, three, 3, 300);
  std::uint8_t buffer[10] = {};
  FT_DWORD got = 0;
  std::uint32_t start = TickCount();
  ASSERT_EQ(FtdiApi.Read(e->FtHandle, buffer, 6, &got), FT_OK);
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(TickCount() - start, 300u) << "until the whole count was there";
  start = TickCount();
  ASSERT_EQ(FtdiApi.Read(e->FtHandle, buffer, 10, &got), FT_OK);
  EXPECT_EQ(got, 0u) << "a time-out is not an error";
  EXPECT_EQ(TickCount() - start, 1000u);
  LinkClose(*e);
}

TEST(Scenario, ABadLineIsReportedByItsNumber) {
  char error[200] = "";
  EXPECT_EQ(VxSim_LoadScenario("clock = virtual\n[device]\nlibrary = usb\n", error, sizeof error), 3);
  EXPECT_STREQ(error, "line 3: bad value \"usb\" for library");
  EXPECT_EQ(VxSim_LoadScenario("[device]\nfault = explode\n", error, sizeof error), 2);
  EXPECT_EQ(VxSim_LoadScenario("speed = 5\n", error, sizeof error), 1);
  EXPECT_EQ(VxSim_LoadScenarioFile("/no/such/scenario", error, sizeof error), -1);
  /* a byte escape takes exactly two hex digits */
  for (const char* bad : {"\\x-1", "\\x 4", "\\x+f", "\\x4", "\\xG0"}) {
    EXPECT_EQ(VxSim_LoadScenario((std::string("[device]\nserial = \"") + bad + "\"\n").c_str(), error, sizeof error),
              2)
        << bad;
    EXPECT_STREQ(error, (std::string("line 2: bad escape in \"\"") + bad + "\"\"").c_str());
  }
  VxSim_Reset();
  EXPECT_EQ(VxSim_LoadScenario("[device]\nserial = \"\\x41\\x7a\"\n", error, sizeof error), 0);
  EXPECT_EQ(VxSim_DeviceCount(), 1);
  VxSim_Reset();
}

}  // namespace
