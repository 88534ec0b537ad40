#include <cstring>

#include "SimFixture.h"

namespace {

using vxsim::Calls;
using vxsim::TSimCall;

const char* WriteName(int library) { return library == VXSIM_FTDI ? "FT_Write" : "RQ_Write"; }

class LinkSendTest : public SimTest, public ::testing::WithParamInterface<int> {};

TEST_P(LinkSendTest, PiecesOfAtMost64BytesOneMillisecondApart) {
  auto e = Entry(Device(GetParam()));
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t data[526];
  for (std::size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<std::uint8_t>(i);
  const struct {
    std::uint32_t length;
    std::vector<std::uint32_t> pieces;
  } cases[] = {{0, {}}, {64, {64}}, {65, {64, 1}}, {526, {64, 64, 64, 64, 64, 64, 64, 64, 14}}};
  for (const auto& c : cases) {
    VxSim_ClearTranscript();
    const std::uint32_t before = TickCount();
    EXPECT_TRUE(LinkSend(*e, data, c.length)) << c.length;
    const std::uint32_t after = TickCount();
    const std::vector<TSimCall> all = vxsim::Transcript();
    ASSERT_EQ(all.size(), c.pieces.size()) << c.length << ": only writes, nothing else";
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(all[i].Function(), WriteName(GetParam()));
      EXPECT_EQ(all[i].Info.Args[1], c.pieces[i]);
      EXPECT_EQ(all[i].Data, std::vector<std::uint8_t>(data + offset, data + offset + c.pieces[i]));
      EXPECT_EQ(all[i].Info.Tick, before + i) << c.length << " piece " << i;
      offset += c.pieces[i];
    }
    /* no pause after the last piece */
    EXPECT_EQ(after - before, c.pieces.empty() ? 0 : c.pieces.size() - 1) << c.length;
  }
  LinkClose(*e);
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, LinkSendTest, ::testing::Values(VXSIM_FTDI, VXSIM_VXUSB));

TEST_F(SimTest, OnTheSystemClockThePausesBetweenPiecesAreRealMilliseconds) {
  clock_.reset();
  VxSim_UseRealClock();
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t data[526] = {};
  VxSim_ClearTranscript();
  ASSERT_TRUE(LinkSend(*e, data, sizeof data));
  const auto writes = Calls("FT_Write");
  ASSERT_EQ(writes.size(), 9u);
  for (std::size_t i = 1; i < writes.size(); ++i)
    EXPECT_GE(writes[i].Info.Micros - writes[i - 1].Info.Micros, 950u) << "piece " << i;
  LinkClose(*e);
}

TEST_F(SimTest, LinkSendStopsAtAShortOrFailedPiece) {
  auto d = Device(VXSIM_FTDI);
  d.Extra = "fault = short_write skip=1";
  auto e = Entry(d);
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t data[200] = {};
  EXPECT_FALSE(LinkSend(*e, data, sizeof data));
  EXPECT_EQ(Calls("FT_Write").size(), 2u) << "the rest is not sent";

  VxSim_ClearTranscript();
  VxSim_Unplug(device_);
  EXPECT_FALSE(LinkSend(*e, data, sizeof data));
  EXPECT_EQ(Calls("FT_Write").size(), 1u);
  LinkClose(*e);
}

TEST_F(SimTest, OpenBySerialTextSetsTheTimeoutsAndCloseResetsThenCloses) {
  /* D2XX */
  auto ftdi = Entry(Device(VXSIM_FTDI, "12345"));
  ASSERT_TRUE(LinkOpen(*ftdi));
  EXPECT_NE(ftdi->FtHandle, nullptr);
  const auto open = Calls("FT_OpenEx");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(std::string(open[0].Data.begin(), open[0].Data.end()), "12345");
  EXPECT_EQ(open[0].Info.Args[0], 1u) << "open by serial number";
  const auto timeouts = Calls("FT_SetTimeouts");
  ASSERT_EQ(timeouts.size(), 1u);
  EXPECT_EQ(timeouts[0].Info.Args[1], 1000u);
  EXPECT_EQ(timeouts[0].Info.Args[2], 200u);
  VxSim_ClearTranscript();
  LinkClose(*ftdi);
  EXPECT_EQ(ftdi->FtHandle, nullptr);
  const auto closing = vxsim::Transcript();
  ASSERT_EQ(closing.size(), 2u);
  EXPECT_EQ(closing[0].Function(), "FT_ResetDevice");
  EXPECT_EQ(closing[1].Function(), "FT_Close");
  EXPECT_EQ(closing[1].Info.Result, 0);

  /* the maker's library */
  auto d = Device(VXSIM_VXUSB, "777");
  d.DeviceCode = 0x0C0D;
  auto vx = Entry(d);
  VxSim_ClearTranscript();
  ASSERT_TRUE(LinkOpen(*vx));
  const auto rqOpen = Calls("RQ_OpenDevice");
  ASSERT_EQ(rqOpen.size(), 1u);
  EXPECT_EQ(rqOpen[0].Info.Args[0], 0x0C0Du);
  EXPECT_EQ(std::string(rqOpen[0].Data.begin(), rqOpen[0].Data.end()), "777");
  const auto rqTimeouts = Calls("RQ_SetTimeouts");
  ASSERT_EQ(rqTimeouts.size(), 1u);
  EXPECT_EQ(rqTimeouts[0].Info.Args[1], 500u);
  EXPECT_EQ(rqTimeouts[0].Info.Args[2], 200u);
  VxSim_ClearTranscript();
  LinkClose(*vx);
  EXPECT_EQ(vx->VxHandle, nullptr);
  ASSERT_EQ(Calls("RQ_CloseDevice").size(), 1u);
  EXPECT_EQ(Calls("RQ_CloseDevice")[0].Info.Result, 0);

  /* closing a closed entry calls nothing */
  VxSim_ClearTranscript();
  LinkClose(*vx);
  LinkClose(*ftdi);
  EXPECT_EQ(VxSim_TranscriptCount(), 0u);
  EXPECT_EQ(vx->VxHandle, nullptr);
}

TEST_F(SimTest, SerialTextsThatAreNotPlainDecimalFailToOpen) {
  const struct {
    int library;
    const char* listed;
    const char* tried;
  } cases[] = {{VXSIM_FTDI, "0055", "55"}, {VXSIM_FTDI, "12AB", "-1"}, {VXSIM_VXUSB, "0055", "55"},
               {VXSIM_VXUSB, "A1", "-1"}};
  for (const auto& c : cases) {
    VxSim_Reset();
    auto e = Entry(Device(c.library, c.listed));
    EXPECT_FALSE(LinkOpen(*e)) << c.listed;
    EXPECT_EQ(e->FtHandle, nullptr);
    EXPECT_EQ(e->VxHandle, nullptr);
    const auto open = Calls(c.library == VXSIM_FTDI ? "FT_OpenEx" : "RQ_OpenDevice");
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(std::string(open[0].Data.begin(), open[0].Data.end()), c.tried);
    EXPECT_NE(open[0].Info.Result, 0);
  }
}

TEST_F(SimTest, ARefusedOpenLeavesTheEntryClosed) {
  // The simulated drivers leave a value in the handle when they refuse.
  for (const int library : {VXSIM_FTDI, VXSIM_VXUSB}) {
    SCOPED_TRACE(library);
    VxSim_Reset();
    auto d = Device(library);
    d.Extra = "refuse_open = 1";
    auto e = Entry(d);
    EXPECT_FALSE(LinkOpen(*e));
    EXPECT_EQ(e->FtHandle, nullptr);
    EXPECT_EQ(e->VxHandle, nullptr);
    LinkClose(*e);  // nothing to close: no call reaches the driver
    EXPECT_TRUE(vxsim::Calls(library == VXSIM_FTDI ? "FT_Close" : "RQ_CloseDevice").empty());
    EXPECT_TRUE(LinkOpen(*e)) << "the second attempt is let through";
    LinkClose(*e);
  }
}

TEST_F(SimTest, EveryOperationFailsQuietlyWithoutItsLibrary) {
  auto f = Entry(Device(VXSIM_FTDI, "1"));
  auto v = Entry(Device(VXSIM_VXUSB, "2"));
  ASSERT_TRUE(LinkOpen(*f));
  ASSERT_TRUE(LinkOpen(*v));
  const TModuleHandle ftdi = hFtdiLib, vxusb = hVxUsbLib;
  hFtdiLib = nullptr;
  hVxUsbLib = nullptr;
  VxSim_ClearTranscript();
  std::uint8_t buffer[16];
  std::memset(buffer, 0xAA, sizeof buffer);
  for (TDevEntry* e : {f.get(), v.get()}) {
    TDevEntry fresh(e->Backend == lbFtdi ? "1" : "2", e->DeviceCode, e->Backend);
    EXPECT_FALSE(LinkOpen(fresh));
    EXPECT_FALSE(LinkSend(*e, buffer, 4));
    std::uint32_t written = 99;
    EXPECT_FALSE(LinkWrite(*e, buffer, &written, 4));
    EXPECT_EQ(LinkRead(*e, buffer, 50, sizeof buffer), 0);
    LinkClose(*e);
  }
  EXPECT_EQ(VxSim_TranscriptCount(), 0u);
  EXPECT_EQ(buffer[0], 0xAA) << "nothing cleared when there is no library";
  hFtdiLib = ftdi;
  hVxUsbLib = vxusb;
  LinkClose(*f);
  LinkClose(*v);
  EXPECT_EQ(Calls("FT_Close").size(), 1u) << "the handles survived";
}

TEST_F(SimTest, FtdiReadZeroFillsAndTimesOut) {
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t buffer[40];
  std::memset(buffer, 0xAA, sizeof buffer);
  const std::uint32_t start = TickCount();
  EXPECT_EQ(LinkRead(*e, buffer, 100, 20), 0);
  const std::uint32_t waited = TickCount() - start;
  EXPECT_EQ(waited, 101u) << "polls while no more than the time-out has passed";
  for (int i = 0; i < 20; ++i) EXPECT_EQ(buffer[i], 0) << i;
  EXPECT_EQ(buffer[20], 0xAA) << "only the first maximum bytes are cleared";
  EXPECT_GE(Calls("FT_GetStatus").size(), 100u) << "polled every millisecond";
  EXPECT_TRUE(Calls("FT_Read").empty());
  LinkClose(*e);
}

TEST_F(SimTest, FtdiReadReturnsAboutOneMillisecondAfterTheFirstBytes) {
  auto d = Device(VXSIM_FTDI);
  d.Latency = 30;
  auto e = Entry(d);
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t request[14];
  BuildRequest(request, cmReadFirmwareVersion);
  std::uint8_t answer[1024];
  const std::uint32_t start = TickCount();
  const int n = Exchange(*e, request, 14, answer, sizeof answer, 100);
  EXPECT_EQ(n, 14 + 9);
  EXPECT_TRUE(AcceptQueryAnswer(answer, n));
  EXPECT_EQ(TickCount() - start, 31u);
  const auto reads = Calls("FT_Read");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].Info.Args[1], 23u) << "asks for what is queued, never more";
  LinkClose(*e);
}

TEST_F(SimTest, FtdiReadTimesOutAcrossTheWrapOfTheTickCount) {
  clock_.reset();
  clock_ = std::make_unique<vxsim::TSharedClock>(true, 0xFFFFFFF0u);
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t buffer[14];
  const std::uint32_t start = TickCount();
  EXPECT_EQ(LinkRead(*e, buffer, 50, sizeof buffer), 0);
  EXPECT_EQ(TickCount() - start, 51u);
  LinkClose(*e);
}

TEST_F(SimTest, AnAnswerLongerThanTheMaximumIsCutAndTheRestStaysQueued) {
  for (int library : {VXSIM_FTDI, VXSIM_VXUSB}) {
    VxSim_Reset();
    auto e = Entry(Device(library));
    ASSERT_TRUE(LinkOpen(*e));
    std::uint8_t bytes[30];
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(0x40 + i);
    VxSim_QueueAnswer(device_, bytes, sizeof bytes, 0);
    std::uint8_t buffer[32] = {};
    ASSERT_EQ(LinkRead(*e, buffer, 100, 14), 14);
    EXPECT_EQ(std::memcmp(buffer, bytes, 14), 0);
    EXPECT_EQ(vxsim::State(device_).QueuedBytes, 16u);
    ASSERT_EQ(LinkRead(*e, buffer, 100, 32), 16);
    EXPECT_EQ(std::memcmp(buffer, bytes + 14, 16), 0);
    LinkClose(*e);
  }
}

TEST_F(SimTest, TheMakersReadIgnoresTheTimeoutArgumentAndKeepsTheBuffer) {
  auto e = Entry(Device(VXSIM_VXUSB));
  ASSERT_TRUE(LinkOpen(*e));
  std::uint8_t buffer[16];
  std::memset(buffer, 0xAA, sizeof buffer);
  const std::uint32_t start = TickCount();
  EXPECT_EQ(LinkRead(*e, buffer, 2000, sizeof buffer), 0);
  EXPECT_EQ(TickCount() - start, 500u) << "the library's own read time-out set at open";
  EXPECT_EQ(buffer[0], 0xAA);
  const auto reads = Calls("RQ_ReadNotTimeOut");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].Info.EndTick - reads[0].Info.Tick, 500u);

  /* an answer ends the wait as soon as it arrives */
  std::uint8_t reply[3] = {1, 2, 3};
  VxSim_QueueAnswer(device_, reply, 3, 40);
  const std::uint32_t again = TickCount();
  EXPECT_EQ(LinkRead(*e, buffer, 1, sizeof buffer), 3);
  EXPECT_EQ(TickCount() - again, 40u);
  LinkClose(*e);
}

TEST_F(SimTest, AnUnpluggedDeviceReadsNothing) {
  auto e = Entry(Device(VXSIM_FTDI));
  ASSERT_TRUE(LinkOpen(*e));
  VxSim_Unplug(device_);
  std::uint8_t buffer[14];
  EXPECT_EQ(LinkRead(*e, buffer, 20, sizeof buffer), 0);
  LinkClose(*e);
  EXPECT_EQ(e->FtHandle, nullptr);
}

TEST(DriverLibraries, ALibraryLackingOneEntryPointCountsAsNotInstalled) {
#ifdef _WIN32
  const char* noRescan = "ftd2xx_norescan.dll";
  const char* noPurge = "VXUSB_nopurge.dll";
#else
  const char* noRescan = "libftd2xx_norescan.so";
  const char* noPurge = "libVXUSB_nopurge.so";
#endif
  ASSERT_NE(LoadFtdiLibrary(), nullptr);
  ASSERT_NE(LoadVxUsbLibrary(), nullptr);
  EXPECT_EQ(LoadFtdiLibrary(noRescan), nullptr);
  EXPECT_EQ(LoadVxUsbLibrary(noPurge), nullptr);
  EXPECT_EQ(LoadFtdiLibrary("no-such-library-here"), nullptr);

  /* the failed loads left the tables of the loaded libraries alone (they were
     freed again, so a pointer into them would crash here) */
  VxSim_Reset();
  FT_DWORD count = 7;
  EXPECT_EQ(FtdiApi.CreateDeviceInfoList(&count), FT_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(FtdiApi.Rescan(), FT_OK);
  std::uint32_t vxCount = 5;
  EXPECT_EQ(VxUsbApi.GetListDevices(kVxUsbListSelector, nullptr, &vxCount), 0);
  EXPECT_EQ(vxCount, 0u);
  EXPECT_NE(VxUsbApi.Purge, nullptr);
}

}  // namespace
