// The identification exchange of a discovery run with simulated devices in
// their boot loader and in their firmware.
#include "DiscoveryHarness.h"

namespace {

// Clock ticks from the start of one driver call to the start of another.
std::uint32_t Between(const vxsim::TSimCall& from, const vxsim::TSimCall& to) { return to.Info.Tick - from.Info.Tick; }

std::vector<std::uint32_t> AskedCounts(const std::vector<vxsim::TSimCall>& reads) {
  std::vector<std::uint32_t> out;
  for (const auto& r : reads) out.push_back(r.Info.Args[1]);
  return out;
}

TEST_F(DiscoveryTest, ABootLoaderGivesItsVersionsAndProcessorOverBothLibraries) {
  vxsim::TSimDevice ftdi = Ftdi("12345");
  ftdi.ProcessorId = 0x26013F40;
  const int d2xx = Add(ftdi);
  vxsim::TSimDevice maker = VxUsb("4242", 0x0A01);
  maker.FirmwareVersion = "VXCR-2.3 test";
  maker.LoaderVersion = "VXBL-1.10";
  const int vxusb = Add(maker);

  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvSuccess);
  EXPECT_EQ(run.lastAnswer, asDone);
  EXPECT_TRUE(Lines().empty());
  ASSERT_EQ(run.taken.size(), 2u);
  const TDevEntry& a = *run.taken[0];
  EXPECT_TRUE(a.InBootLoader);
  EXPECT_FALSE(a.RestartRequested);
  EXPECT_EQ(a.FirmwareVersion.VersionText(), "VXCR-1.8");
  EXPECT_EQ(a.LoaderVersion.VersionText(), "VXBL-1.5");
  EXPECT_EQ(a.ProcessorId, 0x26013F40u);
  const TDevEntry& b = *run.taken[1];
  EXPECT_EQ(b.FirmwareVersion.VersionText(), "VXCR-2.3test");
  EXPECT_EQ(b.LoaderVersion.VersionText(), "VXBL-1.10");
  EXPECT_EQ(b.ProcessorId, 0x26013F37u);

  /* the three queries byte for byte, then the link closed */
  const std::vector<std::string> queries{kFirmwareVersionRequest, kLoaderVersionRequest, kProcessorIdRequest};
  EXPECT_EQ(Sent(d2xx), queries);
  EXPECT_EQ(Sent(vxusb), queries);
  EXPECT_EQ(CallsTo(d2xx, "FT_Close").size(), 1u);
  EXPECT_EQ(CallsTo(vxusb, "RQ_CloseDevice").size(), 1u);
  /* the maker's read is asked for the whole maximum */
  EXPECT_EQ(AskedCounts(CallsTo(vxusb, "RQ_ReadNotTimeOut")), (std::vector<std::uint32_t>{1024, 1024, 1024}));
}

TEST_F(DiscoveryTest, UnansweredLoaderQueriesWaitTheirTimeOutsAndTheDeviceIsStillTaken) {
  const int device = Add(
      Ftdi("7", "fault = no_answer code=5\nfault = no_answer code=10\n"));
  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvSuccess);
  EXPECT_EQ(Lines(), (std::vector<TLine>{{mkError, 0, "нет ответа на запрос идентификатора"}}));
  ASSERT_EQ(run.taken.size(), 1u);
  EXPECT_TRUE(run.taken[0]->InBootLoader);
  EXPECT_EQ(run.taken[0]->FirmwareVersion.Version, 108);
  EXPECT_EQ(run.taken[0]->LoaderVersion.VersionText(), "?????");
  EXPECT_EQ(run.taken[0]->ProcessorId, 0u);

  const auto writes = CallsTo(device, "FT_Write");
  ASSERT_EQ(writes.size(), 3u);
  const auto reset = CallsTo(device, "FT_ResetDevice");
  ASSERT_EQ(reset.size(), 1u);
  /* 100 ms for the loader version, 500 ms for the processor */
  EXPECT_GE(Between(writes[1], writes[2]), 100u);
  EXPECT_LE(Between(writes[1], writes[2]), 102u);
  EXPECT_GE(Between(writes[2], reset[0]), 500u);
  EXPECT_LE(Between(writes[2], reset[0]), 502u);
}

TEST_F(DiscoveryTest, AFirmwareDeviceIsAskedForItsTextVersionAndToRestart) {
  const struct {
    const char* label;
    std::string extra;
    std::vector<TLine> tail;  // after the line that announces the command
    bool restart;
    std::string startWritten = kStartRequest;
  } cases[] = {
      {"STARTED with a line end", "start_answer = \"STARTED\\r\\n\"",
       {{mkInfo, 31, "Команда запуска загрузчика обработана. Переподключите устройство."}}, true},
      {"six letters", "start_answer = \"STARTE\"", {{mkError, 31, "Неизвестный ответ прибора: STARTE"}}, false},
      {"start error", "start_answer = \"START ERROR\\r\\n\"", {{mkError, 31, "Ошибка запуска загрузчика"}}, false},
      {"no answer", "start_answer = none", {{mkError, 31, "Прибор не ответил на команду запуска загрузчика."}}, false},
      {"send fails", "fault = short_write skip=2", {{mkError, 31, "Ошибка драйвера."}}, false, "START_BOOT_LOADE"},
  };
  for (const auto& c : cases) {
    Fresh();
    const int device = Add(Firmware(Ftdi("31"), c.extra));
    TRunResult& run = RunDiscovery();
    EXPECT_EQ(run.result, rvSuccess) << c.label;
    EXPECT_EQ(run.lastAnswer, 0) << c.label << ": no framed answer came";
    std::vector<TLine> expected{{mkInfo, 31, "Отправляем команду запуска загрузчика"}};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(Lines(), expected) << c.label;
    ASSERT_EQ(run.taken.size(), 1u) << c.label;
    EXPECT_FALSE(run.taken[0]->InBootLoader) << c.label;
    EXPECT_EQ(run.taken[0]->RestartRequested, c.restart) << c.label;
    EXPECT_EQ(run.taken[0]->FirmwareVersion.VersionText(), "VXCR-1.8") << c.label;
    EXPECT_EQ(run.taken[0]->LoaderVersion.Version, 0) << c.label;
    EXPECT_EQ(Sent(device), (std::vector<std::string>{kFirmwareVersionRequest, kTextVersionRequest, c.startWritten}))
        << c.label;
    EXPECT_EQ(CallsTo(device, "FT_Write").back().Info.Args[1], kStartRequest.size()) << c.label;
    EXPECT_EQ(CallsTo(device, "FT_Close").size(), 1u) << c.label;
    if (c.extra == "start_answer = none") {
      /* the answer is waited for 1000 ms */
      const auto writes = CallsTo(device, "FT_Write");
      const auto reset = CallsTo(device, "FT_ResetDevice");
      ASSERT_EQ(reset.size(), 1u);
      EXPECT_GE(Between(writes.back(), reset[0]), 1000u);
      EXPECT_LE(Between(writes.back(), reset[0]), 1002u);
    }
  }
}

TEST_F(DiscoveryTest, TheTextVersionQueryTriesFourTimesAndTakesUnknown) {
  /* seven bytes four times: no version, the run fails, no restart asked */
  int device = Add(Firmware(Ftdi("5"), "fault = short_answer code=0 value=7 times=4"));
  TRunResult* run = &RunDiscovery();
  EXPECT_EQ(run->result, rvNoVersion);
  EXPECT_EQ(Sent(device), (std::vector<std::string>{kFirmwareVersionRequest, kTextVersionRequest, kTextVersionRequest,
                                                    kTextVersionRequest, kTextVersionRequest}));
  EXPECT_EQ(run->taken[0]->FirmwareVersion.Version, 0);
  EXPECT_TRUE(Lines().empty());

  /* nothing at all: 100 ms for the loader test, then 2000 ms per attempt */
  Fresh();
  device = Add(Firmware(Ftdi("5"), "fault = no_answer times=5"));
  run = &RunDiscovery();
  EXPECT_EQ(run->result, rvNoVersion);
  const auto writes = CallsTo(device, "FT_Write");
  const auto reset = CallsTo(device, "FT_ResetDevice");
  ASSERT_EQ(writes.size(), 5u);
  ASSERT_EQ(reset.size(), 1u);
  EXPECT_GE(Between(writes[0], writes[1]), 100u);
  EXPECT_LE(Between(writes[0], writes[1]), 102u);
  for (std::size_t i = 2; i < writes.size(); ++i) {
    EXPECT_GE(Between(writes[i - 1], writes[i]), 2000u) << i;
    EXPECT_LE(Between(writes[i - 1], writes[i]), 2002u) << i;
  }
  EXPECT_GE(Between(writes[4], reset[0]), 2000u);
  EXPECT_LE(Between(writes[4], reset[0]), 2002u);

  /* "Unknown" at the first attempt */
  Fresh();
  vxsim::TSimDevice unknown = Firmware(Ftdi("6"));
  unknown.FirmwareVersion = "Unknown\\x00";  // with its zero byte: the shortest answer taken is 8 bytes
  device = Add(unknown);
  run = &RunDiscovery();
  EXPECT_EQ(run->result, rvSuccess);
  EXPECT_EQ(Sent(device), (std::vector<std::string>{kFirmwareVersionRequest, kTextVersionRequest, kStartRequest}));
  EXPECT_EQ(run->taken[0]->FirmwareVersion.VersionText(), "Empty");

  /* the read maxima of a firmware device over the maker's library */
  Fresh();
  device = Add(Firmware(VxUsb("8")));
  RunDiscovery();
  EXPECT_EQ(AskedCounts(CallsTo(device, "RQ_ReadNotTimeOut")), (std::vector<std::uint32_t>{1024, 100, 1024}));
}

TEST_F(DiscoveryTest, ABootLoaderWithAnUnreadableVersionTextIsStillABootLoader) {
  vxsim::TSimDevice d = Ftdi("3");
  d.FirmwareVersion = "VX-CR-1.9";
  const int device = Add(d);
  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvSuccess);
  ASSERT_EQ(run.taken.size(), 1u);
  EXPECT_TRUE(run.taken[0]->InBootLoader);
  EXPECT_EQ(run.taken[0]->FirmwareVersion.Name, "VX");
  EXPECT_EQ(run.taken[0]->FirmwareVersion.Version, 0);
  EXPECT_EQ(run.taken[0]->LoaderVersion.Version, 105);
  EXPECT_EQ(Sent(device), (std::vector<std::string>{kFirmwareVersionRequest, kLoaderVersionRequest, kProcessorIdRequest}));
}

TEST_F(DiscoveryTest, AFailedDeviceFailsTheRunAndTheLaterOnesAreOnlyAskedForTheirVersion) {
  /* the first cannot be opened, the others answer */
  const int refusing = Add(Ftdi("1", "refuse_open = 1"));
  const int firmware = Add(Firmware(Ftdi("2")));
  const int loader = Add(VxUsb("3"));
  owner_.takeEntries = false;
  TRunResult* run = &RunDiscovery();
  EXPECT_EQ(run->result, rvOpenFailed);
  EXPECT_EQ(run->left, 3u) << "every new device stays with the run";
  EXPECT_EQ(CallsTo(refusing, "FT_OpenEx").size(), 1u);
  EXPECT_TRUE(Sent(refusing).empty());
  EXPECT_EQ(Sent(firmware), (std::vector<std::string>{kFirmwareVersionRequest, kTextVersionRequest}));
  EXPECT_EQ(Sent(loader), std::vector<std::string>{kFirmwareVersionRequest});
  EXPECT_EQ(CallsTo(firmware, "FT_Close").size(), 1u);
  EXPECT_EQ(CallsTo(loader, "RQ_CloseDevice").size(), 1u);
  EXPECT_EQ(run->lastAnswer, asDone);
  EXPECT_TRUE(Lines().empty());

  /* the last failure of the run wins */
  Fresh();
  Add(Firmware(Ftdi("1"), "fault = short_answer code=0 value=7 times=4"));
  Add(Ftdi("2", "refuse_open = 1"));
  EXPECT_EQ(RunDiscovery().result, rvOpenFailed);
  Fresh();
  Add(Ftdi("2", "refuse_open = 1"));
  Add(Firmware(Ftdi("1"), "fault = short_answer code=0 value=7 times=4"));
  EXPECT_EQ(RunDiscovery().result, rvNoVersion);
}

TEST_F(DiscoveryTest, WhereDevicesFailAloneTheOthersGetTheirWholeExchangeAndTheRunSucceeds) {
  owner_.failAlone = true;
  const int refusing = Add(Ftdi("1", "refuse_open = 1"));
  const int silent = Add(Firmware(Ftdi("2"), "fault = no_answer times=5"));
  const int firmware = Add(Firmware(Ftdi("3")));
  const int loader = Add(VxUsb("4"));
  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvSuccess);
  EXPECT_EQ(run.unidentified, (std::vector<std::tuple<int, int, int>>{{1, rvOpenFailed, 0}, {2, rvNoVersion, 0}}));
  ASSERT_EQ(run.taken.size(), 2u);
  EXPECT_EQ(run.taken[0]->Serial, 3);
  EXPECT_TRUE(run.taken[0]->RestartRequested);
  EXPECT_EQ(run.taken[1]->Serial, 4);
  EXPECT_EQ(run.taken[1]->ProcessorId, 0x26013F37u);
  EXPECT_TRUE(Sent(refusing).empty());
  EXPECT_EQ(Sent(silent).size(), 5u);
  EXPECT_EQ(Sent(firmware), (std::vector<std::string>{kFirmwareVersionRequest, kTextVersionRequest, kStartRequest}));
  EXPECT_EQ(Sent(loader), (std::vector<std::string>{kFirmwareVersionRequest, kLoaderVersionRequest, kProcessorIdRequest}));
  EXPECT_EQ(CallsTo(silent, "FT_Close").size(), 1u);
}

TEST_F(DiscoveryTest, TheLastAnswerIsTheStatusOfABootLoaderThatRefusedTheVersionQuery) {
  const int device = Add(Ftdi("4", "fault = no_answer code=4"));
  const std::uint8_t refusal[14] = {0x0E, 0, 0x0E, 0, 129, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(VxSim_QueueAnswer(device, refusal, sizeof refusal, 0), 0);
  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvNoVersion);
  EXPECT_EQ(run.lastAnswer, 129);
  EXPECT_FALSE(run.taken[0]->InBootLoader);
}

TEST_F(DiscoveryTest, ADeviceTextReachesTheLogWholeAsOneLineWithItsControlsEscaped) {
  // Bytes without a letter, bytes a format would act on, a line end, a
  // terminal's escape sequence, and more than the 1024 bytes that one answer
  // may hold.
  const std::string head = "\x98\xFF\x80%s%n%d\x01\x7F\xC0\r\n\x1B[2J\\";
  std::string answer = head;
  answer.append(1100 - answer.size(), 'z');
  std::string scenario;
  for (unsigned char ch : answer) scenario += FormatText("\\x%02X", ch);
  const int device = Add(Firmware(Ftdi("9"), "start_answer = \"" + scenario + "\""));
  TRunResult& run = RunDiscovery();
  EXPECT_EQ(run.result, rvSuccess);
  ASSERT_EQ(Lines().size(), 2u);
  const std::string shown = "\\x98\xFF\x80%s%n%d\\x01\\x7F\xC0\\x0D\\x0A\\x1B[2J\\\\";
  EXPECT_EQ(Lines()[1],
            TLine(mkError, 9, "Неизвестный ответ прибора: " + shown + std::string(1024 - head.size(), 'z')));
  EXPECT_EQ(AskedCounts(CallsTo(device, "FT_Read")).back(), 1024u);
}

}  // namespace
