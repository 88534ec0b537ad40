#pragma once

// Flashes as the window runs them: a real TWriteThread with FreeOnTerminate
// and an end handler, its lines, progress and image reload served on the
// test's main thread, against the simulated devices on the virtual clock.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FlashCheck.h"
#include "RecordingLog.h"
#include "SimFixture.h"
#include "flashing/WriteThread.h"
#include "platform/MainThread.h"

// A log line as kind and text, the "(% 6d)" stamp at its start shown as "(*)".
using TLine = std::tuple<int, std::string>;

// What the end handler saw of the flash.
struct TFlashRun {
  bool ended = false;
  bool entryCleared = false;  // the entry's WriteThread pointed at the flash until its end
  std::int32_t result = -1;
  std::int32_t lastAnswer = -1;
  std::int32_t elapsed = -1;
  TLinkHealth health;
};

class TFlashOwner : public TWriteThreadOwner {
public:
  // The image handed out: one block of `payload` at the start of the range,
  // with this version text.
  std::vector<std::uint8_t> payload;
  std::string versionText = "VXCR-2.0";
  enum TLoad { ldImage, ldFails, ldRaises } load = ldImage;
  int loads = 0;

  RecordingLog log;
  std::vector<int> progress;
  std::vector<std::int32_t> units;  // 512-byte units done at each step
  std::int32_t totalUnits = 0;
  // Runs on the window thread after each line has been logged.
  std::function<void(const std::string& text)> afterLine;
  // Makes the log throw once on the line with this text (stamp shown as "(*)").
  std::string throwOn;

  TDevEntry* device = nullptr;
  bool offMainThread = false;  // some call came on another thread than the window's
  bool otherDevice = false;    // progress came for another device
  TFlashRun run;

  TOperationLog& FlashLog() override;
  bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) override;
  void SetFlashProgress(TDevEntry& entry, const TFlashProgress& step) override;
  void WriteThreadTerminate(TThread* sender) override;

private:
  class TCheckedLog : public TOperationLog {
  public:
    explicit TCheckedLog(TFlashOwner& owner) : FOwner(owner) {}
    void DeviceLog(TMessageKind kind, int serial, const char* text) override;

  private:
    TFlashOwner& FOwner;
  } checked_{*this};
};

class FlashTest : public SimTest {
protected:
  void SetUp() override;
  void TearDown() override;

  // A device on the bus and its entry as discovery leaves it after
  // identifying it in its boot loader.
  TDevEntry& Device(const vxsim::TSimDevice& d);
  static vxsim::TSimDevice Loader(const std::string& extra = "", std::uint32_t processor = 0x26013F37) {
    vxsim::TSimDevice d = SimTest::Device(VXSIM_FTDI, "12345");
    d.ProcessorId = processor;
    d.Extra = extra;
    return d;
  }
  // Starts the flash of the last device as the window does and serves it
  // until its end handler has run and the thread object is gone.
  // `started` sees the thread once it runs (it is not freed before its end).
  TFlashRun& Flash(const std::function<void(TWriteThread&)>& started = {});

  // Starts over for the next case of a table: no devices, no lines, no
  // progress, a new virtual clock.
  void Fresh() {
    clock_.reset();
    VxSim_Reset();
    clock_ = std::make_unique<vxsim::TSharedClock>(true, 1000);
    owner_.log.lines.clear();
    owner_.progress.clear();
    owner_.units.clear();
    owner_.run = TFlashRun{};
  }

  // Starts over (Fresh) and flashes one 4 KiB sector (sector 10) of
  // pseudo-random bytes into a boot-loader device with these scenario lines.
  TFlashRun& FlashOneSector(const std::string& extra) {
    Fresh();
    owner_.payload = Payload(0x1000);
    Device(Loader(extra));
    return Flash();
  }

  // The log lines of the run; stamps are checked and shown as "(*)".
  std::vector<TLine> Lines() const;
  // The framed requests the updater sent to the device.
  std::vector<TRequest> Requests() const;
  // The codes of those requests, in order.
  std::vector<int> Codes() const;

  // The device's flash against what a flash of `payload` from the start of
  // sector `first` up to sector `last` leaves: the payload in every sector of
  // that span that holds data, each such sector erased and written, every
  // other sector still holding `fill` and never named by an erase or a write
  // request. Sectors in `untouched` refuse the change (protected) and keep
  // `fill` although they were erased and written.
  void ExpectFlash(const std::vector<std::uint8_t>& payload, int first, int last, std::uint8_t fill = 0xFF,
                   const std::set<int>& untouched = {});

  // The device's own sector map, from the simulated device's tables.
  std::vector<TDeviceSector> DeviceSectors() const;

  // A payload of `size` pseudo-random bytes (never a whole 0xFF word run).
  static std::vector<std::uint8_t> Payload(std::size_t size, std::uint32_t seed = 1);

  TFlashOwner owner_;
  std::unique_ptr<TDevEntry> entry_;
  vxsim::TSimDevice sim_;
};

// Expected sequences joined.
template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The range line and the first two lines of sector `first`.
inline std::vector<TLine> Head(int first, int last) {
  const std::string n = std::to_string(first);
  return {{mkInfo, "Прошивается сектора с " + n + " по " + std::to_string(last)},
          {mkInfo, "(*) Перепрошивка сектора " + n + ":"},
          {mkInfo, "(*) Стираем сектор " + n + "..."}};
}

// The part lines from..to of a sector written in `count` blocks.
inline std::vector<TLine> Parts(int from, int to, int count) {
  std::vector<TLine> out;
  for (int k = from; k <= to; ++k)
    out.emplace_back(mkInfo, "(*)\tЧасть " + std::to_string(k) + " из " + std::to_string(count));
  return out;
}

// The lines of one sector that is erased and written whole.
inline std::vector<TLine> SectorLines(int n, int parts) {
  const std::string s = std::to_string(n);
  return std::vector<TLine>{{mkInfo, "(*) Перепрошивка сектора " + s + ":"},
                            {mkInfo, "(*) Стираем сектор " + s + "..."},
                            {mkInfo, "(*) Стирание сектора " + s + ": OK"},
                            {mkInfo, "(*) Запись сектора " + s + ":"}} +
         Parts(0, parts - 1, parts) + std::vector<TLine>{{mkInfo, "(*) Сектор " + s + " записан"}};
}

// The finishing requests as they go on the wire: Param 10, Offset 0.
inline const std::string kWriteDoneRequest("\x0E\x00\x0E\x00\x0B\x00\x0A\x00\x00\x00\x00\x00\x31\x00", 14);
inline const std::string kWriteAbortedRequest("\x0E\x00\x0E\x00\x0C\x00\x0A\x00\x00\x00\x00\x00\x32\x00", 14);
