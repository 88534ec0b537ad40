// Flashing from the window in the headless backend: real discovery runs list
// the simulated devices, a panel's button (or automatic flashing) starts a
// real flashing thread, and the test serves the hand-overs as the message
// loop would, then looks at the panels, the log and the devices' flash.
#include <cstdio>
#include <filesystem>
#include <utility>

#include "CsvRead.h"
#include "DeviceWindowFixture.h"
#include "FlashCheck.h"
#include "firmware/FirmwareImage.h"
#include "flashing/WriteThread.h"
#include "platform/CodePage.h"
#include "records/FlashRecord.h"

namespace {

// The simulated devices' default processor; its range starts at sector 10.
constexpr std::uint32_t kProcessor = 0x26013F37;
constexpr int kFirstSector = 10;
constexpr char kLoader[] = "VXBL-1.05";

class FlashWindowTest : public DeviceWindowTest {
protected:
  // The window shown with automatic flashing on or off before its first run,
  // that run over (the flashes it started may still be running).
  // With `imageFile`, in external firmware mode with that file chosen.
  TMainForm& StartWindow(bool autoWrite, const std::string& imageFile = "") {
    TMainForm& f = CreateMainForm(form, imageFile.empty() ? std::vector<std::string>{}
                                                          : std::vector<std::string>{"externfirmware"});
    f.Show();
    if (!imageFile.empty()) {
      f.edFWFile.SetText(imageFile);
      f.btnFwLoad.Click();
    }
    f.cbAutoWrite.SetChecked(autoWrite);
    Settle();
    return f;
  }

  // An image file in the application directory.
  std::string ImageFile(const std::string& name, const std::string& version,
                        const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> image;
    std::string error;
    EXPECT_TRUE(BuildFirmwareImage(version, "01.02.2024 03:04:05", payload.data(), payload.size(), image, error))
        << error;
    appDir.Write(name, image);
    return appDir.File(name);
  }
  static std::vector<std::uint8_t> EmbeddedPayload() {
    std::vector<std::uint8_t> payload = ImagePayload(ReadBinaryFile(VX_DEFAULT_IMAGE_PATH));
    EXPECT_FALSE(payload.empty());
    return payload;
  }
  // The last sector of the device's own map that a payload from sector 10 reaches.
  static int LastSectorOf(std::size_t payloadSize) {
    const std::vector<TDeviceSector> sectors = DeviceSectors(kProcessor, kLoader);
    const std::uint64_t end = sectors[kFirstSector].Offset + payloadSize;
    int last = kFirstSector;
    while (static_cast<std::size_t>(last + 1) < sectors.size() && sectors[static_cast<std::size_t>(last + 1)].Offset < end)
      ++last;
    return last;
  }

  // Serves every hand-over until no worker is left.
  void ServeAll() {
    const std::uint32_t start = SystemTickCount();
    while (TThread::RunningCount() > 0 && SystemTickCount() - start < 120000) CheckSynchronize(10);
    ASSERT_EQ(TThread::RunningCount(), 0) << "a worker did not end";
  }
  // Serves one batch of hand-overs at a time (with one flash running, one of
  // its calls) until the newest log line reads `text` after its prefix.
  bool ServeUntilLine(const std::string& text) {
    const std::uint32_t start = SystemTickCount();
    while (SystemTickCount() - start < 60000) {
      CheckSynchronize(10);
      const std::size_t n = form->reLog.LineCount();
      if (n > 0 && AfterPrefix(Unstamped(form->reLog.Line(n - 1))) == text) return true;
    }
    ADD_FAILURE() << "never logged: " << text;
    for (const std::string& l : LinesSince(0)) std::printf("log: %s\n", Cp1251ToUtf8(l).c_str());
    return false;
  }

  // A line with the "(% 6d)" stamp after the device prefix shown as "(*)".
  static std::string Unstamped(const std::string& line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos || tab + 1 >= line.size() || line[tab + 1] != '(') return line;
    const std::size_t close = line.find(')', tab);
    const std::string inner = line.substr(tab + 2, close - tab - 2);
    const std::size_t digits = inner.find_first_not_of(' ');
    EXPECT_TRUE(inner.size() >= 6 && digits != std::string::npos &&
                inner.find_first_not_of("0123456789", digits) == std::string::npos)
        << "stamp of \"" << line << "\"";
    return line.substr(0, tab + 1) + "(*)" + line.substr(close + 1);
  }
  static std::string AfterPrefix(const std::string& line) { return line.substr(line.find('\t') + 1); }
  std::vector<std::string> ShownSince(std::size_t first) const {
    std::vector<std::string> lines;
    for (const std::string& l : LinesSince(first)) lines.push_back(Unstamped(l));
    return lines;
  }
  std::size_t IndexOf(const std::string& line) const {
    for (std::size_t i = 0; i < form->reLog.LineCount(); ++i)
      if (Unstamped(form->reLog.Line(i)) == line) return i;
    ADD_FAILURE() << "not in the log: " << line;
    return form->reLog.LineCount();
  }
  int Count(const std::string& line) const {
    int n = 0;
    for (std::size_t i = 0; i < form->reLog.LineCount(); ++i) n += Unstamped(form->reLog.Line(i)) == line;
    return n;
  }
  TColor LastColor() const { return form->reLog.Runs().back().Color; }

  TDevEntry& Listed(int serial) const {
    TDevEntry* e = FindDevice(form->FDevices, serial);
    EXPECT_NE(e, nullptr) << serial;
    return *e;
  }
  // Message text, its colour, the button's state and the progress of a panel.
  struct TPanelState {
    std::string message;
    TColor color;
    bool buttonEnabled;
    int progress;
    bool operator==(const TPanelState&) const = default;
  };
  TPanelState PanelState(int serial) const {
    const TFWLoaderDevGroup& p = *Listed(serial).Panel;
    return {p.lblMessage->Text(), p.lblMessage->Font().Color, p.btnWrite->Enabled(), p.ProgressBar->Position()};
  }

  // How many requests with each code went to the device.
  static std::map<int, int> CodeCounts(int device) {
    std::map<int, int> counts;
    for (const TRequest& r : DeviceRequests(device)) ++counts[r.Code];
    return counts;
  }
};

TEST_F(FlashWindowTest, APressedButtonFlashesTheDeviceOnceFromEndToEnd) {
  vxsim::AddDevice(BootLoader(VXSIM_FTDI, "1234567"));
  TMainForm& f = StartWindow(false);
  ASSERT_EQ(f.FDevices.size(), 1u);
  TDevEntry& e = *f.FDevices[0];
  TFWLoaderDevGroup& p = *e.Panel;
  ASSERT_TRUE(p.btnWrite->Enabled());
  EXPECT_EQ(e.WriteThread.load(), nullptr);  // listed, not flashed without a press
  const std::size_t mark = f.reLog.LineCount();

  /* pressed twice in quick succession, then asked once more: one flash */
  p.btnWrite->Click();
  TThread* const flash = e.WriteThread.load();
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(PanelState(1234567), (TPanelState{"Обновление прошивки прибора...", clGreen, false, 0}));
  p.btnWrite->Click();
  EXPECT_EQ(e.WriteThread.load(), flash);
  EXPECT_EQ(ShownSince(mark), (std::vector<std::string>{"Прибор 1234567\tНачинаем прошивку прибора"}));
  f.StartWriteThread(e);
  EXPECT_EQ(e.WriteThread.load(), flash);
  EXPECT_EQ(ShownSince(mark), (std::vector<std::string>{"Прибор 1234567\tНачинаем прошивку прибора",
                                                        "Прибор 1234567\tПрибор уже прошивается"}));

  /* served to its end */
  ServeAll();
  const std::vector<std::uint8_t> payload = EmbeddedPayload();
  const int last = LastSectorOf(payload.size());
  const std::string n = std::to_string(last);
  const std::vector<std::string> lines = ShownSince(mark);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(Count("Прибор 1234567\tПрошивается сектора с 10 по " + n), 1);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"Прибор 1234567\t(*) Сектор " + n + " записан",
                                      "Прибор 1234567\t(*)Прошивка завершена успешно"}));
  EXPECT_EQ(LastColor(), clBlack);
  EXPECT_EQ(PanelState(1234567), (TPanelState{"Обновление прошивки завершено успешно", clGreen, true, 100}));
  EXPECT_EQ(e.WriteThread.load(), nullptr);
  ExpectDeviceFlash(0, kProcessor, kLoader, payload, kFirstSector, last);
  // One flash on the wire: each sector erased once, one finishing request.
  int erases = 0;
  for (const TRequest& r : DeviceRequests(0)) erases += r.Code == cmEraseSectorEx;
  EXPECT_EQ(erases, last - kFirstSector + 1);
  EXPECT_EQ(CodeCounts(0)[cmWriteDone], 1);
  EXPECT_EQ(CodeCounts(0)[cmWriteAborted], 0);
  EXPECT_EQ(vxsim::State(0).FinishCode, static_cast<std::uint32_t>(cmWriteDone));
  EXPECT_EQ(vxsim::Calls("FT_OpenEx").size(), 2u);  // identified, flashed
  EXPECT_FALSE(vxsim::State(0).Open);
}

TEST_F(FlashWindowTest, AutomaticFlashingStartsEveryBootLoaderDeviceOfARunInListOrder) {
  const int first = vxsim::AddDevice(BootLoader(VXSIM_FTDI, "21"));
  vxsim::TSimDevice second = BootLoader(VXSIM_VXUSB, "22");
  second.DeviceCode = 0x0A01;
  const int secondIndex = vxsim::AddDevice(second);
  vxsim::TSimDevice fw = Device(VXSIM_FTDI, "23");
  fw.BootLoader = false;
  fw.Extra = "leave_delay = 3600000\n";  // stays in its firmware for the test
  const int firmware = vxsim::AddDevice(fw);

  TMainForm& f = StartWindow(true);
  ASSERT_EQ(f.FDevices.size(), 3u);
  const std::size_t transcriptMark = vxsim::Transcript().size();

  /* both started within the run's end, in list order; the firmware device not */
  EXPECT_NE(Listed(21).WriteThread.load(), nullptr);
  EXPECT_NE(Listed(22).WriteThread.load(), nullptr);
  EXPECT_EQ(Listed(23).WriteThread.load(), nullptr);
  EXPECT_EQ(PanelState(21), (TPanelState{"Обновление прошивки прибора...", clGreen, false, 0}));
  EXPECT_EQ(PanelState(22), (TPanelState{"Обновление прошивки прибора...", clGreen, false, 0}));
  EXPECT_EQ(PanelState(23), (TPanelState{"Отключите прибор и подключите заново.", clGreen, false, 0}));
  EXPECT_LT(IndexOf("Прибор      21\tРежим работы - Загрузчик"), IndexOf("Прибор      21\tНачинаем прошивку прибора"));
  // D2XX devices are listed first: 21, 23, then 22 of the maker's library.
  EXPECT_LT(IndexOf("Прибор      21\tНачинаем прошивку прибора"), IndexOf("Прибор      23\tПрибор подключен"));
  EXPECT_LT(IndexOf("Прибор      23\tРежим работы - Прошивка"), IndexOf("Прибор      22\tПрибор подключен"));
  EXPECT_LT(IndexOf("Прибор      22\tРежим работы - Загрузчик"), IndexOf("Прибор      22\tНачинаем прошивку прибора"));
  EXPECT_EQ(Count("Прибор      23\tНачинаем прошивку прибора"), 0);

  /* both flashed, side by side */
  ServeAll();
  EXPECT_EQ(PanelState(21), (TPanelState{"Обновление прошивки завершено успешно", clGreen, true, 100}));
  EXPECT_EQ(PanelState(22), (TPanelState{"Обновление прошивки завершено успешно", clGreen, true, 100}));
  EXPECT_EQ(PanelState(23), (TPanelState{"Отключите прибор и подключите заново.", clGreen, false, 0}));
  EXPECT_EQ(Count("Прибор      21\t(*)Прошивка завершена успешно"), 1);
  EXPECT_EQ(Count("Прибор      22\t(*)Прошивка завершена успешно"), 1);
  const std::vector<std::uint8_t> payload = EmbeddedPayload();
  const int last = LastSectorOf(payload.size());
  ExpectDeviceFlash(first, kProcessor, kLoader, payload, kFirstSector, last);
  ExpectDeviceFlash(secondIndex, kProcessor, kLoader, payload, kFirstSector, last);
  EXPECT_EQ(vxsim::State(firmware).FinishCode, 0u);

  // The span of each flash on the wire, in real time: each began before the
  // other had ended.
  const std::vector<vxsim::TSimCall> calls = vxsim::Transcript();
  auto span = [&](int device) {
    std::pair<std::uint64_t, std::uint64_t> s{UINT64_MAX, 0};
    for (std::size_t i = transcriptMark; i < calls.size(); ++i) {
      const vxsim::TSimCall& c = calls[i];
      if (c.Info.Device != device || (c.Function() != "FT_Write" && c.Function() != "RQ_Write")) continue;
      s.first = std::min(s.first, c.Info.Micros);
      s.second = std::max(s.second, c.Info.Micros);
    }
    return s;
  };
  const auto a = span(first), b = span(secondIndex);
  ASSERT_LT(a.first, a.second);
  ASSERT_LT(b.first, b.second);
  EXPECT_LT(a.first, b.second);
  EXPECT_LT(b.first, a.second);
}

TEST_F(FlashWindowTest, ADeviceUnpluggedDuringItsFlashStaysUntilTheFlashHasEnded) {
  // Sector 10 with data, sector 11 blank, sector 12 with data.
  const std::vector<TDeviceSector> sectors = DeviceSectors(kProcessor, kLoader);
  const std::uint32_t s10 = sectors[10].Size, s11 = sectors[11].Size, s12 = sectors[12].Size;
  std::vector<std::uint8_t> payload = PseudoRandomPayload(s10 + s11 + s12, 7);
  std::fill(payload.begin() + s10, payload.begin() + s10 + s11, 0xFF);
  const std::string image = ImageFile("gap.eraw", "VXCR-2.0", payload);
  const int device = vxsim::AddDevice(BootLoader(VXSIM_FTDI, "31"));
  TMainForm& f = StartWindow(false, image);
  ASSERT_EQ(f.FDevices.size(), 1u);
  TDevEntry& e = *f.FDevices[0];
  e.Panel->btnWrite->Click();
  TThread* const flash = e.WriteThread.load();
  ASSERT_NE(flash, nullptr);

  /* held at the blank sector's progress, before it looks for a stop request */
  ASSERT_TRUE(ServeUntilLine("(*) Сектор 11 пустой. Пропускаем."));
  const std::size_t mark = f.reLog.LineCount();
  ASSERT_EQ(VxSim_Unplug(device), 0);
  Deliver();
  headless::AdvanceTime(100);
  TReadVersion* const run = ReadVersionThread;
  ASSERT_NE(run, nullptr);
  const std::uint32_t start = SystemTickCount();
  while (!run->Finished() && SystemTickCount() - start < 60000) SystemSleepMs(1);
  ASSERT_TRUE(run->Finished());
  EXPECT_TRUE(flash->Terminated());
  EXPECT_TRUE(e.Vanished.load());

  /* the run's end leaves the entry that is still being flashed */
  while (ReadVersionThread != nullptr) CheckSynchronize(5);
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(f.FDevices[0]->WriteThread.load(), flash);

  /* the flash's end: its result, then the device goes */
  ServeAll();
  EXPECT_EQ(ShownSince(mark),
            (std::vector<std::string>{"Прибор      31\t(*) Прошивка прервана",
                                      "Прибор      31\t(*)Ошибка 10 при прошивке. Последний код ответа прибора 128",
                                      "Прибор      31\tПрибор отключен"}));
  ASSERT_EQ(f.reLog.Runs().size(), mark + 3);
  EXPECT_EQ(f.reLog.Runs()[mark].Color, clRed);
  EXPECT_EQ(f.reLog.Runs()[mark + 1].Color, clRed);
  EXPECT_EQ(f.reLog.Runs()[mark + 2].Color, clBlack);
  EXPECT_TRUE(f.FDevices.empty());
  EXPECT_TRUE(f.DevPanel.Controls().empty());
  // Sector 10 holds its part; sector 12 was never reached; nothing finished.
  ExpectDeviceFlash(device, kProcessor, kLoader, std::vector<std::uint8_t>(payload.begin(), payload.begin() + s10),
                    kFirstSector, kFirstSector);
  EXPECT_EQ(vxsim::State(device).FinishCode, 0u);
}

TEST_F(FlashWindowTest, EveryFailureShowsItsOwnTexts) {
  vxsim::TSimDevice locked = BootLoader(VXSIM_FTDI, "61");
  locked.Extra = "locked = yes\n";
  const int lockedIndex = vxsim::AddDevice(locked);
  vxsim::TSimDevice other = BootLoader(VXSIM_FTDI, "62");
  other.FirmwareVersion = "VXWF-1.0";  // another family than the image's VXCR
  const int otherIndex = vxsim::AddDevice(other);
  vxsim::TSimDevice failing = BootLoader(VXSIM_FTDI, "63");
  failing.Extra = "fault = no_answer code=6 skip=1 times=3\n";  // the second sector's erase
  const int failingIndex = vxsim::AddDevice(failing);
  TMainForm& f = StartWindow(false);
  ASSERT_EQ(f.FDevices.size(), 3u);
  for (const auto& e : f.FDevices) e->Panel->btnWrite->Click();
  ServeAll();

  /* locked: the device refused with 138 */
  EXPECT_EQ(PanelState(61), (TPanelState{"Прибор заблокирован", clRed, true, 0}));
  EXPECT_EQ(Count("Прибор      61\tУстановлена блокировка изменения настроек"), 1);
  EXPECT_EQ(vxsim::State(lockedIndex).FinishCode, static_cast<std::uint32_t>(cmWriteAborted));

  /* incompatible: the device is never opened for the flash */
  EXPECT_EQ(PanelState(62), (TPanelState{"Прошивка и прибор не совместимы", clRed, true, 0}));
  EXPECT_EQ(Count("Прибор      62\tПрибор не совместим с данной версией прошивки"), 1);
  EXPECT_EQ(vxsim::State(otherIndex).Requests, 3u);  // the identification's

  /* an erase that gets no answer: code 5, the last answer that came (128) */
  const TPanelState failed = PanelState(63);
  EXPECT_EQ(failed.message, "Ошибка 5 при обновлении прошивки");
  EXPECT_EQ(failed.color, clRed);
  EXPECT_TRUE(failed.buttonEnabled);
  EXPECT_EQ(Count("Прибор      63\t(*)Ошибка 5 при прошивке. Последний код ответа прибора 128"), 1);
  EXPECT_EQ(vxsim::State(failingIndex).FinishCode, static_cast<std::uint32_t>(cmWriteAborted));
  for (const auto& e : f.FDevices) EXPECT_EQ(e->WriteThread.load(), nullptr);
  for (std::size_t i = 0; i < f.reLog.LineCount(); ++i) {
    const std::string text = AfterPrefix(Unstamped(f.reLog.Line(i)));
    if (text == "Установлена блокировка изменения настроек" ||
        text == "Прибор не совместим с данной версией прошивки" || text.rfind("(*)Ошибка 5 при прошивке", 0) == 0) {
      EXPECT_EQ(f.reLog.Runs()[i].Color, clRed) << text;
    }
  }

  /* a button that belongs to no device */
  f.DevButtonClick(&f.btnFwLoad);
  EXPECT_EQ(f.reLog.Line(f.reLog.LineCount() - 1), "Прибор -------\tОбъект прибора не найден");
  EXPECT_EQ(LastColor(), clRed);
  EXPECT_EQ(TThread::RunningCount(), 0);
}

TEST_F(FlashWindowTest, EveryFinishedFlashIsOneLineOfTheRecord) {
  vxsim::AddDevice(BootLoader(VXSIM_FTDI, "71"));
  vxsim::TSimDevice locked = BootLoader(VXSIM_VXUSB, "72");
  locked.DeviceCode = 0x0A01;
  locked.Extra = "locked = yes\n";
  vxsim::AddDevice(locked);
  TMainForm& f = StartWindow(true);
  ServeAll();
  ASSERT_EQ(f.FDevices.size(), 2u);
  /* the window's texts as before */
  EXPECT_EQ(PanelState(71), (TPanelState{"Обновление прошивки завершено успешно", clGreen, true, 100}));
  EXPECT_EQ(PanelState(72).message, "Прибор заблокирован");
  const std::vector<std::uint8_t> payload = EmbeddedPayload();
  ExpectDeviceFlash(0, kProcessor, kLoader, payload, kFirstSector, LastSectorOf(payload.size()));

  const std::string text = appDir.Read("Logs/flashes.csv");
  ASSERT_EQ(text.substr(0, FlashRecordHeader().size()), FlashRecordHeader());
  bool whole = false;
  const auto rows = ParseCsv(text.substr(3), whole);
  ASSERT_TRUE(whole);
  ASSERT_EQ(rows.size(), 3u);
  std::map<std::string, std::vector<std::string>> bySerial;
  for (std::size_t i = 1; i < rows.size(); ++i) bySerial[rows[i][2]] = rows[i];
  // Versions as the window shows them (1.05 reads 1.5 there).
  const std::string checksum = FormatText("0x%08X", Crc32(payload.data(), payload.size()));
  const std::vector<std::string>& done = bySerial["71"];
  ASSERT_EQ(done.size(), rows[0].size());
  const int blocks = static_cast<int>((payload.size() + 511) / 512);
  EXPECT_EQ(std::vector<std::string>(done.begin() + 1, done.begin() + 13),
            (std::vector<std::string>{"vxfwloader", "71", "ftd2xx", "0x26013F37", "VXCR-1.8", "VXBL-1.5",
                                      f.FFirmwareVersion.VersionText(), checksum, "embedded", "0",
                                      "Обновление прошивки завершено успешно", "128"}));
  EXPECT_GE(std::stoi(done[13]), 0);
  EXPECT_GE(std::stoi(done[14]), blocks) << "every block of the payload, blank ones of its last sector too";
  EXPECT_EQ(done[15], "0");
  EXPECT_EQ(done[16], "0");
  const std::vector<std::string>& refused = bySerial["72"];
  ASSERT_EQ(refused.size(), rows[0].size());
  EXPECT_EQ(std::vector<std::string>(refused.begin() + 1, refused.begin() + 13),
            (std::vector<std::string>{"vxfwloader", "72", "VXUSB", "0x26013F37", "VXCR-1.8", "VXBL-1.5",
                                      f.FFirmwareVersion.VersionText(), checksum, "embedded", "5",
                                      "Прибор заблокирован", "138"}));
  EXPECT_EQ(refused[14], "0");
  EXPECT_EQ(Count("Прибор      71\t(*)Прошивка завершена успешно"), 1);
}

TEST_F(FlashWindowTest, ARecordThatCannotBeWrittenCostsOneErrorLineNotTheFlash) {
  // A folder where the record should be: it cannot be opened as a file.
  std::filesystem::create_directories(appDir.File("Logs/flashes.csv"));
  vxsim::AddDevice(BootLoader(VXSIM_FTDI, "81"));
  TMainForm& f = StartWindow(true);
  ServeAll();
  EXPECT_EQ(PanelState(81), (TPanelState{"Обновление прошивки завершено успешно", clGreen, true, 100}));
  const std::vector<std::uint8_t> payload = EmbeddedPayload();
  ExpectDeviceFlash(0, kProcessor, kLoader, payload, kFirstSector, LastSectorOf(payload.size()));
  // The record's own writer tells it once its try has failed.
  const std::string error = "Не удалось записать результат прошивки в файл " + FlashRecordPath(appDir.Dir());
  ASSERT_TRUE(ServeUntilLine(error));
  EXPECT_EQ(Count("Прибор      81\t" + error), 1);
  EXPECT_EQ(LastColor(), clRed);
  EXPECT_EQ(f.FDevices.size(), 1u);
}

TEST_F(FlashWindowTest, ClosingDuringAFlashEndsItAbortedWithItsLinesAndEnd) {
  const int device = vxsim::AddDevice(BootLoader(VXSIM_FTDI, "71"));
  TMainForm& f = StartWindow(false);
  f.cbWritelogToFile.SetChecked(true);  // the lines outlive the window there
  ASSERT_EQ(f.FDevices.size(), 1u);
  f.FDevices[0]->Panel->btnWrite->Click();
  ASSERT_TRUE(ServeUntilLine("(*) Стираем сектор 10..."));

  DestroyMainForm(form);  // asks the flash to stop and serves it to its end
  EXPECT_EQ(TThread::RunningCount(), 0);
  EXPECT_EQ(vxsim::State(device).FinishCode, static_cast<std::uint32_t>(cmWriteAborted));
  EXPECT_FALSE(vxsim::State(device).Open);
  std::string logged;
  for (const auto& file : std::filesystem::directory_iterator(appDir.File("Logs")))
    logged += appDir.Read("Logs/" + file.path().filename().string());
  EXPECT_NE(logged.find(") Сектор 10 записан"), std::string::npos);
  EXPECT_NE(logged.find(") Прошивка прервана"), std::string::npos);
  EXPECT_NE(logged.find(")Ошибка 10 при прошивке. Последний код ответа прибора 128"), std::string::npos);
}

TEST_F(FlashWindowTest, NoFlashStartsOnceTheWindowIsClosing) {
  const int listed = vxsim::AddDevice(BootLoader(VXSIM_FTDI, "81"));
  vxsim::TSimDevice late = BootLoader(VXSIM_FTDI, "82");
  late.Extra = "plugged = no\n";
  const int lateIndex = vxsim::AddDevice(late);
  TMainForm& f = StartWindow(false);
  ASSERT_EQ(f.FDevices.size(), 1u);

  /* a run under way when the window closes, automatic flashing on */
  f.cbAutoWrite.SetChecked(true);
  ASSERT_EQ(VxSim_Plug(lateIndex), 0);
  Deliver();
  headless::AdvanceTime(100);
  ASSERT_NE(ReadVersionThread, nullptr);

  /* the settings cannot be written: a press during the error box */
  f.FAppDir = appDir.File("missing-dir") + kPathSeparator;
  TMainForm* window = &f;
  bool boxShown = false, lateListed = false, started = false;
  int workersDuringBox = -1;
  headless::SetMessageBoxHandler([&](const headless::TMessageBoxCall&) {
    boxShown = true;
    lateListed = FindDevice(window->FDevices, 82) != nullptr;
    for (const auto& e : window->FDevices) e->Panel->btnWrite->Click();
    for (const auto& e : window->FDevices) started = started || e->WriteThread.load() != nullptr;
    workersDuringBox = TThread::RunningCount();
    for (std::size_t i = 0; i < window->reLog.LineCount(); ++i)
      started = started || window->reLog.Line(i).find("Начинаем прошивку прибора") != std::string::npos;
    return kIdOk;
  });
  DestroyMainForm(form);
  EXPECT_TRUE(boxShown);
  EXPECT_TRUE(lateListed);  // its run ended during the close, its click refused
  EXPECT_FALSE(started);
  EXPECT_EQ(workersDuringBox, 0);
  EXPECT_EQ(TThread::RunningCount(), 0);
  EXPECT_EQ(vxsim::State(listed).Requests, 3u);
  EXPECT_EQ(vxsim::State(lateIndex).Requests, 3u);
}

}  // namespace
