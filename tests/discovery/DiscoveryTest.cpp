// A discovery run's listing, matching, exceptions and end, through the
// simulated driver libraries.
#include "DiscoveryHarness.h"

#include <algorithm>
#include <string>

namespace {

using vxsim::Calls;

std::vector<std::int32_t> Serials(const TDeviceList& list) {
  std::vector<std::int32_t> out;
  for (const auto& e : list) out.push_back(e->Serial);
  return out;
}

TEST_F(DiscoveryTest, ListsBothLibrariesVelmarNodesFirstWithTheMakersRecords) {
  const int velmar = Add(Ftdi("12345"));
  vxsim::TSimDevice other = Ftdi("555");
  other.Description = "Velmar2";
  const int foreign = Add(other);
  Add(VxUsb("4242", 0x0A01));
  Add(VxUsb("77", 0x0B02));

  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvSuccess);
  ASSERT_EQ(Serials(run.taken), (std::vector<std::int32_t>{12345, 4242, 77}));
  EXPECT_EQ(run.taken[0]->Backend, lbFtdi);
  EXPECT_EQ(run.taken[0]->DeviceCode, kFtdiDeviceCode);
  EXPECT_EQ(run.taken[1]->Backend, lbVxUsb);
  EXPECT_EQ(run.taken[1]->DeviceCode, 0x0A01);
  EXPECT_EQ(run.taken[2]->DeviceCode, 0x0B02);
  for (const auto& e : run.taken) {
    EXPECT_TRUE(e->InBootLoader) << e->Serial;
    EXPECT_EQ(e->FtHandle, nullptr);
    EXPECT_EQ(e->VxHandle, nullptr);
  }
  EXPECT_TRUE(Lines().empty());

  /* one D2XX listing, complete at once */
  EXPECT_EQ(Calls("FT_CreateDeviceInfoList").size(), 1u);
  EXPECT_EQ(Calls("FT_GetDeviceInfoList").size(), 1u);
  /* the maker's list: count 5 without a buffer, then the buffer's count */
  const auto lists = Calls("RQ_GetListDevices");
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists[0].Info.Args[0], 0xFFFFu);
  EXPECT_EQ(lists[0].Info.Args[1], 5u);
  EXPECT_EQ(lists[0].Info.Args[2], 2u);
  EXPECT_EQ(lists[0].Info.Args[3], 0u);
  EXPECT_EQ(lists[1].Info.Args[0], 0xFFFFu);
  EXPECT_EQ(lists[1].Info.Args[1], 3u) << "one record to spare";
  EXPECT_EQ(lists[1].Info.Args[2], 2u);
  EXPECT_EQ(lists[1].Info.Args[3], 1u);
  EXPECT_EQ(lists[1].Data.size(), 50u);
  /* only the Velmar node is opened */
  EXPECT_EQ(CallsTo(velmar, "FT_OpenEx").size(), 1u);
  EXPECT_TRUE(CallsTo(foreign, "FT_OpenEx").empty());
  EXPECT_GE(run.elapsed, 0);
}

TEST_F(DiscoveryTest, ALibraryNotLoadedContributesNothingAndItsKnownDevicesHaveGone) {
  /* no D2XX */
  Add(Ftdi("1"));
  Add(VxUsb("2"));
  Known("3", lbFtdi);
  hFtdiLib = nullptr;
  TRunResult* run = &RunDiscovery();
  EXPECT_EQ(Serials(run->taken), std::vector<std::int32_t>{2});
  for (const auto& c : vxsim::Transcript()) EXPECT_NE(c.Function().rfind("FT_", 0), 0u) << c.Function();
  EXPECT_TRUE(owner_.known[0]->Vanished);

  /* no maker's library */
  Fresh();
  Add(Ftdi("1"));
  Add(VxUsb("2"));
  hVxUsbLib = nullptr;
  run = &RunDiscovery();
  EXPECT_EQ(Serials(run->taken), std::vector<std::int32_t>{1});
  for (const auto& c : vxsim::Transcript()) EXPECT_NE(c.Function().rfind("RQ_", 0), 0u) << c.Function();
  EXPECT_TRUE(Lines().empty());
}

TEST_F(DiscoveryTest, AnEmptyDescriptionHoldsTheD2xxListingFiftyTimesAHundredMillisecondsApart) {
  /* never complete: no D2XX device taken, and none known taken for gone (its node may be the unreadable one) */
  vxsim::TSimDevice busy = Ftdi("9");
  busy.Description = "Other";
  busy.Extra = "empty_description = 50";
  Add(busy);
  Add(Ftdi("1"));
  Add(VxUsb("2"));
  Known("1", lbFtdi);
  Known("2", lbVxUsb);
  TRunResult* run = &RunDiscovery();
  EXPECT_EQ(run->result, rvSuccess);
  EXPECT_TRUE(run->taken.empty());
  EXPECT_FALSE(owner_.known[0]->Vanished) << "present but never completely listed";
  EXPECT_FALSE(owner_.known[1]->Vanished);
  const auto creates = Calls("FT_CreateDeviceInfoList");
  ASSERT_EQ(creates.size(), 50u);
  EXPECT_EQ(Calls("FT_GetDeviceInfoList").size(), 50u);
  for (std::size_t i = 1; i < creates.size(); ++i) EXPECT_EQ(creates[i].Info.Tick - creates[i - 1].Info.Tick, 100u) << i;
  /* no pause after the last attempt: the maker's listing follows at once */
  EXPECT_EQ(Calls("RQ_GetListDevices")[0].Info.Tick, creates.back().Info.EndTick);
  EXPECT_TRUE(Lines().empty());

  /* a node open in another program is not waited for and not taken; a known D2XX device stays */
  Fresh();
  vxsim::TSimDevice held = Ftdi("8");
  held.Extra = "open_elsewhere = 1";
  Add(held);
  Add(Ftdi("1"));
  Known("5", lbFtdi);  // unplugged, or the held node: the run cannot tell
  run = &RunDiscovery();
  EXPECT_EQ(Serials(run->taken), std::vector<std::int32_t>{1});
  EXPECT_EQ(Calls("FT_CreateDeviceInfoList").size(), 1u);
  EXPECT_FALSE(owner_.known[0]->Vanished);
  EXPECT_EQ(Calls("FT_OpenEx").size(), 1u) << "only the readable device is opened";

  /* complete at the fourth attempt */
  Fresh();
  busy.Extra = "empty_description = 3";
  Add(busy);
  Add(Ftdi("1"));
  run = &RunDiscovery();
  EXPECT_EQ(Serials(run->taken), std::vector<std::int32_t>{1});
  EXPECT_EQ(Calls("FT_CreateDeviceInfoList").size(), 4u);
}

TEST_F(DiscoveryTest, AFailingListCallIsADriverErrorAndItsLibrarysKnownDevicesHaveGone) {
  const TLine driverError{mkError, 0, "Ошибка в драйвере"};
  const struct {
    const char* scenario;
    bool ftdiFailed;
    std::size_t ftdiSecondCalls, vxusbCalls;
  } cases[] = {
      {"fail_list = ftdi 1\n", true, 0, 2},
      {"fail_list = ftdi 1 second\n", true, 1, 2},
      {"fail_list = vxusb 1\n", false, 1, 1},
      {"fail_list = vxusb 1 second\n", false, 1, 2},
  };
  for (const auto& c : cases) {
    Fresh();
    vxsim::LoadScenario(c.scenario);
    Add(Ftdi("1"));
    Add(VxUsb("2"));
    Known("1", lbFtdi);
    Known("2", lbVxUsb);
    TRunResult& run = RunDiscovery();
    EXPECT_EQ(Lines(), std::vector<TLine>{driverError}) << c.scenario;
    EXPECT_EQ(run.result, rvSuccess) << c.scenario;
    EXPECT_TRUE(run.taken.empty()) << c.scenario << ": the listed device is known";
    EXPECT_EQ(owner_.known[0]->Vanished.load(), c.ftdiFailed) << c.scenario;
    EXPECT_EQ(owner_.known[1]->Vanished.load(), !c.ftdiFailed) << c.scenario;
    EXPECT_EQ(Calls("FT_GetDeviceInfoList").size(), c.ftdiSecondCalls) << c.scenario;
    EXPECT_EQ(Calls("RQ_GetListDevices").size(), c.vxusbCalls) << c.scenario;
  }
}

// The maker's list call, with devices plugged in just before each call that
// fills records: the moment between the count and the fill.
std::vector<std::vector<int>> plugBeforeFill;
decltype(TVxUsbApi::GetListDevices) realGetListDevices = nullptr;

std::int32_t VX_WINAPI GetListDevicesPluggingFirst(std::uint16_t selector, void* records, std::uint32_t* count) {
  if (records != nullptr && !plugBeforeFill.empty()) {
    for (const int device : plugBeforeFill.front()) EXPECT_EQ(VxSim_Plug(device), 0);
    plugBeforeFill.erase(plugBeforeFill.begin());
  }
  return realGetListDevices(selector, records, count);
}

TEST_F(DiscoveryTest, DevicesPluggedInBetweenTheMakersCountAndFillPushNoConnectedDeviceOut) {
  struct THook {
    THook() {
      realGetListDevices = VxUsbApi.GetListDevices;
      VxUsbApi.GetListDevices = GetListDevicesPluggingFirst;
    }
    ~THook() { VxUsbApi.GetListDevices = realGetListDevices; }
  } hook;
  const struct {
    const char* name;
    int unplugged;                        // devices listed before the connected two
    std::vector<std::vector<int>> plugs;  // by unplugged index, per fill call
    std::vector<std::uint32_t> buffers;   // the records offered per list call
  } cases[] = {
      {"none comes", 0, {}, {5, 3}},
      {"one comes", 1, {{0}}, {5, 3, 7}},
      {"three come at once", 3, {{0, 1, 2}}, {5, 3, 7}},
      // The third fill is full again: its records are the listing.
      {"they keep coming", 13, {{0}, {1, 2, 3, 4}, {5, 6, 7, 8, 9, 10, 11, 12}}, {5, 3, 7, 15}},
  };
  for (const auto& c : cases) {
    Fresh();
    std::vector<int> late;
    for (int i = 0; i < c.unplugged; ++i) {
      late.push_back(Add(VxUsb(std::to_string(10 + i).c_str())));
      ASSERT_EQ(VxSim_Unplug(late.back()), 0);
    }
    Add(VxUsb("80"));
    Add(VxUsb("90"));
    Known("80", lbVxUsb);
    Known("90", lbVxUsb);
    plugBeforeFill.clear();
    for (const auto& batch : c.plugs) {
      plugBeforeFill.emplace_back();
      for (const int i : batch) plugBeforeFill.back().push_back(late[static_cast<std::size_t>(i)]);
    }
    TRunResult& run = RunDiscovery();
    EXPECT_TRUE(Lines().empty()) << c.name;
    EXPECT_FALSE(owner_.known[0]->Vanished) << c.name;
    EXPECT_FALSE(owner_.known[1]->Vanished) << c.name;
    std::vector<std::int32_t> expected;
    for (const auto& batch : c.plugs)
      for (const int i : batch) expected.push_back(10 + i);
    std::sort(expected.begin(), expected.end());
    std::vector<std::int32_t> taken = Serials(run.taken);
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(taken, expected) << c.name;
    std::vector<std::uint32_t> buffers;
    for (const auto& call : Calls("RQ_GetListDevices")) buffers.push_back(call.Info.Args[1]);
    EXPECT_EQ(buffers, c.buffers) << c.name;
  }
}

TEST_F(DiscoveryTest, MatchingKeepsPresentDevicesMarksGoneOnesAndDropsOnlyTheFirstNewDuplicate) {
  const int present = Add(Ftdi("100"));
  const int ftdiTwin = Add(Ftdi("300"));
  const int vxusbTwin = Add(VxUsb("300", 0x0A01));
  Known("100", lbFtdi);
  Known("200", lbFtdi);
  Known("300", lbFtdi);

  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvSuccess);
  ASSERT_EQ(Serials(run.taken), std::vector<std::int32_t>{300});
  EXPECT_EQ(run.taken[0]->Backend, lbVxUsb) << "the D2XX twin came first and was dropped";
  ASSERT_EQ(owner_.known.size(), 3u);
  EXPECT_FALSE(owner_.known[0]->Vanished);
  EXPECT_TRUE(owner_.known[1]->Vanished);
  EXPECT_FALSE(owner_.known[2]->Vanished);
  /* known devices are not opened; the new twin is */
  EXPECT_TRUE(CallsTo(present, "FT_OpenEx").empty());
  EXPECT_TRUE(CallsTo(ftdiTwin, "FT_OpenEx").empty());
  EXPECT_EQ(CallsTo(vxusbTwin, "RQ_OpenDevice").size(), 1u);
}

TEST_F(DiscoveryTest, AnExceptionEndsItsStepAndIsLoggedOnceTheLockIsFree) {
  /* matching: the step stops, identification still runs */
  Add(Ftdi("1"));
  owner_.knownThrows = "список недоступен";
  TRunResult* run = &RunDiscovery();
  EXPECT_EQ(Lines(), (std::vector<TLine>{{mkError, 0, "Исключение \"список недоступен\" при поиске устройств"}}));
  ASSERT_EQ(Serials(run->taken), std::vector<std::int32_t>{1});
  EXPECT_TRUE(run->taken[0]->InBootLoader);
  owner_.knownThrows.clear();

  /* listing: the maker's listing is skipped */
  Fresh();
  vxsim::LoadScenario("fail_list = ftdi 1\n");
  Add(VxUsb("2"));
  owner_.log.throwOn = "Ошибка в драйвере";
  owner_.log.throwMessage = "журнал занят";
  run = &RunDiscovery();
  EXPECT_EQ(Lines(), (std::vector<TLine>{{mkError, 0, "Ошибка в драйвере"},
                                         {mkError, 0, "Исключение \"журнал занят\" при поиске устройств"}}));
  EXPECT_TRUE(Calls("RQ_GetListDevices").empty());
  EXPECT_TRUE(run->taken.empty());

  /* identification: the open link is closed, the later entry stays unidentified */
  Fresh();
  const int first = Add(Firmware(Ftdi("1")));
  const int second = Add(Ftdi("2"));
  owner_.log.throwOn = "Отправляем команду запуска загрузчика";
  owner_.log.throwMessage = "окно закрыто";
  run = &RunDiscovery();
  EXPECT_EQ(Lines(), (std::vector<TLine>{{mkInfo, 1, "Отправляем команду запуска загрузчика"},
                                         {mkError, 0, "Исключение \"окно закрыто\" при поиске устройств"}}));
  EXPECT_EQ(Sent(first), (std::vector<std::string>{kFirmwareVersionRequest, kTextVersionRequest}));
  EXPECT_EQ(CallsTo(first, "FT_Close").size(), 1u);
  EXPECT_FALSE(vxsim::State(first).Open);
  EXPECT_TRUE(CallsTo(second, "FT_OpenEx").empty());
  ASSERT_EQ(Serials(run->taken), (std::vector<std::int32_t>{1, 2}));
  EXPECT_FALSE(run->taken[1]->InBootLoader);
  EXPECT_EQ(run->taken[1]->FirmwareVersion.Version, 0);

  /* an exception of no known type */
  Fresh();
  vxsim::LoadScenario("fail_list = vxusb 1\n");
  owner_.log.throwOn = "Ошибка в драйвере";
  owner_.log.throwMessage.clear();
  RunDiscovery();
  EXPECT_EQ(Lines(), (std::vector<TLine>{{mkError, 0, "Ошибка в драйвере"},
                                         {mkError, 0, "Исключение \"неизвестная ошибка\" при поиске устройств"}}));
}

TEST_F(DiscoveryTest, EntriesTheOwnerLeavesAreDestroyedWithTheThreadAfterTheEndHandler) {
  Add(Ftdi("1"));
  Add(VxUsb("2"));
  owner_.takeEntries = false;
  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.left, 2u);
  EXPECT_EQ(run.panelsDeletedAtEnd, 0);
  EXPECT_EQ(TTestOwner::panelsDeleted, 2);
  /* their links were closed before */
  EXPECT_EQ(Calls("FT_Close").size(), 1u);
  EXPECT_EQ(Calls("RQ_CloseDevice").size(), 1u);
}

}  // namespace
