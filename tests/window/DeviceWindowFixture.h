#pragma once

// The headless window with real discovery runs against the simulated devices:
// notifications are delivered as WM_DEVICECHANGE, virtual time drives the
// device timer, and the test's thread serves the workers' hand-overs.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "MainFormDesign.h"
#include "SimFixture.h"
#include "TempDir.h"
#include "discovery/ReadVersion.h"
#include "gui/headless/Headless.h"
#include "platform/Files.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "platform/Ticks.h"
#include "ui/DevicePanel.h"
#include "ui/MainForm.h"

// Notifications of the simulator, counted on whichever thread plugged or
// unplugged (a discovery thread sleeping past a timed event, or the test).
inline std::atomic<int> pendingChanges{0};
inline void CountChange(void*, int, int) { ++pendingChanges; }

class DeviceWindowTest : public SimTest {
protected:
  void SetUp() override {
    SimTest::SetUp();
    headless::Reset();
    SetMainThread();
    SetCommandLineArguments({});
    SetExecutableDirectory(appDir.Dir());
    pendingChanges = 0;
    VxSim_SetNotify(&CountChange, nullptr);
  }
  void TearDown() override {
    DestroyMainForm(form);
    EXPECT_EQ(TThread::RunningCount(), 0);
    VxSim_SetNotify(nullptr, nullptr);
    SetExecutableDirectory("");
    SimTest::TearDown();
  }

  // The window as start-up makes it, shown, its first discovery run done.
  TMainForm& Start() {
    TMainForm& f = CreateMainForm(form);
    f.Show();
    Settle();
    return f;
  }

  // The window shown with a device in its firmware that never answers, its
  // first run started and not ended: the run waits 4 x 2000 ms for the text
  // version, long enough for notifications to arrive meanwhile.
  TMainForm& StartWithASilentDevice(const char* serial) {
    vxsim::TSimDevice silent = Device(VXSIM_FTDI, serial);
    silent.BootLoader = false;
    silent.Extra = "fault = no_answer code=0 times=10\n";
    vxsim::AddDevice(silent);
    TMainForm& f = CreateMainForm(form);
    f.Show();
    headless::AdvanceTime(100);
    EXPECT_NE(ReadVersionThread, nullptr);
    return f;
  }

  // Delivers the notifications that came in as Windows would (one message
  // each) and lets the device timer and the runs it starts go on until the
  // window is quiet: no notification pending, the timer off, no run.
  void Settle() {
    for (int round = 0; round < 100; ++round) {
      Deliver();
      if (form->DevTimer.Enabled()) headless::AdvanceTime(form->DevTimer.Interval());
      while (ReadVersionThread != nullptr) {
        CheckSynchronize(5);
        Deliver();
      }
      ++runsSeen;
      if (pendingChanges == 0 && !form->DevTimer.Enabled()) return;
    }
    ADD_FAILURE() << "the window never became quiet";
  }
  void Deliver() {
    for (; pendingChanges > 0; --pendingChanges) {
      TMessage m{WM_DEVICECHANGE_MSG, DBT_DEVNODES_CHANGED_CODE, 0, 0};
      form->Dispatch(m);
    }
  }
  // Time passes for the devices (their timed events: leaving the bus after a
  // restart, coming back), as nothing else sleeps on the virtual clock now.
  static void Wait(std::uint32_t ms) { VxSim_ClockSleep(ms); }

  std::vector<std::string> LinesSince(std::size_t first) const {
    std::vector<std::string> lines;
    for (std::size_t i = first; i < form->reLog.LineCount(); ++i) lines.push_back(form->reLog.Line(i));
    return lines;
  }
  // Caption, message and button state of every panel in the order shown.
  struct TShown {
    std::string caption, message;
    bool buttonEnabled;
    int top;
    TColor color;
    bool operator==(const TShown&) const = default;
  };
  std::vector<TShown> Panels() const {
    std::vector<TShown> shown;
    for (const auto& e : form->FDevices) {
      TFWLoaderDevGroup& p = *e->Panel;
      shown.push_back({p.GroupBox->Text(), p.lblMessage->Text(), p.btnWrite->Enabled(), p.GroupBox->Top(),
                       p.lblMessage->Font().Color});
    }
    return shown;
  }

  static vxsim::TSimDevice BootLoader(int library, const char* serial) {
    vxsim::TSimDevice d = Device(library, serial);
    d.FirmwareVersion = "VXCR-1.8";
    d.LoaderVersion = "VXBL-1.05";
    // The virtual clock moves on with every sleep of every thread: while one
    // flash waits to be scheduled between two pieces of a request, another
    // thread's pauses can make the gap look longer than any real one. The
    // device must not drop the request for that.
    d.FrameGap = 3600000;
    return d;
  }

  TempDir appDir;
  std::unique_ptr<TMainForm> form;
  int runsSeen = 0;
};
