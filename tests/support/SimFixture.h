#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "link/DeviceLink.h"
#include "link/DriverLibraries.h"
#include "link/Packets.h"
#include "sim/SimControl.h"

// Every test starts from an empty simulator on a virtual clock shared with the
// link, with both simulated libraries loaded (once per process, as the window
// does).
class SimTest : public ::testing::Test {
protected:
  void SetUp() override {
    static const TModuleHandle ftdi = LoadFtdiLibrary();
    static const TModuleHandle vxusb = LoadVxUsbLibrary();
    ASSERT_NE(ftdi, nullptr) << "simulated " << kFtdiLibraryName << " not found next to the test";
    ASSERT_NE(vxusb, nullptr) << "simulated " << kVxUsbLibraryName << " not found next to the test";
    hFtdiLib = ftdi;
    hVxUsbLib = vxusb;
    VxSim_Reset();
    clock_ = std::make_unique<vxsim::TSharedClock>(true, 1000);
  }
  void TearDown() override {
    if (HasFailure()) VxSim_SaveTranscript("failed-test-transcript.txt");
    clock_.reset();
  }

  // A device on the bus and an entry for it, as discovery would make them.
  std::unique_ptr<TDevEntry> Entry(const vxsim::TSimDevice& d) {
    device_ = vxsim::AddDevice(d);
    return std::make_unique<TDevEntry>(d.Serial.c_str(), d.Library == VXSIM_FTDI ? kFtdiDeviceCode : d.DeviceCode,
                                       d.Library == VXSIM_FTDI ? lbFtdi : lbVxUsb);
  }

  static vxsim::TSimDevice Device(int library, const char* serial = "12345") {
    vxsim::TSimDevice d;
    d.Library = library;
    d.Serial = serial;
    return d;
  }

  int device_ = -1;
  std::unique_ptr<vxsim::TSharedClock> clock_;
};

// One request, one answer, over an open link.
inline int Exchange(TDevEntry& e, const std::uint8_t* request, std::uint32_t length, std::uint8_t* answer,
                    std::uint32_t maximum, std::uint32_t timeout = 100) {
  if (!LinkSend(e, request, length)) return -1;
  return LinkRead(e, answer, timeout, maximum);
}
