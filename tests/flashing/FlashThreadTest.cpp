// The flashing thread against simulated devices in their boot loader: which
// sectors it touches, its lines, its progress and its result.
#include "FlashHarness.h"

namespace {

void Append(std::vector<TLine>& to, const std::vector<TLine>& lines) { to.insert(to.end(), lines.begin(), lines.end()); }

// Positions after each of `units` steps of one unit out of `total`.
std::vector<int> Steps(int from, int units, int total) {
  std::vector<int> out;
  for (int i = from + 1; i <= from + units; ++i) out.push_back(i * 100 / total);
  return out;
}

// The positions the bar is handed: a step that would leave it where it is
// is not handed over.
std::vector<int> Moves(const std::vector<int>& steps) {
  std::vector<int> out;
  for (int p : steps)
    if (out.empty() || out.back() != p) out.push_back(p);
  return out;
}

TEST_F(FlashTest, APayloadEndingInSector17IsWrittenIntoSectors10To17Only) {
  // Sector 10 starts at 0xA000, sector 17 at 0x18000: the payload ends 100
  // bytes into sector 17.
  owner_.payload = Payload(0x18000 - 0xA000 + 100);
  Device(Loader());
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrSuccess);
  EXPECT_EQ(run.lastAnswer, asDone);
  EXPECT_GE(run.elapsed, 0);
  EXPECT_EQ(owner_.loads, 1);

  /* the range line, then every sector: 4 KiB ones in 8 parts, 32 KiB ones in 64 */
  std::vector<TLine> expected{{mkInfo, "Прошивается сектора с 10 по 17"}};
  for (int n = 10; n <= 15; ++n) Append(expected, SectorLines(n, 8));
  Append(expected, SectorLines(16, 64));
  Append(expected, SectorLines(17, 64));
  EXPECT_EQ(Lines(), expected);

  /* one step per block that moves the bar, ending at 100 */
  EXPECT_EQ(owner_.progress, Moves(Steps(0, 176, 176)));
  ASSERT_FALSE(owner_.progress.empty());
  EXPECT_EQ(owner_.progress.front(), 0);  // the first step goes even though it leaves a new bar at 0
  EXPECT_EQ(owner_.progress.back(), 100);

  /* the second command form for this processor, then the done request; the link closed */
  const std::vector<TRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 8u + 176u + 1u);
  EXPECT_EQ(requests.front().Bytes, std::string("\x0E\x00\x0E\x00\x06\x00\x0A\x00\x00\xA0\x00\x00\x2C\xA0", 14));
  EXPECT_EQ(requests[1].Bytes.size(), 526u);
  EXPECT_EQ(requests[1].Code, cmWriteBlockEx);
  EXPECT_EQ(requests[1].Offset, 0xA000u);
  EXPECT_EQ(requests[2].Offset, 0xA200u);
  EXPECT_EQ(requests.back().Bytes, kWriteDoneRequest);
  EXPECT_EQ(vxsim::State(device_).FinishCode, cmWriteDone);
  EXPECT_EQ(vxsim::State(device_).BadRequests, 0u);
  EXPECT_EQ(vxsim::Calls("FT_Close").size(), 1u);
  EXPECT_EQ(entry_->FtHandle, nullptr);
  ExpectFlash(owner_.payload, 10, 17);
}

TEST_F(FlashTest, ABlankSectorIsSkippedButCounted) {
  // Sectors 10 to 12 of a device whose flash starts as zeros; sector 11 of
  // the image is all 0xFF, so it keeps its zeros.
  owner_.payload = Payload(3 * 0x1000);
  std::fill(owner_.payload.begin() + 0x1000, owner_.payload.begin() + 0x2000, 0xFF);
  Device(Loader("flash_fill = 0x00"));
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrSuccess);

  std::vector<TLine> expected{{mkInfo, "Прошивается сектора с 10 по 12"}};
  Append(expected, SectorLines(10, 8));
  expected.emplace_back(mkInfo, "(*) Перепрошивка сектора 11:");
  expected.emplace_back(mkInfo, "(*) Сектор 11 пустой. Пропускаем.");
  Append(expected, SectorLines(12, 8));
  EXPECT_EQ(Lines(), expected);

  /* eight parts, one step of eight units, eight parts */
  std::vector<int> progress = Steps(0, 8, 24);
  progress.push_back(16 * 100 / 24);
  const std::vector<int> last = Steps(16, 8, 24);
  progress.insert(progress.end(), last.begin(), last.end());
  EXPECT_EQ(owner_.progress, Moves(progress));
  ExpectFlash(owner_.payload, 10, 12, 0x00);
}

TEST_F(FlashTest, AFlashThatCannotBeginNeverOpensTheDevice) {
  const struct {
    const char* label;
    TFlashOwner::TLoad load;
    std::size_t payload;
    std::uint8_t fill;
    std::string image;
    std::string deviceFirmware;
    std::string loader;
    std::int32_t result;
    std::vector<TLine> lines;
  } cases[] = {
      {"all 0xFF", TFlashOwner::ldImage, 0x3000, 0xFF, "VXCR-2.0", "VXCR-1.8", "VXBL-1.05", wrNothingToWrite,
       {{mkInfo, "Неизвестный идентификатор 00000000"}}},
      {"loader 1.03 takes no image from 9.00", TFlashOwner::ldImage, 0x3000, 0x5A, "VXRQ-9.0", "VXRQ-8.1",
       "VXBL-1.03", wrIncompatible, {{mkInfo, "Неизвестный идентификатор 00000000"}}},
      {"incompatible and too large", TFlashOwner::ldImage, 600000, 0x5A, "VXWF-3.03", "ZARU-1.0", "VXBL-1.05",
       wrIncompatible, {{mkInfo, "Неизвестный идентификатор 00000000"}}},
      {"load fails", TFlashOwner::ldFails, 0x3000, 0x5A, "VXCR-2.0", "VXCR-1.8", "VXBL-1.05", wrImageLoadFailed,
       {{mkError, "Ошибка загрузки прошивки"}}},
      {"load raises", TFlashOwner::ldRaises, 0x3000, 0x5A, "VXCR-2.0", "VXCR-1.8", "VXBL-1.05", wrImageLoadFailed,
       {{mkError, "Слишком большой размер блока прошивки"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Fresh();
    owner_.load = c.load;
    owner_.payload.assign(c.payload, c.fill);
    owner_.versionText = c.image;
    vxsim::TSimDevice d = Loader("", 0);
    d.FirmwareVersion = c.deviceFirmware;
    d.LoaderVersion = c.loader;
    Device(d);

    TFlashRun& run = Flash();
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.lastAnswer, 0);
    EXPECT_EQ(Lines(), c.lines);
    EXPECT_TRUE(owner_.progress.empty());
    EXPECT_TRUE(vxsim::Calls("FT_OpenEx").empty());
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(vxsim::State(device_).FinishCode, 0u);
  }
}

TEST_F(FlashTest, ADeviceThatCannotBeOpenedGetsNoRequest) {
  owner_.payload = Payload(0x1000);
  Device(Loader("refuse_open = 1"));
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrOpenFailed);
  EXPECT_EQ(run.lastAnswer, 0);
  EXPECT_EQ(Lines(), (std::vector<TLine>{{mkInfo, "Прошивается сектора с 10 по 10"},
                                         {mkError, "Не удалось открыть устройство"}}));
  EXPECT_EQ(vxsim::Calls("FT_OpenEx").size(), 1u);
  EXPECT_TRUE(vxsim::Calls("FT_Write").empty());
  EXPECT_TRUE(owner_.progress.empty());
  EXPECT_EQ(vxsim::State(device_).FinishCode, 0u);
  ExpectFlash({}, 10, 10);
}

TEST_F(FlashTest, AFlashAskedToStopBetweenSectorsEndsAbortedNotDone) {
  owner_.payload = Payload(4 * 0x1000);
  Device(Loader());
  TWriteThread* thread = nullptr;
  // The discovery thread asks while sector 11 is being written; the flash sees
  // it before sector 12.
  owner_.afterLine = [&thread](const std::string& text) {
    if (text == "(*)\tЧасть 7 из 8" && thread != nullptr && !thread->Terminated() &&
        thread->FDoneUnits == 15)
      thread->Terminate();
  };
  TFlashRun& run = Flash([&thread](TWriteThread& t) { thread = &t; });
  EXPECT_EQ(run.result, wrTerminated);
  EXPECT_EQ(run.lastAnswer, asDone);

  std::vector<TLine> expected{{mkInfo, "Прошивается сектора с 10 по 13"}};
  Append(expected, SectorLines(10, 8));
  Append(expected, SectorLines(11, 8));
  expected.emplace_back(mkError, "(*) Прошивка прервана");
  EXPECT_EQ(Lines(), expected);
  EXPECT_EQ(owner_.progress.back(), 50);

  /* sectors 12 and 13 untouched, the aborted request sent, the link closed */
  EXPECT_EQ(Requests().back().Bytes, kWriteAbortedRequest);
  EXPECT_EQ(vxsim::State(device_).FinishCode, cmWriteAborted);
  EXPECT_EQ(vxsim::Calls("FT_Close").size(), 1u);
  std::vector<std::uint8_t> done(owner_.payload.begin(), owner_.payload.begin() + 2 * 0x1000);
  ExpectFlash(done, 10, 11);
}

TEST_F(FlashTest, AnErrorEscapingTheFlashEndsItAsAFailureWithTheLinkClosed) {
  owner_.payload = Payload(2 * 0x1000);
  owner_.throwOn = "(*) Сектор 10 записан";
  Device(Loader());
  TFlashRun& run = Flash();
  EXPECT_EQ(run.result, wrUnexpectedError);
  EXPECT_EQ(run.lastAnswer, asDone);

  std::vector<TLine> expected{{mkInfo, "Прошивается сектора с 10 по 11"}};
  Append(expected, SectorLines(10, 8));
  expected.emplace_back(mkError, "Исключение \"журнал недоступен\" при прошивке");
  EXPECT_EQ(Lines(), expected);
  EXPECT_EQ(Requests().back().Bytes, kWriteAbortedRequest);
  EXPECT_EQ(vxsim::State(device_).FinishCode, cmWriteAborted);
  EXPECT_EQ(vxsim::Calls("FT_Close").size(), 1u);
  EXPECT_EQ(entry_->FtHandle, nullptr);
  std::vector<std::uint8_t> done(owner_.payload.begin(), owner_.payload.begin() + 0x1000);
  ExpectFlash(done, 10, 10);
}

}  // namespace
