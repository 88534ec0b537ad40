// Many flashes at once in the headless window while devices are unplugged and
// plugged back at random moments: every flash ends, a success is only ever
// reported for a device whose flash holds the image at that moment, every
// device that stayed plugged ends flashed, and no worker is left behind.
// The moments come from a seed that is printed (VX_SOAK_SEED repeats a run;
// VX_SOAK_LOG prints the unplugs and the whole log of a run that passed too).
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "DeviceWindowFixture.h"
#include "FlashCheck.h"
#include "firmware/FirmwareImage.h"
#include "platform/CodePage.h"

namespace {

constexpr std::uint32_t kProcessor = 0x26013F37;
constexpr int kFirstSector = 10;
constexpr char kLoader[] = "VXBL-1.05";
constexpr int kDevices = 16;
constexpr int kFirstSerial = 5001;

class PlugDuringFlashesTest : public DeviceWindowTest {
protected:
  static std::uint32_t Seed() {
    if (const char* text = std::getenv("VX_SOAK_SEED"); text != nullptr && *text != '\0')
      return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
    return std::random_device{}();
  }

  // Sectors 10 to 16 of the devices' map: 4 KB sectors up to 15, then 32 KB
  // ones. Sector 12 is blank, so one skipped sector is in every flash.
  static std::vector<std::uint8_t> Payload(std::uint32_t seed) {
    const std::vector<TDeviceSector> sectors = DeviceSectors(kProcessor, kLoader);
    const std::uint32_t base = sectors[kFirstSector].Offset;
    std::vector<std::uint8_t> payload = PseudoRandomPayload(sectors[16].Offset - base + 0x2000, seed | 1);
    std::fill(payload.begin() + (sectors[12].Offset - base), payload.begin() + (sectors[13].Offset - base), 0xFF);
    return payload;
  }

  // Whether the device's whole flash is what a flash of the payload leaves.
  bool HoldsImage(int device) const {
    const vxsim::TExpectedFlash expected =
        vxsim::ExpectedFlash(vxsim::SectorMap(kProcessor, kLoader), payload_, kFirstSector, lastSector_);
    const VxSimDeviceState state = vxsim::State(device);
    return !expected.Bytes.empty() && vxsim::Flash(device, 0, state.FlashSize) == expected.Bytes;
  }

  // The serial a log line is about (its "Прибор %7d\t" prefix), 0 for none.
  static int SerialOf(const std::string& line) {
    const std::string prefix = "Прибор ";
    const std::size_t tab = line.find('\t');
    if (line.compare(0, prefix.size(), prefix) != 0 || tab == std::string::npos) return 0;
    return std::atoi(line.substr(prefix.size(), tab - prefix.size()).c_str());
  }
  static std::string TextOf(const std::string& line) {
    std::string text = line.substr(line.find('\t') + 1);
    // Without the "(% 6d)" stamp.
    if (!text.empty() && text[0] == '(') text = text.substr(text.find(')') + 1);
    return text;
  }
  static bool EndsAFlash(const std::string& text) {
    return text == "Прошивка завершена успешно" || text == "Установлена блокировка изменения настроек" ||
           text == "Прибор не совместим с данной версией прошивки" ||
           (text.rfind("Ошибка ", 0) == 0 && text.find(" при прошивке. ") != std::string::npos);
  }

  // Looks at the log lines that came since the last look: each success must
  // find the device's flash holding the image now, before anything else can
  // touch it (a new flash of it needs a hand-over that is not served yet).
  void CheckNewLines() {
    for (; scanned_ < form->reLog.LineCount(); ++scanned_) {
      const std::string line = form->reLog.Line(scanned_);
      const int serial = SerialOf(line);
      if (serial < kFirstSerial || serial >= kFirstSerial + kDevices) continue;
      const std::string text = TextOf(line);
      if (text == "Начинаем прошивку прибора") ++starts_[serial];
      if (EndsAFlash(text)) ++ends_[serial];
      if (text == "Прошивка завершена успешно") {
        ++successes_[serial];
        EXPECT_TRUE(HoldsImage(serial - kFirstSerial))
            << "success reported for device " << serial << " whose flash does not hold the image";
      }
    }
  }

  // The window with nothing left to do: no worker, no notification, no run,
  // the device timer off.
  bool Quiet() const {
    return TThread::RunningCount() == 0 && pendingChanges == 0 && ReadVersionThread == nullptr &&
           !form->DevTimer.Enabled();
  }
  // One turn of the message loop: the workers' hand-overs, the notifications,
  // and the device timer when it is due and no run is in progress.
  void Turn() {
    CheckSynchronize(1);
    CheckNewLines();
    Deliver();
    if (form->DevTimer.Enabled() && ReadVersionThread == nullptr) headless::AdvanceTime(form->DevTimer.Interval());
  }

  std::vector<std::uint8_t> payload_;
  int lastSector_ = 16;
  std::size_t scanned_ = 0;
  std::map<int, int> starts_, ends_, successes_;
};

TEST_F(PlugDuringFlashesTest, SixteenFlashesWhileDevicesComeAndGoAtRandom) {
  const std::uint32_t seed = Seed();
  std::printf("seed %u (VX_SOAK_SEED=%u repeats this run)\n", seed, seed);
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  payload_ = Payload(seed);
  std::vector<std::uint8_t> image;
  std::string error;
  ASSERT_TRUE(BuildFirmwareImage("VXCR-2.0", "01.02.2024 03:04:05", payload_.data(), payload_.size(), image, error))
      << error;
  appDir.Write("soak.eraw", image);
  // Half on each library.
  for (int i = 0; i < kDevices; ++i) {
    vxsim::TSimDevice d = BootLoader(i % 2 == 0 ? VXSIM_FTDI : VXSIM_VXUSB, std::to_string(kFirstSerial + i).c_str());
    if (i % 2 != 0) d.DeviceCode = 0x0A01;
    ASSERT_EQ(vxsim::AddDevice(d), i);
  }

  /* every device found in the first run and flashed at once */
  TMainForm& f = CreateMainForm(form, {"externfirmware"});
  f.Show();
  f.edFWFile.SetText(appDir.File("soak.eraw"));
  f.btnFwLoad.Click();
  f.cbAutoWrite.SetChecked(true);
  headless::AdvanceTime(f.DevTimer.Interval());
  while (ReadVersionThread != nullptr) Turn();
  ASSERT_EQ(f.FDevices.size(), static_cast<std::size_t>(kDevices));
  for (const auto& e : f.FDevices) ASSERT_NE(e->WriteThread.load(), nullptr) << e->Serial;

  /* devices unplugged and plugged back while the flashes run */
  // The moments are counted in log lines, which the flashes write as they
  // go (about 100 each): spread over the whole of the flashes.
  const std::size_t firstLine = f.reLog.LineCount();
  std::vector<std::size_t> moments(13);
  for (std::size_t& m : moments) m = firstLine + random() % (100 * kDevices);
  std::sort(moments.begin(), moments.end(), std::greater<>());
  std::vector<bool> plugged(kDevices, true), everUnplugged(kDevices, false);
  int unplugs = 0, plugs = 0;
  auto pick = [&](bool wantPlugged) {
    std::vector<int> candidates;
    for (int i = 0; i < kDevices; ++i)
      if (plugged[i] == wantPlugged) candidates.push_back(i);
    return candidates.empty() ? -1 : candidates[random() % candidates.size()];
  };
  const std::uint32_t start = SystemTickCount();
  while (TThread::RunningCount() > 0 && SystemTickCount() - start < 50000) {
    Turn();
    for (; !moments.empty() && f.reLog.LineCount() >= moments.back(); moments.pop_back()) {
      const int back = random() % 5 < 2 ? pick(false) : -1;
      if (back >= 0) {
        if (std::getenv("VX_SOAK_LOG")) std::printf("plug %d back at line %zu\n", back, f.reLog.LineCount());
        ASSERT_EQ(VxSim_Plug(back), 0);
        plugged[back] = true;
        ++plugs;
      } else if (const int gone = pick(true); gone >= 0 && unplugs < 8) {
        if (std::getenv("VX_SOAK_LOG")) std::printf("unplug %d at line %zu\n", gone, f.reLog.LineCount());
        ASSERT_EQ(VxSim_Unplug(gone), 0);
        plugged[gone] = false;
        everUnplugged[gone] = true;
        ++unplugs;
      }
    }
  }

  /* the window served until it is quiet: every flash ended, no worker left */
  while (!Quiet() && SystemTickCount() - start < 50000) Turn();
  CheckNewLines();
  int flashes = 0, succeeded = 0;
  for (const auto& [serial, n] : starts_) flashes += n;
  for (const auto& [serial, n] : successes_) succeeded += n;
  std::printf("%d unplugs, %d plugs back, %d flashes, %d of them succeeded\n", unplugs, plugs, flashes, succeeded);
  ASSERT_TRUE(Quiet()) << TThread::RunningCount() << " workers still running";
  EXPECT_EQ(TThread::RunningCount(), 0);
  for (int i = 0; i < kDevices; ++i) {
    const int serial = kFirstSerial + i;
    SCOPED_TRACE("device " + std::to_string(serial));
    EXPECT_GE(starts_[serial], 1);
    EXPECT_EQ(starts_[serial], ends_[serial]) << "a flash that never ended";
    if (everUnplugged[i]) continue;
    /* never unplugged: flashed once, correctly, and still listed */
    EXPECT_EQ(starts_[serial], 1);
    EXPECT_EQ(successes_[serial], 1);
    ExpectDeviceFlash(i, kProcessor, kLoader, payload_, kFirstSector, lastSector_);
    TDevEntry* entry = FindDevice(f.FDevices, serial);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Panel->lblMessage->Text(), "Обновление прошивки завершено успешно");
    EXPECT_EQ(entry->Panel->ProgressBar->Position(), 100);
  }
  // A device is listed once at most, whatever came and went.
  std::set<int> listed;
  for (const auto& e : f.FDevices) EXPECT_TRUE(listed.insert(e->Serial).second) << "listed twice: " << e->Serial;
  if (HasFailure() || std::getenv("VX_SOAK_LOG"))
    for (const std::string& l : LinesSince(0)) std::printf("log: %s\n", Cp1251ToUtf8(l).c_str());
}

}  // namespace
