// The console flasher as a script runs it: a process of its own against the
// simulated devices of a scenario, its exit status, its JSON lines parsed
// and checked, and afterwards every device's flash as the device holds it.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "DeviceDump.h"
#include "FlashCheck.h"
#include "JsonLines.h"
#include "CsvRead.h"
#include "TempDir.h"
#include "platform/CodePage.h"
#include "platform/Ticks.h"

namespace {

namespace fs = std::filesystem;

// Texts of the program are Windows-1251 here; its output is UTF-8.
std::string U(const char* cp1251) { return Cp1251ToUtf8(cp1251); }

#ifdef _WIN32
const char* const kProgram = "vxflash.exe";
const char* const kStaged[] = {kProgram, "ftd2xx.dll", "VXUSB.dll", "vxsim.dll"};
#else
const char* const kProgram = "vxflash";
const char* const kStaged[] = {kProgram, "libftd2xx.so", "libVXUSB.so", "libvxsim.so"};
#endif

class ConsoleFlasherTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The program with the simulated libraries in a folder of its own, so
    // that its logs and the devices' dumps belong to this test alone.
    for (const char* name : kStaged) {
      const fs::path from = fs::path(VX_BIN_DIR) / name, to = fs::path(stage.File(name));
      std::error_code error;
      fs::create_hard_link(from, to, error);
      if (error) fs::copy_file(from, to);
    }
    fs::create_directories(stage.File("dump"));
  }

  TChildResult Run(const std::vector<std::string>& arguments, const std::string& scenario,
                   const TChildInterrupt& interrupt = {}) {
    stage.Write("scenario.txt", scenario);
    TChildResult r = RunChild(stage.File(kProgram), arguments,
                              {{"VXSIM_SCENARIO", stage.File("scenario.txt")}, {"VXSIM_DUMP", stage.File("dump")}},
                              interrupt);
    objects.clear();
    if (std::find(arguments.begin(), arguments.end(), "--json") == arguments.end()) return r;
    objects = JsonLines(r.Out);
    for (const TJson& o : objects) EXPECT_EQ(o.count("!bad"), 0u) << "not a JSON object: " << r.Out;
    return r;
  }

  // The objects of one kind, in order.
  std::vector<TJson> Events(const std::string& kind, long long serial = -1) const {
    std::vector<TJson> found;
    for (const TJson& o : objects)
      if (o.count("event") && o.at("event").Text == kind && (serial < 0 || o.at("serial").Int() == serial))
        found.push_back(o);
    return found;
  }
  TJson Result(long long serial) const {
    const std::vector<TJson> results = Events("result", serial);
    EXPECT_EQ(results.size(), 1u) << "results of " << serial;
    return results.empty() ? TJson{} : results[0];
  }
  static std::vector<long long> Serials(const TJsonValue& list) {
    std::vector<long long> out;
    for (const TJsonValue& v : list.Items) out.push_back(v.Int());
    std::sort(out.begin(), out.end());
    return out;
  }

  TDeviceDump Dump(int device) const { return TDeviceDump(stage.File("dump"), device); }
  std::map<std::string, long long> DeviceState(int device) const { return Dump(device).State(); }
  std::string DeviceFlash(int device) const { return Dump(device).Flash(); }
  void ExpectFlashedWithImage(int device) const { Dump(device).ExpectFlashedWithImage(); }
  void ExpectUntouched(int device) const { Dump(device).ExpectUntouched(); }

  std::string LogFileText() const {
    std::string all;
    for (const auto& entry : fs::directory_iterator(stage.File("Logs"))) {
      if (entry.path().extension() != ".log") continue;  // not the record of flashes
      std::ifstream in(entry.path(), std::ios::binary);
      all += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
  }

  static std::string LoaderDevice(const char* library, const char* serial, const std::string& extra = "") {
    std::string d = std::string("[device]\nlibrary = ") + library + "\nserial = " + serial +
                    "\nprocessor = 0x26013F37\nfirmware_version = VXCR-1.8\nloader_version = VXBL-1.05\n";
    if (std::string(library) == "vxusb") d += "code = 0x0A01\n";
    return d + extra;
  }

  // Two flashes running, then the event: both end aborted, within the few
  // seconds the system allows, with their rows and the summary.
  void StopRunningFlashes(TChildInterrupt::TEvent event) {
    fs::remove_all(stage.File("dump"));
    fs::remove_all(stage.File("Logs"));
    fs::create_directories(stage.File("dump"));
    // Slow answers keep both flashes running for a while.
    const std::string slow = "latency = 4\n";
    std::atomic<std::uint32_t> sentAt{0};
    const TChildResult r = Run({"flash", "--all", "--expect", "2", "--json"},
                               LoaderDevice("ftdi", "1001", slow) + LoaderDevice("vxusb", "2002", slow),
                               {[&](const std::string& line) {
                                  const bool now = line.find("\"progress\"") != std::string::npos &&
                                                   line.find("\"percent\":0,") == std::string::npos;
                                  if (now) sentAt = TickCount();
                                  return now;
                                },
                                false, event});
    // It ended by itself.
    EXPECT_EQ(r.ExitCode, 1) << r.Err;
    EXPECT_LT(TickCount() - sentAt.load(), 4000u);
    for (const long long serial : {1001LL, 2002LL}) {
      ASSERT_EQ(Events("result", serial).size(), 1u) << r.Out;
      const TJson result = Result(serial);
      EXPECT_EQ(result.at("state").Text, "unfinished") << serial;
      EXPECT_EQ(result.at("result").Int(), 10) << serial;
    }
    ASSERT_EQ(Events("summary").size(), 1u) << r.Out;
    EXPECT_EQ(Serials(Events("summary").at(0).at("unfinished")), (std::vector<long long>{1001, 2002}));
    EXPECT_NE(r.Err.find("1001 unfinished"), std::string::npos) << r.Err;
    for (const int device : {0, 1}) {
      const auto state = DeviceState(device);
      EXPECT_EQ(state.at("finish_code"), 12) << "device " << device;  // the finishing request of an aborted flash
      EXPECT_EQ(state.at("open"), 0) << "device " << device;
    }
    // Both rows in the record, with the aborted flash's result.
    std::ifstream in(stage.File("Logs/flashes.csv"), std::ios::binary);
    bool whole = false;
    const auto rows =
        ParseCsv(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), whole);
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
      ASSERT_GT(rows[i].size(), 10u);
      EXPECT_EQ(rows[i][10], "10");
    }
  }

  TempDir stage;
  std::vector<TJson> objects;
};

// The refusals themselves are the argument parser's (ArgumentsTest.cpp).
TEST_F(ConsoleFlasherTest, BadUsageGivesTwoAndTouchesNoDevice) {
  const std::string one = LoaderDevice("ftdi", "1001");
  const TChildResult r = Run({"flash", "--all", "--timeout", "5", "--timeout", "9", "--json"}, one);
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_NE(r.Err.find("vxflash: --timeout may be given only once"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out, "");
  EXPECT_FALSE(fs::exists(stage.File("dump/device0.state")));
  const TChildResult help = Run({"--help"}, one);
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_NE(help.Out.find("vxflash flash [--image FILE]"), std::string::npos);
}

TEST_F(ConsoleFlasherTest, ListShowsEveryDeviceAsIdentified) {
  const TChildResult r = Run({"list", "--json"}, LoaderDevice("ftdi", "1001") +
                                                     "[device]\nlibrary = vxusb\nserial = 2002\ncode = 0x0A01\n"
                                                     "mode = firmware\nfirmware_version = VXCR-1.7\n"
                                                     "leave_delay = 200\nrestart_delay = 300\n");
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  const std::vector<TJson> devices = Events("device");
  ASSERT_EQ(devices.size(), 2u) << r.Out;
  ASSERT_EQ(objects.size(), 2u) << "only the devices on standard output: " << r.Out;
  const TJson loader = Events("device", 1001).at(0);
  EXPECT_EQ(loader.at("library").Text, "ftd2xx");
  EXPECT_EQ(loader.at("mode").Text, "loader");
  EXPECT_EQ(loader.at("firmware_version").Text, "VXCR-1.8");
  EXPECT_EQ(loader.at("loader_version").Text, "VXBL-1.5");
  EXPECT_EQ(loader.at("processor").Text, "0x26013F37");
  const TJson firmware = Events("device", 2002).at(0);
  EXPECT_EQ(firmware.at("library").Text, "VXUSB");
  EXPECT_EQ(firmware.at("mode").Text, "firmware");
  EXPECT_EQ(firmware.at("firmware_version").Text, "VXCR-1.7");
  EXPECT_EQ(firmware.at("loader_version").Kind, TJsonValue::Null);
  // Listing restarts nothing: the device would answer, but is not asked.
  EXPECT_EQ(DeviceState(1).at("boot_loader"), 0);
  EXPECT_EQ(DeviceState(1).at("plugs"), 1);
  // For a person: one row per device, the mode in Russian, readable as UTF-8.
  EXPECT_NE(r.Err.find("1001  ftd2xx  " + U("Загрузчик")), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("2002  VXUSB   " + U("Прошивка")), std::string::npos) << r.Err;
  // The log file has the window's lines, in Windows-1251 like these literals.
  EXPECT_NE(LogFileText().find("	Прибор    1001	Версия прошивки VXCR-1.8"),
            std::string::npos);
}

TEST_F(ConsoleFlasherTest, FlashesTwoDevicesAtOnce) {
  const TChildResult r =
      Run({"flash", "--all", "--expect", "2", "--json"}, LoaderDevice("ftdi", "1001") + LoaderDevice("vxusb", "2002"));
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  for (const long long serial : {1001LL, 2002LL}) {
    const TJson result = Result(serial);
    EXPECT_EQ(result.at("state").Text, "flashed");
    EXPECT_EQ(result.at("result").Int(), 0);
    EXPECT_EQ(result.at("last_answer").Int(), 128);
    EXPECT_GT(result.at("elapsed_ms").Int(), 0);
    EXPECT_EQ(result.at("reason").Text, U("Обновление прошивки завершено успешно"));
    EXPECT_EQ(result.at("retries").Int(), 0);
    EXPECT_EQ(result.at("timeouts").Int(), 0);
    EXPECT_GT(result.at("blocks_written").Int(), 0);
    // Progress climbs to 100, never faster than every 250 ms but for the last.
    const std::vector<TJson> progress = Events("progress", serial);
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 1; i < progress.size(); ++i)
      EXPECT_GE(progress[i].at("percent").Int(), progress[i - 1].at("percent").Int());
    EXPECT_EQ(progress.back().at("percent").Int(), 100);
    EXPECT_LE(progress.size(), static_cast<std::size_t>(result.at("elapsed_ms").Int() / 250 + 3));
  }
  // Both flashes ran at the same time: each started before the other ended.
  const std::string& out = r.Out;
  EXPECT_LT(out.find("\"progress\",\"serial\":2002"), out.find("\"result\",\"serial\":1001"));
  EXPECT_LT(out.find("\"progress\",\"serial\":1001"), out.find("\"result\",\"serial\":2002"));
  const TJson summary = Events("summary").at(0);
  EXPECT_EQ(Serials(summary.at("flashed")), (std::vector<long long>{1001, 2002}));
  EXPECT_EQ(summary.at("exit").Int(), 0);
  ExpectFlashedWithImage(0);
  ExpectFlashedWithImage(1);
  // The window's result line, in the day's log file in Windows-1251.
  const std::string log = LogFileText();
  for (const char* serial : {"   1001", "   2002"})
    EXPECT_NE(log.find(std::string("Прибор ") + serial + "\t("), std::string::npos);
  EXPECT_NE(log.find("Прошивка завершена успешно"),
            std::string::npos);
  // One row per flash in the record, with what the result said.
  std::ifstream in(stage.File("Logs/flashes.csv"), std::ios::binary);
  bool whole = false;
  const auto rows = ParseCsv(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), whole);
  EXPECT_TRUE(whole);
  ASSERT_EQ(rows.size(), 3u);  // the column names and two flashes
  std::vector<std::string> serials;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_GT(rows[i].size(), 16u);
    EXPECT_EQ(rows[i][1], "vxflash");
    serials.push_back(rows[i][2]);
    EXPECT_EQ(rows[i][9], "embedded");
    EXPECT_EQ(rows[i][10], "0");
    EXPECT_EQ(rows[i][15], "0");  // retries
    EXPECT_EQ(rows[i][16], "0");  // time-outs
  }
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::string>{"1001", "2002"}));
}

// A record of flashes that cannot be written (a spreadsheet holds it open
// and lets nobody write; natively, a folder where the file should be) costs
// one error line and nothing of the flash.
TEST_F(ConsoleFlasherTest, ARecordThatCannotBeWrittenCostsALineNotTheFlash) {
  fs::create_directories(stage.File("Logs"));
#ifdef _WIN32
  stage.Write("Logs/flashes.csv", "");
  HANDLE holder = CreateFileA(stage.File("Logs/flashes.csv").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
#else
  fs::create_directories(stage.File("Logs/flashes.csv"));
#endif
  const TChildResult r = Run({"flash", "--all", "--json"}, LoaderDevice("ftdi", "1001"));
#ifdef _WIN32
  CloseHandle(holder);
#endif
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Result(1001).at("state").Text, "flashed");
  ExpectFlashedWithImage(0);
  EXPECT_NE(r.Err.find(U("Не удалось записать результат прошивки в файл")), std::string::npos) << r.Err;
  EXPECT_NE(LogFileText().find("Не удалось записать результат прошивки в файл"), std::string::npos);
}

TEST_F(ConsoleFlasherTest, RefusedImageOrLockedDeviceSayWhy) {
  /* an image that is not one: 2, with the image's own error text */
  stage.Write("broken.eraw", std::string(40, 'x'));
  TChildResult r = Run({"flash", "--all", "--image", stage.File("broken.eraw"), "--json"}, LoaderDevice("ftdi", "1001"));
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_NE(r.Err.find(U("Ошибка загрузки прошивки")), std::string::npos) << r.Err;
  EXPECT_TRUE(Events("result").empty());
  EXPECT_FALSE(fs::exists(stage.File("dump/device0.flash")));

  /* a file that is not there */
  r = Run({"flash", "--all", "--image", stage.File("missing.eraw")}, LoaderDevice("ftdi", "1001"));
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_NE(r.Err.find(U("не найден")), std::string::npos) << r.Err;

  /* a locked device: 1, with its reason in words; the other one is flashed */
  fs::remove_all(stage.File("dump"));
  fs::create_directories(stage.File("dump"));
  r = Run({"flash", "--serial", "1001", "--serial", "2002", "--json"},
          LoaderDevice("ftdi", "1001", "locked = yes\n") + LoaderDevice("vxusb", "2002"));
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  const TJson locked = Result(1001);
  EXPECT_EQ(locked.at("state").Text, "failed");
  EXPECT_EQ(locked.at("reason").Text, U("Прибор заблокирован"));
  EXPECT_EQ(locked.at("last_answer").Int(), 138);
  EXPECT_NE(locked.at("result").Int(), 0);
  EXPECT_EQ(Result(2002).at("state").Text, "flashed");
  EXPECT_NE(r.Err.find("1001 failed: " + U("Прибор заблокирован")), std::string::npos) << r.Err;
  EXPECT_EQ(Serials(Events("summary").at(0).at("failed")), (std::vector<long long>{1001}));
  EXPECT_EQ(DeviceState(0).at("finish_code"), 12);
  ExpectFlashedWithImage(1);
}

TEST_F(ConsoleFlasherTest, ExpectWaitsForLateDevicesOrGivesThree) {
  /* the second device comes 1.5 s later: both are flashed */
  TChildResult r = Run({"flash", "--all", "--expect", "2", "--timeout", "30", "--json"},
                       LoaderDevice("ftdi", "1001") + LoaderDevice("vxusb", "2002", "plug_at = 1500\n"));
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Result(1001).at("state").Text, "flashed");
  EXPECT_EQ(Result(2002).at("state").Text, "flashed");
  // Nothing began before the late one was there.
  EXPECT_LT(r.Out.find("\"device\",\"serial\":2002"), r.Out.find("\"progress\""));
  ExpectFlashedWithImage(0);
  ExpectFlashedWithImage(1);

  /* one that never comes: 3 once the time-out has passed, nothing flashed */
  fs::remove_all(stage.File("dump"));
  fs::create_directories(stage.File("dump"));
  r = Run({"flash", "--serial", "1001", "--serial", "3003", "--timeout", "1", "--json"},
          LoaderDevice("ftdi", "1001"));
  EXPECT_EQ(r.ExitCode, 3) << r.Err;
  // The one that came waited in vain: unfinished, the other missing.
  EXPECT_EQ(Events("result").size(), 1u) << r.Out;
  EXPECT_EQ(Result(1001).at("state").Text, "unfinished");
  EXPECT_EQ(Serials(Events("summary").at(0).at("unfinished")), (std::vector<long long>{1001}));
  EXPECT_EQ(Serials(Events("summary").at(0).at("missing")), (std::vector<long long>{3003}));
  EXPECT_NE(r.Err.find("only 1 of 2 expected devices"), std::string::npos) << r.Err;
  ExpectUntouched(0);
}

TEST_F(ConsoleFlasherTest, SkipsTheImagesVersionAndRestartsFirmwareDevices) {
  // The restarting device stays on the bus 200 ms after its answer: a device
  // gone before its answer was read has not answered, and a loaded machine
  // (ThreadSanitizer, tests side by side) took longer than 10 ms to read it.
  const TChildResult r =
      Run({"flash", "--all", "--expect", "3", "--skip-same", "--json"},
          LoaderDevice("ftdi", "1001", "firmware_version = VXCR-1.9\n") + LoaderDevice("ftdi", "1002") +
              // Identified before 4242, whose restart must not fall inside the first run.
              "[device]\nlibrary = vxusb\nserial = 4343\ncode = 0x0A02\nmode = firmware\nfirmware_version = VXCR-1.9\n"
              "[device]\nlibrary = vxusb\nserial = 4242\ncode = 0x0A01\nmode = firmware\nfirmware_version = VXCR-1.7\n"
              "processor = 0x26013F37\nloader_version = VXBL-1.05\nleave_delay = 200\nrestart_delay = 300\n");
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  // Running the image's version already: left running, never asked to restart.
  EXPECT_EQ(Result(4343).at("state").Text, "skipped");
  EXPECT_EQ(DeviceState(2).at("boot_loader"), 0);
  EXPECT_EQ(DeviceState(2).at("plugs"), 1);
  const TJson skipped = Result(1001);
  EXPECT_EQ(skipped.at("state").Text, "skipped");
  EXPECT_EQ(skipped.at("result").Kind, TJsonValue::Null);
  ExpectUntouched(0);
  EXPECT_EQ(Result(1002).at("state").Text, "flashed");
  ExpectFlashedWithImage(1);
  // Found in its firmware, back in its boot loader, then flashed.
  const std::vector<TJson> seen = Events("device", 4242);
  ASSERT_EQ(seen.size(), 2u) << r.Out;
  EXPECT_EQ(seen[0].at("mode").Text, "firmware");
  EXPECT_EQ(seen[1].at("mode").Text, "loader");
  EXPECT_EQ(Result(4242).at("state").Text, "flashed");
  EXPECT_EQ(DeviceState(3).at("plugs"), 2);
  ExpectFlashedWithImage(3);
  const TJson summary = Events("summary").at(0);
  EXPECT_EQ(Serials(summary.at("skipped")), (std::vector<long long>{1001, 4343}));
  EXPECT_EQ(Serials(summary.at("flashed")), (std::vector<long long>{1002, 4242}));
}

// Ctrl+C, and a closed console window (a terminal elsewhere) or the end of
// the session the same way: then the system gives the program a few seconds
// once it is told.
TEST_F(ConsoleFlasherTest, InterruptClosedConsoleOrLogoffEndsRunningFlashesAsAborted) {
  for (const TChildInterrupt::TEvent event :
       {TChildInterrupt::CtrlC, TChildInterrupt::Close, TChildInterrupt::Logoff}) {
    SCOPED_TRACE(event == TChildInterrupt::CtrlC ? "Ctrl+C" : event == TChildInterrupt::Close ? "closed console" : "logoff");
    StopRunningFlashes(event);
  }
}

TEST_F(ConsoleFlasherTest, AnInterruptBeforeTheFlashesLeavesEverySeenDeviceUnfinished) {
  /* while --expect still waits for the second device: 1, not 3 */
  TChildResult r = Run({"flash", "--serial", "1001", "--serial", "3003", "--timeout", "50", "--json"},
                       LoaderDevice("ftdi", "1001"),
                       {[](const std::string& line) { return line.find("\"device\"") != std::string::npos; }});
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_EQ(Result(1001).at("state").Text, "unfinished");
  TJson summary = Events("summary").at(0);
  EXPECT_EQ(Serials(summary.at("unfinished")), (std::vector<long long>{1001}));
  EXPECT_EQ(Serials(summary.at("missing")), (std::vector<long long>{3003}));
  ExpectUntouched(0);

  /* a device the run in progress at the interrupt lists afterwards (its D2XX
     listing takes a while to settle) */
  fs::remove_all(stage.File("dump"));
  fs::create_directories(stage.File("dump"));
  r = Run({"flash", "--all", "--json"}, LoaderDevice("ftdi", "1001", "empty_description = 25\n"),
          {[](const std::string& line) { return line.rfind("image ", 0) == 0; }, true});
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_EQ(Events("device", 1001).size(), 1u) << r.Out;
  EXPECT_EQ(Result(1001).at("state").Text, "unfinished");
  summary = Events("summary").at(0);
  EXPECT_EQ(Serials(summary.at("unfinished")), (std::vector<long long>{1001}));
  ExpectUntouched(0);
}

// Each device that cannot be identified is named with its reason and counted
// failed; the others are listed and flashed as if it were not there.
TEST_F(ConsoleFlasherTest, ADeviceThatCannotBeIdentifiedHidesNoOther) {
  const std::string devices = LoaderDevice("ftdi", "1001") + LoaderDevice("vxusb", "2002", "refuse_open = 100\n") +
                              "[device]\nlibrary = ftdi\nserial = 3003\nmode = firmware\n"
                              "fault = short_answer code=0 value=7 times=100\n";
  /* list */
  TChildResult r = Run({"list", "--json"}, devices);
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_EQ(Events("device").size(), 1u) << r.Out;
  EXPECT_EQ(Events("device", 1001).size(), 1u) << r.Out;
  const std::vector<TJson> closed = Events("unidentified", 2002), silent = Events("unidentified", 3003);
  ASSERT_EQ(closed.size(), 1u) << r.Out;
  ASSERT_EQ(silent.size(), 1u) << r.Out;
  EXPECT_EQ(closed[0].at("library").Text, "VXUSB");
  EXPECT_EQ(closed[0].at("result").Int(), 7);
  EXPECT_EQ(closed[0].at("reason").Text, "not identified: it could not be opened");
  EXPECT_EQ(silent[0].at("result").Int(), 8);
  EXPECT_EQ(silent[0].at("reason").Text, "not identified: it answered neither version query");
  EXPECT_NE(r.Err.find("2002  VXUSB   not identified: it could not be opened"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("2 device(s) could not be identified"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find("no device found"), std::string::npos) << r.Err;
  EXPECT_NE(LogFileText().find("Прибор    3003\tПрибор не опознан: ошибка 8"), std::string::npos);

  /* flash */
  fs::remove_all(stage.File("dump"));
  fs::create_directories(stage.File("dump"));
  r = Run({"flash", "--all", "--json"}, devices);
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_EQ(Result(1001).at("state").Text, "flashed");
  ExpectFlashedWithImage(0);
  const TJson failed = Result(2002);
  EXPECT_EQ(failed.at("state").Text, "failed");
  EXPECT_EQ(failed.at("result").Int(), 7);
  EXPECT_EQ(failed.at("reason").Text, "not identified: it could not be opened");
  EXPECT_EQ(Result(3003).at("state").Text, "failed");
  const TJson summary = Events("summary").at(0);
  EXPECT_EQ(Serials(summary.at("flashed")), (std::vector<long long>{1001}));
  EXPECT_EQ(Serials(summary.at("failed")), (std::vector<long long>{2002, 3003}));
  EXPECT_NE(r.Err.find("3003 failed: not identified"), std::string::npos) << r.Err;
}

}  // namespace
