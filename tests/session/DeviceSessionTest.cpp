// The device session against simulated devices: runs and flashes started
// through it, what it reports to its front end, the record of flashes and
// the devices it takes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "CsvRead.h"
#include "FlashCheck.h"
#include "SimFixture.h"
#include "TempDir.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"
#include "platform/Ticks.h"
#include "session/DeviceSession.h"
#include "session/LogFile.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

constexpr std::uint32_t kProcessor = 0x26013F37;
constexpr char kLoader[] = "VXBL-1.05";
constexpr int kFirstSector = 10, kLastSector = 12;

// Another program holding a file: on Windows open without sharing (as a
// spreadsheet does), elsewhere under an exclusive lock.
class THeldFile {
public:
  explicit THeldFile(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
#ifdef _WIN32
    FHandle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    EXPECT_NE(FHandle, INVALID_HANDLE_VALUE);
#else
    FFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    EXPECT_GE(FFd, 0);
    EXPECT_EQ(flock(FFd, LOCK_EX), 0);
#endif
  }
  ~THeldFile() { Release(); }
  void Release() {
#ifdef _WIN32
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
    FHandle = INVALID_HANDLE_VALUE;
#else
    if (FFd >= 0) close(FFd);
    FFd = -1;
#endif
  }

private:
#ifdef _WIN32
  HANDLE FHandle = INVALID_HANDLE_VALUE;
#else
  int FFd = -1;
#endif
};

// A front end that records what the session tells it.
class TFront : public TSessionEvents, public TOperationLog {
public:
  std::vector<std::string> lines;
  std::vector<std::string> events;
  std::vector<int> endedResults;
  std::vector<std::string> endedSerials;
  std::vector<std::uint8_t> payload;
  std::function<void(TDevEntry&, const TFlashProgress&)> onProgress;
  bool restart = true;
  int runsEnded = 0, failedRuns = 0;

  void DeviceLog(TMessageKind kind, int serial, const char* text) override {
    lines.push_back(DeviceLinePrefix(serial) + text + (kind == mkError ? " [red]" : ""));
  }
  bool RestartIntoBootLoader(const TDevEntry&) override { return restart; }
  void DeviceListed(TDevEntry& e) override { events.push_back("listed " + Name(e)); }
  void DeviceGone(TDevEntry& e) override { events.push_back("gone " + Name(e)); }
  void DiscoveryEnded(bool ok) override {
    ++runsEnded;
    if (!ok) ++failedRuns;
  }
  void FlashStarted(TDevEntry& e) override { events.push_back("started " + Name(e)); }
  void FlashProgress(TDevEntry& e, const TFlashProgress& p) override {
    if (onProgress) onProgress(e, p);
  }
  void FlashEnded(TDevEntry& e, const TFlashOutcome& o) override {
    events.push_back("ended " + Name(e) + " " + std::to_string(o.Result));
    endedResults.push_back(o.Result);
    endedSerials.push_back(std::to_string(e.Serial));
  }
  bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) override {
    blocks.clear();
    blocks.push_back(std::make_unique<TFirmwareBlock>(-1, payload.data(), static_cast<std::uint32_t>(payload.size())));
    return version.Parse("VXCR-1.9");
  }
  std::string LoadedImageFile() const override { return {}; }

  static std::string Name(const TDevEntry& e) {
    return (e.Backend == lbFtdi ? "ftdi " : "vxusb ") + std::to_string(e.Serial);
  }
};

class DeviceSessionTest : public SimTest {
protected:
  void SetUp() override {
    SimTest::SetUp();
    SetMainThread();
    front.payload = PseudoRandomPayload(0xD000 - 0xA000, 7);
    session = std::make_unique<TDeviceSession>(front, front, "test");
    session->SetAppDir(dir.Dir());
  }
  void TearDown() override {
    session.reset();
    EXPECT_EQ(TThread::RunningCount(), 0);
    SimTest::TearDown();
  }

  int Add(int library, const char* serial, bool bootLoader = true) {
    vxsim::TSimDevice d = Device(library, serial);
    d.BootLoader = bootLoader;
    d.LoaderVersion = kLoader;
    d.FrameGap = 3600000;  // see the window tests: the virtual clock races ahead of a busy thread
    return vxsim::AddDevice(d);
  }
  // Serves the workers until `done` holds (or a minute of the real clock).
  bool ServeUntil(const std::function<bool()>& done) {
    const std::uint32_t start = SystemTickCount();
    while (!done()) {
      if (SystemTickCount() - start > 60000) return false;
      const std::uint32_t turn = SystemTickCount();
      (void)CheckSynchronize(5);
      longestTurnMs = std::max(longestTurnMs, SystemTickCount() - turn);
    }
    return true;
  }
  bool Discover() {
    const int before = front.runsEnded;
    // Until the thread is gone too: its end handler runs before it ends.
    return session->StartDiscovery() &&
           ServeUntil([&] { return front.runsEnded > before && TThread::RunningCount() == 0; });
  }
  bool Idle() { return !session->DiscoveryRunning() && !session->Flashing() && TThread::RunningCount() == 0; }
  void ExpectFlashed(int device) {
    ExpectDeviceFlash(device, kProcessor, kLoader, front.payload, kFirstSector, kLastSector);
  }
  std::vector<std::vector<std::string>> RecordRows() const {
    std::ifstream in(FlashRecordPath(dir.Dir()), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool whole = false;
    auto rows = ParseCsv(text, whole);
    EXPECT_TRUE(whole);
    if (!rows.empty()) rows.erase(rows.begin());  // the header
    return rows;
  }
  bool Has(const std::string& line) const {
    return std::find(front.lines.begin(), front.lines.end(), line) != front.lines.end();
  }

  TempDir dir;
  TFront front;
  std::unique_ptr<TDeviceSession> session;
  std::uint32_t longestTurnMs = 0;
};

TEST_F(DeviceSessionTest, OneSerialOnBothLibrariesIsTwoDevicesAndOneLeavingMidFlashTakesOnlyItself) {
  const int ftdi = Add(VXSIM_FTDI, "777");
  const int vxusb = Add(VXSIM_VXUSB, "777");
  ASSERT_TRUE(Discover());
  ASSERT_EQ(session->Devices().size(), 2u);
  TDevEntry* kept = session->Devices()[1].get();
  ASSERT_EQ(kept->Backend, lbVxUsb);

  /* the FTDI one is unplugged at its flash's first step, and a run follows */
  bool unplugged = false;
  front.onProgress = [&](TDevEntry& e, const TFlashProgress&) {
    if (unplugged || e.Backend != lbFtdi) return;
    unplugged = true;
    ASSERT_EQ(VxSim_Unplug(ftdi), 0);
    EXPECT_TRUE(session->StartDiscovery());
  };
  for (const auto& e : session->Devices()) ASSERT_TRUE(session->StartFlash(*e));
  ASSERT_TRUE(ServeUntil([&] { return front.endedResults.size() == 2 && Idle(); }));
  ASSERT_TRUE(unplugged);

  /* the other device finished, is still listed, and holds the image */
  ASSERT_EQ(session->Devices().size(), 1u);
  EXPECT_EQ(session->Devices()[0].get(), kept);
  EXPECT_EQ(kept->WriteThread.load(), nullptr);
  EXPECT_FALSE(kept->Vanished.load());
  EXPECT_NE(std::find(front.events.begin(), front.events.end(), "ended vxusb 777 0"), front.events.end());
  EXPECT_NE(std::find(front.events.begin(), front.events.end(), "gone ftdi 777"), front.events.end());
  ExpectFlashed(vxusb);
  EXPECT_EQ(vxsim::State(vxusb).FinishCode, cmWriteDone);
}

TEST_F(DeviceSessionTest, ANodeOpenInAnotherProgramStopsNoFlashAndCostsARunNothing) {
  const int first = Add(VXSIM_FTDI, "901");
  const int second = Add(VXSIM_FTDI, "902");
  ASSERT_TRUE(Discover());
  ASSERT_EQ(session->Devices().size(), 2u);

  /* a terminal opens an adapter while both flash; a run follows */
  vxsim::TSimDevice held = Device(VXSIM_FTDI, "");
  held.Extra = "open_elsewhere = 1";
  int heldIndex = -1;
  front.onProgress = [&](TDevEntry&, const TFlashProgress&) {
    if (heldIndex >= 0) return;
    heldIndex = vxsim::AddDevice(held);
    EXPECT_TRUE(session->StartDiscovery());
  };
  front.events.clear();
  for (const auto& e : session->Devices()) ASSERT_TRUE(session->StartFlash(*e));
  ASSERT_TRUE(ServeUntil([&] { return front.endedResults.size() == 2 && Idle(); }));
  EXPECT_EQ(front.endedResults, (std::vector<int>{0, 0}));
  EXPECT_EQ(std::count_if(front.events.begin(), front.events.end(),
                          [](const std::string& e) { return e.rfind("gone", 0) == 0; }),
            0);
  ExpectFlashed(first);
  ExpectFlashed(second);

  /* the node stays: a run costs what one without it costs */
  std::uint32_t start = TickCount();
  ASSERT_TRUE(Discover());
  const std::uint32_t withNode = TickCount() - start;
  ASSERT_EQ(VxSim_Unplug(heldIndex), 0);
  start = TickCount();
  ASSERT_TRUE(Discover());
  const std::uint32_t without = TickCount() - start;
  EXPECT_LE(withNode, without + 50) << "with the node " << withNode << " ms, without " << without << " ms";
  EXPECT_EQ(session->Devices().size(), 2u);
}

TEST_F(DeviceSessionTest, RowsWaitForAHeldRecordWhileNoFlashWaitsAndAllLandInOrder) {
  constexpr int kDevices = 16;
  std::vector<int> devices;
  for (int i = 0; i < kDevices; ++i) devices.push_back(Add(i % 2 == 0 ? VXSIM_FTDI : VXSIM_VXUSB,
                                                           std::to_string(3001 + i).c_str()));
  ASSERT_TRUE(Discover());
  ASSERT_EQ(session->Devices().size(), static_cast<std::size_t>(kDevices));

  THeldFile held(FlashRecordPath(dir.Dir()));
  const std::uint32_t heldAt = SystemTickCount();
  for (const auto& e : session->Devices()) ASSERT_TRUE(session->StartFlash(*e));
  ASSERT_TRUE(ServeUntil([&] { return static_cast<int>(front.endedResults.size()) == kDevices && Idle(); }));
  const std::uint32_t endedAfter = SystemTickCount() - heldAt;

  /* every flash ended while the file was held, no end handler waited for it */
  EXPECT_LT(endedAfter, 10000u);
  EXPECT_LT(longestTurnMs, 250u) << "the window thread waited for the record";
  std::printf("16 flashes ended %u ms after the record was taken; longest turn of the window thread %u ms\n",
              endedAfter, longestTurnMs);
  EXPECT_EQ(std::count(front.endedResults.begin(), front.endedResults.end(), 0), kDevices);
  for (int d : devices) ExpectFlashed(d);
  EXPECT_GT(session->Records().Pending(), 0u);

  /* the file is let go after ten seconds: every row lands, in the order the flashes ended */
  while (SystemTickCount() - heldAt < 10000) (void)CheckSynchronize(20);
  held.Release();
  ASSERT_TRUE(ServeUntil([&] { return session->Records().Pending() == 0; }));
  const auto rows = RecordRows();
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(kDevices));
  std::vector<std::string> recorded;
  for (const auto& r : rows) recorded.push_back(r.size() > 2 ? r[2] : "");
  EXPECT_EQ(recorded, front.endedSerials);
  /* one line said the file was held */
  EXPECT_EQ(std::count_if(front.lines.begin(), front.lines.end(),
                          [](const std::string& l) { return l.find("Не удалось записать результат") != std::string::npos; }),
            1);
}

TEST_F(DeviceSessionTest, AFailedRunChangesNothingAndAnUnwritableRecordIsNamedAtTheEnd) {
  const int first = Add(VXSIM_FTDI, "41");
  ASSERT_TRUE(Discover());
  ASSERT_EQ(session->Devices().size(), 1u);

  /* a run in which a new device cannot be opened fails: nobody listed, nobody taken out */
  vxsim::TSimDevice refusing = Device(VXSIM_VXUSB, "42");
  refusing.Extra = "refuse_open = 10\n";
  const int second = vxsim::AddDevice(refusing);
  ASSERT_EQ(VxSim_Unplug(first), 0);
  front.events.clear();
  ASSERT_TRUE(Discover());
  EXPECT_EQ(front.failedRuns, 1);
  EXPECT_TRUE(front.events.empty());
  ASSERT_EQ(session->Devices().size(), 1u);
  EXPECT_TRUE(session->Devices()[0]->Vanished.load());

  /* back again, the refusing one gone: the old entry goes, the run after lists it anew */
  ASSERT_EQ(VxSim_Unplug(second), 0);
  ASSERT_EQ(VxSim_Plug(first), 0);
  ASSERT_TRUE(Discover());
  ASSERT_TRUE(Discover());
  EXPECT_EQ(front.events, (std::vector<std::string>{"gone ftdi 41", "listed ftdi 41"}));
  ASSERT_EQ(session->Devices().size(), 1u);

  /* the record cannot be written at all: one line on the first try, the row named at the end */
  std::filesystem::create_directories(FlashRecordPath(dir.Dir()));  // a folder where the file belongs
  ASSERT_TRUE(session->StartFlash(*session->Devices()[0]));
  ASSERT_TRUE(ServeUntil([&] { return Idle(); }));
  session->Close();
  EXPECT_TRUE(Has("Прибор      41\tНе удалось записать результат прошивки в файл " + FlashRecordPath(dir.Dir()) +
                  " [red]"));
  EXPECT_TRUE(Has("Прибор -------\tНе записаны в файл " + FlashRecordPath(dir.Dir()) +
                  " результаты прошивки (1): приборы 41 [red]"));
  EXPECT_EQ(front.endedResults, std::vector<int>{0});
  ExpectFlashed(first);
}

TEST_F(DeviceSessionTest, AThreadThatCannotStartLeavesEverythingAsBefore) {
  Add(VXSIM_FTDI, "51");

  /* no discovery thread: a red line, no run in progress, the next call starts one */
  TThread::FailNextStarts(1);
  EXPECT_FALSE(session->StartDiscovery());
  EXPECT_FALSE(session->DiscoveryRunning());
  EXPECT_EQ(TThread::RunningCount(), 0);
  EXPECT_EQ(front.lines.back(), "Прибор -------\tНе удалось запустить поиск устройств [red]");
  ASSERT_TRUE(Discover());
  ASSERT_EQ(session->Devices().size(), 1u);
  TDevEntry& e = *session->Devices()[0];

  /* no flashing thread: a red line, the entry without a thread, nothing started */
  TThread::FailNextStarts(1);
  EXPECT_FALSE(session->StartFlash(e));
  EXPECT_EQ(e.WriteThread.load(), nullptr);
  EXPECT_EQ(TThread::RunningCount(), 0);
  EXPECT_EQ(front.lines.back(), "Прибор      51\tНе удалось запустить прошивку прибора [red]");
  EXPECT_EQ(std::count(front.events.begin(), front.events.end(), "started ftdi 51"), 0);

  /* then it flashes, and closing does not wait for a thread that never was */
  ASSERT_TRUE(session->StartFlash(e));
  ASSERT_TRUE(ServeUntil([&] { return Idle(); }));
  EXPECT_EQ(front.endedResults, std::vector<int>{0});
  session->Close();
}

TEST_F(DeviceSessionTest, AFirmwareDeviceIsAskedToRestartOnlyWhenTheFrontEndSaysSo) {
  const int device = Add(VXSIM_VXUSB, "61", false);
  front.restart = false;
  ASSERT_TRUE(Discover());
  ASSERT_EQ(session->Devices().size(), 1u);
  EXPECT_FALSE(session->Devices()[0]->RestartRequested);
  EXPECT_EQ(vxsim::State(device).BootLoader, 0);
  std::string sent;
  for (const vxsim::TSimCall& c : vxsim::Transcript())
    if (c.Function() == "RQ_Write") sent.append(c.Data.begin(), c.Data.end());
  EXPECT_NE(sent.find("FL_READ_VERSION$"), std::string::npos);
  EXPECT_EQ(sent.find("START_BOOT_LOADER"), std::string::npos);
}

TEST_F(DeviceSessionTest, VersionTextsWithLineEndsAndEscapesArriveAsOneEscapedLineEach) {
  vxsim::TSimDevice d = Device(VXSIM_FTDI, "81");
  d.FirmwareVersion = "VXCR-1.8 a\\r\\n\\x1B[31mb";
  d.LoaderVersion = "VXBL-1.05 x\\x1B[0my";
  d.FrameGap = 3600000;
  vxsim::AddDevice(d);
  ASSERT_TRUE(Discover());
  ASSERT_EQ(session->Devices().size(), 1u);
  const auto from = std::find(front.lines.begin(), front.lines.end(), "Прибор      81\tПрибор подключен");
  ASSERT_LT(static_cast<std::size_t>(from - front.lines.begin()) + 2, front.lines.size());
  EXPECT_EQ(from[1], "Прибор      81\tВерсия прошивки VXCR-1.8a\\x0D\\x0A\\x1B[31mb");
  EXPECT_EQ(from[2], "Прибор -------\tВерсия загрузчика VXBL-1.5x\\x1B[0my");
}

}  // namespace
