// The erase, write and finish exchanges of a flash with simulated boot
// loaders: requests, retries, answer checks and their lines.
#include "FlashHarness.h"

namespace {

// Sector 10 of the default device (512 KiB map) starts at 0xA000.
std::vector<TLine> Error(const std::string& text) { return {{mkError, text}}; }

std::vector<int> Repeat(int code, int times) { return std::vector<int>(static_cast<std::size_t>(times), code); }

const std::vector<TLine> kErased{{mkInfo, "(*) Стирание сектора 10: OK"}, {mkInfo, "(*) Запись сектора 10:"}};
const std::vector<TLine> kEraseFailed{{mkError, "(*) Стирание сектора 10: Ошибка!"}};
const std::vector<TLine> kWritten{{mkInfo, "(*) Сектор 10 записан"}};

TEST_F(FlashTest, AProtectedSectorCountsAsDoneAndKeepsItsContents) {
  owner_.payload = Payload(0x1000);
  Device(Loader("protected = 10"));
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrSuccess);
  EXPECT_EQ(run.lastAnswer, asProtected);

  std::vector<TLine> expected = Head(10, 10) + Error("(*) Сектор защищен от стирания") + kErased;
  for (int k = 0; k < 8; ++k)
    expected = expected + Parts(k, k, 8) + Error("(*) Сектор защищен от записи");
  EXPECT_EQ(Lines(), expected + kWritten);
  EXPECT_EQ(owner_.progress.back(), 100);
  EXPECT_EQ(Requests().back().Bytes, kWriteDoneRequest);
  ExpectFlash(owner_.payload, 10, 10, 0xFF, {10});
}

TEST_F(FlashTest, AWrongOffsetEchoFailsTheSectorAtOnce) {
  owner_.payload = Payload(0x2000);
  Device(Loader("fault = wrong_offset code=7 skip=2"));
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrWriteFailed);
  EXPECT_EQ(run.lastAnswer, asDone);
  /* block 2 at 0xA400 is answered for 0xA600: its fields in the error line, no second attempt */
  EXPECT_EQ(Lines(), Head(10, 11) + kErased + Parts(0, 2, 8) +
                         Error("(*) Ошибка при записи сектора 10 (14, 14, 128, 10, 42496)"));
  EXPECT_EQ(Codes(), (Repeat(cmEraseSectorEx, 1) + Repeat(cmWriteBlockEx, 3) + Repeat(cmWriteAborted, 1)));
  /* after the failure: no other sector, the aborted request as it goes on the wire */
  EXPECT_EQ(Requests().back().Bytes, kWriteAbortedRequest);
  EXPECT_EQ(vxsim::State(device_).FinishCode, cmWriteAborted);
  EXPECT_EQ(owner_.progress, (std::vector<int>{6, 12}));
  EXPECT_EQ(vxsim::Calls("FT_Close").size(), 1u);
}

TEST_F(FlashTest, AShortOrMissingAnswerIsTriedThreeTimes) {
  const struct {
    const char* label;
    std::string fault;
    std::int32_t result;
    std::int32_t lastAnswer;
    std::vector<TLine> lines;
    std::vector<int> codes;
  } cases[] = {
      {"13 bytes twice to the erase", "fault = short_answer code=6 value=13 times=2", wrSuccess, asDone,
       Head(10, 10) + kErased + Parts(0, 7, 8) + kWritten,
       Repeat(cmEraseSectorEx, 3) + Repeat(cmWriteBlockEx, 8) + Repeat(cmWriteDone, 1)},
      {"13 bytes three times to the erase", "fault = short_answer code=6 value=13 times=3", wrEraseFailed, 0,
       Head(10, 10) + kEraseFailed, Repeat(cmEraseSectorEx, 3) + Repeat(cmWriteAborted, 1)},
      {"13 bytes three times to a block", "fault = short_answer code=7 value=13 skip=1 times=3", wrWriteFailed,
       asDone,
       Head(10, 10) + kErased + Parts(0, 1, 8) +
           Error("(*) Ошибка при записи сектора 10 (14, 14, 128, 10, 41472)"),
       Repeat(cmEraseSectorEx, 1) + Repeat(cmWriteBlockEx, 4) + Repeat(cmWriteAborted, 1)},
      {"silence three times to a block", "fault = no_answer code=7 times=3", wrWriteFailed, asDone,
       Head(10, 10) + kErased + Parts(0, 0, 8) +
           Error("(*) Ошибка при записи сектора 10 (0, 0, 0, 0, 0)"),
       Repeat(cmEraseSectorEx, 1) + Repeat(cmWriteBlockEx, 3) + Repeat(cmWriteAborted, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TFlashRun& run = FlashOneSector(c.fault);
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.lastAnswer, c.lastAnswer);
    EXPECT_EQ(Lines(), c.lines);
    EXPECT_EQ(Codes(), c.codes);
    /* a repeated attempt sends the same bytes */
    const std::vector<TRequest> requests = Requests();
    for (std::size_t i = 1; i + 1 < requests.size(); ++i)
      if (requests[i].Code == requests[i - 1].Code && requests[i].Offset == requests[i - 1].Offset) {
        EXPECT_EQ(requests[i].Bytes, requests[i - 1].Bytes);
      }
    if (c.result == wrSuccess) ExpectFlash(owner_.payload, 10, 10);
    if (c.fault.rfind("fault = no_answer", 0) == 0) {
      /* each attempt waits 1000 ms for its answer */
      const auto writes = vxsim::Calls("FT_Write");
      std::vector<std::uint32_t> starts;
      for (const auto& w : writes)
        if (w.Info.Args[1] == 64 && w.Data.size() >= 6 && w.Data[4] == cmWriteBlockEx) starts.push_back(w.Info.Tick);
      ASSERT_EQ(starts.size(), 3u);
      EXPECT_GE(starts[1] - starts[0], 1000u);
      EXPECT_LE(starts[1] - starts[0], 1020u);
      EXPECT_GE(starts[2] - starts[1], 1000u);
    }
  }
}

TEST_F(FlashTest, ALateAnswerIsTakenByTheNextAttempt) {
  // Block 0's first answer comes after the read has given up; the second
  // attempt reads it, and block 1 then reads the answer to that second attempt.
  owner_.payload = Payload(0x1000);
  Device(Loader("fault = late_answer code=7 delay=1500"));
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrWriteFailed);
  EXPECT_EQ(Lines(), Head(10, 10) + kErased + Parts(0, 1, 8) +
                         Error("(*) Ошибка при записи сектора 10 (14, 14, 128, 10, 40960)"));
  EXPECT_EQ(Codes(), (Repeat(cmEraseSectorEx, 1) + Repeat(cmWriteBlockEx, 3) + Repeat(cmWriteAborted, 1)));
}

TEST_F(FlashTest, ALateEraseAnswerIsNotTakenForTheFirstBlock) {
  // The erase's first answer comes after its read gave up and is read by the
  // second attempt; the answer to that second attempt follows it, and would
  // pass for the answer to block 0, which is lost on its way. Block 0 must be
  // sent again, not counted as written.
  owner_.payload = Payload(0x1000);
  Device(Loader("fault = late_answer code=6 delay=1500\nfault = lost_request code=7"));
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrSuccess);
  EXPECT_EQ(Codes(), (Repeat(cmEraseSectorEx, 2) + Repeat(cmWriteBlockEx, 9) + Repeat(cmWriteDone, 1)));
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 0x1000), owner_.payload) << "every block of sector 10 on the device";
  EXPECT_EQ(vxsim::State(device_).BadRequests, 1u) << "block 0's first request was lost";

  /* the second attempt's own answer is late as well, more than a time-out
     after the first one's: it is still waited for, not taken for block 0's */
  Fresh();
  Device(Loader("fault = late_answer code=6 delay=1500\nfault = late_answer code=6 skip=1 delay=1660\n"
                "fault = lost_request code=7"));
  TFlashRun& again = Flash();
  EXPECT_EQ(again.result, wrSuccess);
  EXPECT_EQ(Codes(), (Repeat(cmEraseSectorEx, 2) + Repeat(cmWriteBlockEx, 9) + Repeat(cmWriteDone, 1)));
  EXPECT_EQ(vxsim::Flash(device_, 0xA000, 0x1000), owner_.payload) << "every block of sector 10 on the device";
}

TEST_F(FlashTest, ALockedDeviceLeavesItsStatusAsTheLastAnswer) {
  owner_.payload = Payload(0x1000);
  Device(Loader("locked = yes"));
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrEraseFailed);
  EXPECT_EQ(run.lastAnswer, asLocked);
  EXPECT_EQ(Lines(), Head(10, 10) + kEraseFailed);
  EXPECT_EQ(Codes(), (Repeat(cmEraseSectorEx, 1) + Repeat(cmWriteAborted, 1)));
  EXPECT_TRUE(owner_.progress.empty());
}

TEST_F(FlashTest, TheCommandFormOfAnUnknownProcessorFollowsImageAndLoader) {
  const struct {
    const char* label;
    std::string loader, deviceFirmware, image;
    int erase, write;
  } cases[] = {
      {"VXRQ image, loader 1.03", "VXBL-1.03", "VXRQ-8.0", "VXRQ-8.5", cmEraseSector, cmWriteBlock},
      {"VXRQ image, loader 1.04", "VXBL-1.04", "VXRQ-9.0", "VXRQ-9.1", cmEraseSectorEx, cmWriteBlockEx},
      {"KOLV image, loader 1.05", "VXBL-1.05", "VXRQ-9.0", "KOLV-9.1", cmEraseSector, cmWriteBlock},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Fresh();
    // Sector 4 of the 28-sector map, at 0x4000.
    owner_.payload = Payload(0x1000);
    owner_.versionText = c.image;
    vxsim::TSimDevice d = Loader("", 0x12345678);
    d.LoaderVersion = c.loader;
    d.FirmwareVersion = c.deviceFirmware;
    Device(d);
    TFlashRun& run = Flash();
    EXPECT_EQ(run.result, wrSuccess);
    const std::vector<TLine> lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], TLine(mkInfo, "Неизвестный идентификатор 12345678"));
    EXPECT_EQ(lines[1], TLine(mkInfo, "Прошивается сектора с 4 по 4"));
    EXPECT_EQ(Codes(), (Repeat(c.erase, 1) + Repeat(c.write, 8) + Repeat(cmWriteDone, 1)));
    EXPECT_EQ(Requests().front().Offset, 0x4000u);
    ExpectFlash(owner_.payload, 4, 4);
  }
}

TEST_F(FlashTest, APageSectorIsOneBlockOverTheMakersLibrary) {
  owner_.payload = Payload(512 + 512);
  vxsim::TSimDevice d = SimTest::Device(VXSIM_VXUSB, "4242");
  d.ProcessorId = 0x400FE000;
  Device(d);
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrSuccess);
  EXPECT_EQ(run.lastAnswer, asDone);
  const std::vector<TLine> expected = std::vector<TLine>{{mkInfo, "Прошивается сектора с 0 по 1"}} +
                                      SectorLines(0, 1) + SectorLines(1, 1);
  EXPECT_EQ(Lines(), expected);
  EXPECT_EQ(owner_.progress, (std::vector<int>{50, 100}));
  const std::vector<TRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].Offset, 0x4400u);
  EXPECT_EQ(requests[3].Offset, 0x4600u);
  EXPECT_EQ(requests[3].Param, 1);
  EXPECT_EQ(vxsim::Calls("RQ_CloseDevice").size(), 1u);
  ExpectFlash(owner_.payload, 0, 1);
}

}  // namespace

namespace {

TEST_F(FlashTest, EveryKnownProcessorGetsTheSecondFormAndItsOwnRange) {
  std::uint32_t id = 0;
  int known = 0;
  for (std::uint32_t index = 0; VxSim_KnownProcessor(index, &id) == 0; ++index) {
    SCOPED_TRACE(id);
    ++known;
    Fresh();
    owner_.payload = Payload(0x1000);
    Device(Loader("", id));
    const std::size_t sectors = DeviceSectors().size();
    // The first sector an image may use: past the boot loader's own sectors.
    const int first = sectors == 256 ? 0 : sectors == 64 ? 4 : 10;
    TFlashRun& run = Flash();
    EXPECT_EQ(run.result, wrSuccess);
    for (const TRequest& r : Requests())
      EXPECT_TRUE(r.Code == cmEraseSectorEx || r.Code == cmWriteBlockEx || r.Code == cmWriteDone) << r.Code;
    EXPECT_EQ(vxsim::State(device_).RefusedRequests, 0u);
    ExpectFlash(owner_.payload, first, static_cast<int>(sectors) - 1);
  }
  EXPECT_EQ(known, 13);
}

}  // namespace
