#pragma once

// Discovery runs as the window starts them: a real TReadVersion thread with
// FreeOnTerminate and an end handler, its log lines served on the test's main
// thread, against the simulated devices on the virtual clock.

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <string>
#include <vector>

#include "RecordingLog.h"
#include "SimFixture.h"
#include "discovery/ReadVersion.h"
#include "platform/MainThread.h"
#include "platform/Ticks.h"
#include "records/Exception.h"

// The log of the test's front end. Every line must arrive while nobody holds
// DeviceListLock, since the window thread may be waiting for it.
class TTestLog : public RecordingLog {
public:
  bool lockHeldAtLine = false;
  // The line that makes the log throw once: an Exception with this message,
  // or an exception of no known type when the message is empty.
  std::string throwOn;
  std::string throwMessage;

  void DeviceLog(TMessageKind kind, int serial, const char* text) override {
    if (DeviceListLock.TryEnter())
      DeviceListLock.Leave();
    else
      lockHeldAtLine = true;
    RecordingLog::DeviceLog(kind, serial, text);
    if (throwOn.empty() || throwOn != text) return;
    throwOn.clear();
    if (throwMessage.empty()) throw 42;
    throw Exception(throwMessage);
  }
};

// What the end handler saw of the run.
struct TRunResult {
  bool ended = false;
  bool markCleared = false;   // ReadVersionThread pointed at the run until its end
  std::int32_t result = -1;
  std::int32_t lastAnswer = -1;
  std::int32_t elapsed = -1;
  TDeviceList taken;          // the new entries, when the owner takes them
  std::size_t left = 0;       // entries left to the thread
  // The devices that failed alone: serial, result, last answer.
  std::vector<std::tuple<int, int, int>> unidentified;
  int panelsDeletedAtEnd = -1;
};

// A log line as kind, serial and text.
using TLine = std::tuple<int, int, std::string>;

class TTestOwner : public TDiscoveryOwner {
public:
  TDeviceList known;
  TTestLog log;
  bool takeEntries = true;
  bool failAlone = false;
  std::string knownThrows;        // KnownDevices throws an Exception with this message
  bool knownReadUnlocked = false;
  TRunResult run;

  TDeviceList& KnownDevices() override {
    if (DeviceListLock.TryEnter()) {
      DeviceListLock.Leave();
      knownReadUnlocked = true;
    }
    if (!knownThrows.empty()) throw Exception(knownThrows);
    return known;
  }
  TOperationLog& DiscoveryLog() override { return log; }
  [[nodiscard]] bool DevicesFailAlone() const override { return failAlone; }
  void ReadVersionTerminate(TThread* sender) override;

  // Entries left to the thread get this panel, so that their destruction shows.
  static int panelsDeleted;
};

class DiscoveryTest : public SimTest {
protected:
  void SetUp() override;
  void TearDown() override;

  // Starts a run as the window does and serves it until it has ended and the
  // thread object is gone.
  TRunResult& RunDiscovery();

  // A device on the bus; its index in the simulator.
  static int Add(const vxsim::TSimDevice& d) { return vxsim::AddDevice(d); }
  static vxsim::TSimDevice Ftdi(const char* serial, const std::string& extra = "") {
    vxsim::TSimDevice d = Device(VXSIM_FTDI, serial);
    d.Extra = extra;
    return d;
  }
  static vxsim::TSimDevice VxUsb(const char* serial, std::uint16_t code = 0x0101) {
    vxsim::TSimDevice d = Device(VXSIM_VXUSB, serial);
    d.DeviceCode = code;
    return d;
  }
  static vxsim::TSimDevice Firmware(vxsim::TSimDevice d, const std::string& extra = "") {
    d.BootLoader = false;
    d.Extra = extra;
    return d;
  }
  void Known(const char* serial, TLinkBackend backend) {
    owner_.known.push_back(std::make_unique<TDevEntry>(serial, backend == lbFtdi ? kFtdiDeviceCode : 0x0101, backend));
  }

  // What the updater wrote to one device, one text per driver write.
  static std::vector<std::string> Sent(int device);
  // The driver calls that reached one device, by entry point name.
  static std::vector<vxsim::TSimCall> CallsTo(int device, const std::string& function);
  std::vector<TLine> Lines() const {
    std::vector<TLine> out;
    for (const auto& l : owner_.log.lines) out.emplace_back(l.kind, l.serial, l.text);
    return out;
  }
  // Starts over: no devices, no known entries, no lines, a new virtual clock.
  void Fresh() {
    clock_.reset();
    VxSim_Reset();
    clock_ = std::make_unique<vxsim::TSharedClock>(true, 1000);
    hFtdiLib = ftdi_;
    hVxUsbLib = vxusb_;
    owner_.run = TRunResult{};
    owner_.known.clear();
    owner_.log.lines.clear();
  }

  TTestOwner owner_;
  TModuleHandle ftdi_ = nullptr, vxusb_ = nullptr;
};

// The fixed requests as they go on the wire.
inline const std::string kFirmwareVersionRequest("\x0E\x00\x0E\x00\x04\x00\x0A\x00\x00\x00\x00\x00\x2A\x00", 14);
inline const std::string kLoaderVersionRequest("\x0E\x00\x0E\x00\x05\x00\x0A\x00\x00\x00\x00\x00\x2B\x00", 14);
inline const std::string kProcessorIdRequest("\x0E\x00\x0E\x00\x0A\x00\x0A\x00\x00\x00\x00\x00\x30\x00", 14);
inline const std::string kTextVersionRequest = "FL_READ_VERSION$";
inline const std::string kStartRequest = "START_BOOT_LOADER";
