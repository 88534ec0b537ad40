// The window's device list end to end in the headless backend: simulated
// devices are plugged and unplugged, their notifications reach the window as
// WM_DEVICECHANGE, the device timer starts real discovery runs, and the test
// looks at the panels and the log the way a technician would.
#include "DeviceWindowFixture.h"

#include <stdexcept>

namespace {

TEST_F(DeviceWindowTest, APluggedBootLoaderDeviceGetsItsPanelAndItsLines) {
  TMainForm& f = Start();
  ASSERT_TRUE(f.FDevices.empty());
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 90);

  /* plugged in after start: one notification, one run, one panel */
  vxsim::TSimDevice d = BootLoader(VXSIM_FTDI, "1234567");
  d.Extra = "plugged = no\n";
  const int device = vxsim::AddDevice(d);
  const std::size_t before = f.reLog.LineCount();
  ASSERT_EQ(VxSim_Plug(device), 0);
  Settle();
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(Panels(), (std::vector<TShown>{{"Прибор1234567", "Прибор подключен", true, 3, clWindowText}}));
  EXPECT_EQ(LinesSince(before), (std::vector<std::string>{
                                    "Прибор 1234567\tПрибор подключен",
                                    "Прибор 1234567\tВерсия прошивки VXCR-1.8",
                                    "Прибор -------\tВерсия загрузчика VXBL-1.5",
                                    "Прибор 1234567\tИдентификатор процессора 0x26013F37",
                                    "Прибор 1234567\tРежим работы - Загрузчик",
                                }));
  const TFWLoaderDevGroup& p = *f.FDevices[0]->Panel;
  EXPECT_EQ(p.lblSerial->Text(), "1234567");
  EXPECT_EQ(p.lblDevVer->Text(), "VXCR-1.8");
  // The minor number is shown without its leading zero.
  EXPECT_EQ(p.lblLoaderVer->Text(), "VXBL-1.5");
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 96);
  // Identified once and closed again: the flash is the user's to start.
  EXPECT_FALSE(vxsim::State(device).Open);
  EXPECT_EQ(vxsim::State(device).Requests, 3u);

  /* unplugged: the panel goes with a line of its own */
  const std::size_t beforeUnplug = f.reLog.LineCount();
  ASSERT_EQ(VxSim_Unplug(device), 0);
  Settle();
  EXPECT_TRUE(f.FDevices.empty());
  EXPECT_EQ(LinesSince(beforeUnplug), (std::vector<std::string>{"Прибор 1234567\tПрибор отключен"}));
  EXPECT_TRUE(f.DevPanel.Controls().empty());
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 90);
}

TEST_F(DeviceWindowTest, AFirmwareDeviceIsRestartedAndComesBackInItsBootLoader) {
  vxsim::TSimDevice boot = BootLoader(VXSIM_FTDI, "1111");
  vxsim::AddDevice(boot);
  const int restarting = vxsim::AddDevice(vxsim::RestartingDevice("4242", 50, 2000));

  TMainForm& f = Start();
  ASSERT_EQ(f.FDevices.size(), 2u);
  EXPECT_EQ(Panels(), (std::vector<TShown>{{"Прибор1111", "Прибор подключен", true, 3, clWindowText},
                                           {"Прибор4242", "Отключите прибор и подключите заново.", false, 99, clGreen}}));
  EXPECT_EQ(f.FDevices[1]->Panel->lblLoaderVer->Text(), "");
  const std::vector<std::string> lines = LinesSince(0);
  // The restart command's lines come from the run, before the run's end
  // lists both devices.
  const std::vector<std::string> expectedTail{
      "Прибор    4242\tОтправляем команду запуска загрузчика",
      "Прибор    4242\tКоманда запуска загрузчика обработана. Переподключите устройство.",
      "Прибор    1111\tПрибор подключен",
      "Прибор    1111\tВерсия прошивки VXCR-1.8",
      "Прибор -------\tВерсия загрузчика VXBL-1.5",
      "Прибор    1111\tИдентификатор процессора 0x26013F37",
      "Прибор    1111\tРежим работы - Загрузчик",
      "Прибор    4242\tПрибор подключен",
      "Прибор    4242\tВерсия прошивки VXCR-1.7",
      "Прибор    4242\tИдентификатор процессора 0x00000000",
      "Прибор    4242\tРежим работы - Прошивка",
  };
  ASSERT_GE(lines.size(), expectedTail.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(expectedTail.size()), lines.end()),
            expectedTail);

  /* it leaves the bus: its old panel goes, the other one moves not */
  std::size_t mark = f.reLog.LineCount();
  Wait(60);
  Settle();
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(LinesSince(mark), (std::vector<std::string>{"Прибор    4242\tПрибор отключен"}));
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 96);

  /* it comes back running its boot loader: a new panel at the bottom */
  mark = f.reLog.LineCount();
  Wait(2000);
  Settle();
  ASSERT_EQ(f.FDevices.size(), 2u);
  EXPECT_EQ(Panels(), (std::vector<TShown>{{"Прибор1111", "Прибор подключен", true, 3, clWindowText},
                                           {"Прибор4242", "Прибор подключен", true, 99, clWindowText}}));
  EXPECT_EQ(LinesSince(mark), (std::vector<std::string>{
                                  "Прибор    4242\tПрибор подключен",
                                  "Прибор    4242\tВерсия прошивки VXCR-1.7",
                                  "Прибор -------\tВерсия загрузчика VXBL-1.5",
                                  "Прибор    4242\tИдентификатор процессора 0x26013F37",
                                  "Прибор    4242\tРежим работы - Загрузчик",
                              }));
  EXPECT_TRUE(f.FDevices[1]->InBootLoader);
  EXPECT_EQ(f.FDevices[1]->Backend, lbVxUsb);
  EXPECT_EQ(f.FDevices[1]->DeviceCode, 0x0A01);
  EXPECT_EQ(vxsim::State(restarting).Plugs, 2u);
}

TEST_F(DeviceWindowTest, AForeignFtdiDeviceNeverAppears) {
  vxsim::TSimDevice foreign = BootLoader(VXSIM_FTDI, "777");
  foreign.Description = "USB Serial Converter";
  const int other = vxsim::AddDevice(foreign);
  vxsim::AddDevice(BootLoader(VXSIM_FTDI, "888"));
  TMainForm& f = Start();
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(f.FDevices[0]->Serial, 888);
  for (std::size_t i = 0; i < f.reLog.LineCount(); ++i) EXPECT_EQ(f.reLog.Line(i).find("777"), std::string::npos);
  EXPECT_EQ(vxsim::Calls("FT_OpenEx").size(), 1u);
  EXPECT_EQ(vxsim::State(other).Requests, 0u);
}

TEST_F(DeviceWindowTest, ANotificationDuringARunStartsNoSecondRunUntilItHasEnded) {
  TMainForm& f = StartWithASilentDevice("31");
  TReadVersion* const first = ReadVersionThread;

  /* a device plugged during the run: the timer fires, but no run starts */
  vxsim::TSimDevice late = BootLoader(VXSIM_FTDI, "32");
  late.Extra = "plugged = no\n";
  const int lateDevice = vxsim::AddDevice(late);
  // Once the run's listing is over, so that only the next run can see it.
  while (!first->Finished()) SystemSleepMs(1);
  ASSERT_EQ(VxSim_Plug(lateDevice), 0);
  Deliver();
  EXPECT_TRUE(f.DevTimer.Enabled());
  headless::AdvanceTime(100);
  EXPECT_FALSE(f.DevTimer.Enabled());
  EXPECT_EQ(ReadVersionThread, first);
  while (ReadVersionThread != nullptr) CheckSynchronize(5);

  /* the run failed (no version); the late device waits for the next notification */
  EXPECT_TRUE(f.FDevices.empty());
  ASSERT_GE(f.reLog.LineCount(), 1u);
  EXPECT_NE(f.reLog.Line(f.reLog.LineCount() - 1).find("Ошибка 8 поиске новых устройств"), std::string::npos);
  EXPECT_EQ(vxsim::Calls("FT_CreateDeviceInfoList").size(), 1u);

  /* the next notification finds it; the silent device fails that run too */
  VxSim_Unplug(0);
  Settle();
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(f.FDevices[0]->Serial, 32);
}

TEST_F(DeviceWindowTest, AFailedRunAddsAndRemovesNothingUntilASuccessfulOne) {
  vxsim::AddDevice(BootLoader(VXSIM_FTDI, "41"));
  const int second = vxsim::AddDevice(BootLoader(VXSIM_FTDI, "42"));
  TMainForm& f = Start();
  ASSERT_EQ(f.FDevices.size(), 2u);

  /* 42 leaves while a new device refuses to open: one red line, nothing else */
  vxsim::TSimDevice refusing = BootLoader(VXSIM_VXUSB, "43");
  refusing.Extra = "refuse_open = 1\nplugged = no\n";
  const int third = vxsim::AddDevice(refusing);
  ASSERT_EQ(VxSim_Unplug(second), 0);
  ASSERT_EQ(VxSim_Plug(third), 0);
  const std::size_t mark = f.reLog.LineCount();
  Settle();
  const std::vector<std::string> lines = LinesSince(mark);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Прибор -------\t(", 0), 0u);
  const std::string failure = ")Ошибка 7 поиске новых устройств. Последний код ответа прибора 0";
  ASSERT_GT(lines[0].size(), failure.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - failure.size()), failure);
  EXPECT_EQ(f.reLog.Runs().back().Color, clRed);
  ASSERT_EQ(f.FDevices.size(), 2u);
  EXPECT_TRUE(f.FDevices[1]->Vanished.load());
  EXPECT_NE(f.FDevices[1]->Panel, nullptr);

  /* the next notification: 42 goes, 43 opens now and comes in */
  pendingChanges++;
  Settle();
  ASSERT_EQ(f.FDevices.size(), 2u);
  EXPECT_EQ(f.FDevices[0]->Serial, 41);
  EXPECT_EQ(f.FDevices[1]->Serial, 43);
  EXPECT_EQ(Panels()[1].top, 99);
}

TEST_F(DeviceWindowTest, ClosingWhileARunIsUnderWayWaitsForItAndLeavesNothingBehind) {
  StartWithASilentDevice("51");
  DestroyMainForm(form);  // waits for the run, serving its lines and its end
  EXPECT_EQ(ReadVersionThread, nullptr);
  EXPECT_EQ(TThread::RunningCount(), 0);
}

TEST_F(DeviceWindowTest, AnErrorAtTheEndOfARunIsShownAndLaterRunsGoOn) {
  TMainForm& f = Start();
  Application.Title = kMessageCaption;
  vxsim::TSimDevice d = BootLoader(VXSIM_FTDI, "61");
  d.Extra = "plugged = no\n";
  const int device = vxsim::AddDevice(d);
  /* the new device's panel cannot be made once: its serial label fails */
  int failures = 1;
  headless::SetTextMeasure([&](const TFont&, const std::string& text, int&, int&) -> bool {
    if (text == "61" && failures > 0) {
      --failures;
      throw std::runtime_error("Ошибка построения панели");
    }
    return false;
  });
  ASSERT_EQ(VxSim_Plug(device), 0);
  // Served here with a bound: a run whose end is lost would never be over.
  Deliver();
  headless::AdvanceTime(f.DevTimer.Interval());
  const std::uint32_t start = SystemTickCount();
  while (TThread::RunningCount() > 0 && SystemTickCount() - start < 60000) CheckSynchronize(5);
  ASSERT_EQ(TThread::RunningCount(), 0);
  ASSERT_EQ(headless::MessageBoxes().size(), 1u);
  EXPECT_EQ(headless::MessageBoxes()[0].Text, "Ошибка построения панели");
  EXPECT_EQ(headless::MessageBoxes()[0].Caption, kMessageCaption);
  EXPECT_EQ(ReadVersionThread, nullptr);
  EXPECT_TRUE(f.FDevices.empty());  // not listed without its panel

  /* the next notification's run finds it again and lists it */
  pendingChanges++;
  Settle();
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(f.FDevices[0]->Serial, 61);
  ASSERT_NE(f.FDevices[0]->Panel, nullptr);
  EXPECT_EQ(f.FDevices[0]->Panel->lblSerial->Text(), "61");
}

}  // namespace
