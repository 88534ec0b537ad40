// The real main window with simulated devices: plugging one in, a device in
// its firmware restarted into its boot loader, a device of another maker,
// and the embedded image flashed into devices as they are found. The
// simulated libraries sit next to this program, where the window loads them,
// and they announce every plug and unplug with WM_DEVICECHANGE as Windows
// does; everything runs on the real clock.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FlashCheck.h"
#include "MainFormDesign.h"
#include "TempDir.h"
#include "DisplayCheck.h"
#include "Win32Pump.h"
#include "discovery/ReadVersion.h"
#include "link/DriverLibraries.h"
#include "link/Packets.h"
#include "platform/Files.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"
#include "sim/SimControl.h"
#include "ui/DevicePanel.h"
#include "session/LogFile.h"
#include "ui/MainForm.h"

namespace {

class PlugWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetMainThread();
    SetCommandLineArguments({});
    SetExecutableDirectory(appDir.Dir());
    VxSim_Reset();
  }
  void TearDown() override {
    if (HasFailure()) {
      VxSim_SaveTranscript("failed-plug-window-transcript.txt");
      if (form)
        for (std::size_t i = 0; i < form->reLog.LineCount(); ++i)
          std::printf("log: %s\n", Cp1251ToUtf8(form->reLog.Line(i)).c_str());

    }
    DestroyMainForm(form);
    EXPECT_EQ(TThread::RunningCount(), 0);
    SetExecutableDirectory("");
    Pump(20);
  }

  // The window shown, the simulated libraries loaded by it (the first time),
  // automatic flashing ticked or not before its first discovery run, that
  // run over.
  TMainForm& Start(bool autoWrite = false) {
    TMainForm& f = CreateMainForm(form);
    f.Show();
    f.cbAutoWrite.SetChecked(autoWrite);
    EXPECT_NE(hFtdiLib.load(), nullptr);
    EXPECT_NE(hVxUsbLib.load(), nullptr);
    EXPECT_TRUE(PumpUntil([&] { return !f.DevTimer.Enabled() && ReadVersionThread == nullptr; }, 5000));
    return f;
  }

  // The device's flash ended with success in the log, on its panel (green
  // text, the real progress bar at 100) and in the device's flash memory.
  void ExpectFlashed(int serial, int device) {
    // "(% 6d)" between the device's prefix and the text.
    const std::wstring log = LogText();
    const std::wstring prefix = W(DeviceLinePrefix(serial));
    const std::size_t at = log.find(W(")Прошивка завершена успешно"));
    ASSERT_NE(at, std::wstring::npos);
    const std::size_t open = log.rfind(L'(', at);
    ASSERT_NE(open, std::wstring::npos);
    ASSERT_GE(open, prefix.size());
    EXPECT_EQ(log.substr(open - prefix.size(), prefix.size()), prefix);
    const std::wstring stamp = log.substr(open + 1, at - open - 1);
    EXPECT_GE(stamp.size(), 6u);
    EXPECT_EQ(stamp.find_first_not_of(L" 0123456789"), std::wstring::npos) << Utf16ToCp1251(std::u16string(stamp.begin(), stamp.end()));

    const TDevEntry* e = Listed(serial);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(TextOf(Hwnd(*e->Panel->lblMessage)), W("Обновление прошивки завершено успешно"));
    EXPECT_EQ(e->Panel->lblMessage->Font().Color, clGreen);
    EXPECT_EQ(SendMessageW(Hwnd(*e->Panel->ProgressBar), PBM_GETPOS, 0, 0), 100);
    EXPECT_TRUE(IsWindowEnabled(Hwnd(*e->Panel->btnWrite)));

    const std::vector<std::uint8_t> payload = ImagePayload(ReadBinaryFile(VX_DEFAULT_IMAGE_PATH));
    ASSERT_FALSE(payload.empty());
    const std::vector<TDeviceSector> sectors = DeviceSectors(0x26013F37, "VXBL-1.05");
    ExpectDeviceFlash(device, 0x26013F37, "VXBL-1.05", payload, 10, static_cast<int>(sectors.size()) - 1);
    EXPECT_EQ(vxsim::State(device).FinishCode, static_cast<std::uint32_t>(cmWriteDone));
  }
  bool FlashEnded(int serial) const {
    const TDevEntry* e = Listed(serial);
    return e != nullptr && e->WriteThread.load() == nullptr &&
           LogText().find(W(")Прошивка завершена успешно")) != std::wstring::npos;
  }

  // A device in its boot loader added off the bus, then plugged in.
  static int PlugBootLoaderDevice(const char* serial) {
    vxsim::TSimDevice d;
    d.Serial = serial;
    d.Extra = "plugged = no\n";
    const int device = vxsim::AddDevice(d);
    EXPECT_EQ(VxSim_Plug(device), 0);
    return device;
  }

  TDevEntry* Listed(int serial) const { return FindDevice(form->FDevices, serial); }
  HWND Hwnd(const TControl& c) const { return static_cast<HWND>(c.Handle()); }
  // The log as the rich edit control holds it.
  std::wstring LogText() const { return TextOf(Hwnd(form->reLog)); }
  bool Logged(const std::string& line) const { return LoggedInOrder({line}); }
  // The lines appear in the log in this order (others may stand between).
  bool LoggedInOrder(const std::vector<std::string>& lines) const {
    const std::wstring log = LogText();
    std::size_t at = 0;
    for (const std::string& line : lines) {
      at = log.find(W(line), at);
      if (at == std::wstring::npos) {
        ADD_FAILURE() << "not in the log in its place: " << line << "\nlog:\n"
                      << Utf16ToCp1251(std::u16string(log.begin(), log.end()));
        return false;
      }
      at += line.size();
    }
    return true;
  }

  // The real windows of a device's panel, as the technician sees them.
  void ExpectPanelWindows(const TDevEntry& e, const std::string& caption, const std::string& message, bool enabled,
                          int top) {
    ASSERT_NE(e.Panel, nullptr);
    const HWND box = Hwnd(*e.Panel->GroupBox);
    ASSERT_TRUE(IsWindow(box));
    EXPECT_EQ(GetParent(box), Hwnd(form->DevPanel));
    EXPECT_TRUE(IsWindowVisible(box));
    EXPECT_EQ(TextOf(box), W(caption));
    EXPECT_EQ(RectInParent(box).top, top);
    EXPECT_EQ(TextOf(Hwnd(*e.Panel->lblMessage)), W(message));
    EXPECT_EQ(IsWindowEnabled(Hwnd(*e.Panel->btnWrite)) != FALSE, enabled);
    EXPECT_EQ(TextOf(Hwnd(*e.Panel->btnWrite)), W("Прошить"));
  }

  TempDir appDir;
  std::unique_ptr<TMainForm> form;
};

TEST_F(PlugWindowTest, ABootLoaderDevicePluggedInAppearsInItsPanel) {
  TMainForm& f = Start();
  ASSERT_TRUE(f.FDevices.empty());
  const int device = PlugBootLoaderDevice("1234567");
  ASSERT_TRUE(PumpUntil([&] { return Listed(1234567) != nullptr; }, 5000));
  ExpectPanelWindows(*Listed(1234567), "Прибор1234567", "Прибор подключен", true, 3);
  EXPECT_TRUE(LoggedInOrder({"Прибор 1234567\tПрибор подключен", "Прибор 1234567\tВерсия прошивки VXCR-1.8",
                             "Прибор -------\tВерсия загрузчика VXBL-1.5",
                             "Прибор 1234567\tИдентификатор процессора 0x26013F37",
                             "Прибор 1234567\tРежим работы - Загрузчик"}));
  EXPECT_FALSE(vxsim::State(device).Open);

  /* unplugged again: the panel and its windows go */
  const HWND box = Hwnd(*Listed(1234567)->Panel->GroupBox);
  ASSERT_EQ(VxSim_Unplug(device), 0);
  ASSERT_TRUE(PumpUntil([&] { return f.FDevices.empty(); }, 5000));
  EXPECT_FALSE(IsWindow(box));
  EXPECT_TRUE(Logged("Прибор 1234567\tПрибор отключен"));
}

TEST_F(PlugWindowTest, AFirmwareDeviceIsRestartedLeavesAndComesBackInItsBootLoader) {
  vxsim::TSimDevice boot;
  boot.Serial = "1111";
  vxsim::AddDevice(boot);
  // Time enough to see its panel before it goes: making the panels of a run
  // in real windows takes a good part of a second on a loaded machine.
  const int restarting = vxsim::AddDevice(vxsim::RestartingDevice("4242", 1500, 1000));

  TMainForm& f = Start();
  ASSERT_NE(Listed(4242), nullptr);
  ExpectPanelWindows(*Listed(1111), "Прибор1111", "Прибор подключен", true, 3);
  ExpectPanelWindows(*Listed(4242), "Прибор4242", "Отключите прибор и подключите заново.", false, 99);
  EXPECT_EQ(TextOf(Hwnd(*Listed(4242)->Panel->lblLoaderVer)), L"");
  EXPECT_TRUE(Logged("Прибор    4242\tКоманда запуска загрузчика обработана. Переподключите устройство."));
  const HWND oldBox = Hwnd(*Listed(4242)->Panel->GroupBox);

  /* it leaves the bus: its panel goes with "Прибор отключен" */
  ASSERT_TRUE(PumpUntil([&] { return Listed(4242) == nullptr; }, 5000));
  EXPECT_FALSE(IsWindow(oldBox));
  EXPECT_TRUE(Logged("Прибор    4242\tПрибор отключен"));

  /* it comes back in its boot loader: a new panel at the bottom */
  ASSERT_TRUE(PumpUntil([&] { return Listed(4242) != nullptr; }, 5000));
  ASSERT_EQ(f.FDevices.size(), 2u);
  EXPECT_EQ(f.FDevices.back()->Serial, 4242);
  EXPECT_TRUE(Listed(4242)->InBootLoader);
  ExpectPanelWindows(*Listed(4242), "Прибор4242", "Прибор подключен", true, 99);
  EXPECT_EQ(TextOf(Hwnd(*Listed(4242)->Panel->lblLoaderVer)), L"VXBL-1.5");
  EXPECT_TRUE(Logged("Прибор    4242\tРежим работы - Загрузчик"));
  EXPECT_EQ(vxsim::State(restarting).Plugs, 2u);
}

TEST_F(PlugWindowTest, AnotherMakersFtdiDeviceNeverAppears) {
  TMainForm& f = Start();
  vxsim::TSimDevice foreign;
  foreign.Serial = "777";
  foreign.Description = "USB Serial Converter";
  foreign.Extra = "plugged = no\n";
  const int other = vxsim::AddDevice(foreign);
  vxsim::TSimDevice ours;
  ours.Serial = "888";
  ours.Extra = "plugged = no\n";
  const int velmar = vxsim::AddDevice(ours);
  ASSERT_EQ(VxSim_Plug(other), 0);
  ASSERT_EQ(VxSim_Plug(velmar), 0);
  ASSERT_TRUE(PumpUntil([&] { return Listed(888) != nullptr; }, 5000));
  Pump(300);  // time for anything else to show up
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(LogText().find(L"777"), std::wstring::npos);
  EXPECT_EQ(vxsim::State(other).Requests, 0u);
  EXPECT_FALSE(vxsim::State(other).Open);
}

TEST_F(PlugWindowTest, AutomaticFlashingWritesTheEmbeddedImageIntoAPluggedBootLoaderDevice) {
  TMainForm& f = Start(true);
  ASSERT_TRUE(f.FDevices.empty());
  const int device = PlugBootLoaderDevice("1234567");
  ASSERT_TRUE(PumpUntil([&] { return FlashEnded(1234567); }, 120000));
  EXPECT_TRUE(LoggedInOrder({"Прибор 1234567\tРежим работы - Загрузчик", "Прибор 1234567\tНачинаем прошивку прибора"}));
  ExpectFlashed(1234567, device);
}

TEST_F(PlugWindowTest, AFirmwareDeviceIsRestartedFoundAgainAndFlashed) {
  const int restarting = vxsim::AddDevice(vxsim::RestartingDevice("4242", 500, 500));
  TMainForm& f = Start(true);

  /* found in its firmware: restarted, never flashed */
  ASSERT_TRUE(PumpUntil([&] { return Listed(4242) != nullptr || vxsim::State(restarting).Plugs >= 2; }, 5000));
  EXPECT_TRUE(Logged("Прибор    4242\tРежим работы - Прошивка"));

  /* back in its boot loader: flashed as soon as it is listed */
  ASSERT_TRUE(PumpUntil([&] { return FlashEnded(4242); }, 120000));
  EXPECT_TRUE(Listed(4242)->InBootLoader);
  EXPECT_EQ(vxsim::State(restarting).Plugs, 2u);
  EXPECT_TRUE(LoggedInOrder({"Прибор    4242\tРежим работы - Прошивка", "Прибор    4242\tПрибор отключен",
                             "Прибор    4242\tРежим работы - Загрузчик", "Прибор    4242\tНачинаем прошивку прибора"}));
  ExpectFlashed(4242, restarting);
  EXPECT_EQ(f.FDevices.size(), 1u);
}

}  // namespace
