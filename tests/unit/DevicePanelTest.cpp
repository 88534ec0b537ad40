// Device panels and the window's end of a discovery run, in the headless
// backend. A run is ended here the way the thread's end does it: a run object
// that was never started, its results filled in, handed to the end handler.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "discovery/ReadVersion.h"
#include "flashing/WriteThread.h"
#include "gui/headless/Headless.h"
#include "link/DriverLibraries.h"
#include "platform/Files.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/Ticks.h"
#include "ui/DevicePanel.h"
#include "ui/MainForm.h"
#include "MainFormDesign.h"
#include "TempDir.h"

namespace {

// The owner of runs and flashes that are made here to carry results into the
// window's end handlers; they never start.
class TUnstarted : public TDiscoveryOwner, public TWriteThreadOwner {
public:
  TDeviceList& KnownDevices() override { return FNone; }
  TOperationLog& DiscoveryLog() override { return FLog; }
  void ReadVersionTerminate(TThread*) override {}
  TOperationLog& FlashLog() override { return FLog; }
  bool LoadFirmware(TFirmwareBlockList&, TFirmwareVersion&) override { return false; }
  void SetFlashProgress(TDevEntry&, const TFlashProgress&) override {}
  void WriteThreadTerminate(TThread*) override {}

private:
  class TNoLog : public TOperationLog {
    void DeviceLog(TMessageKind, int, const char*) override {}
  } FLog;
  TDeviceList FNone;
};
TUnstarted unstarted;

std::unique_ptr<TDevEntry> BootLoaderDevice(const char* serial, std::uint32_t processorId = 0x0412ABCD) {
  auto entry = std::make_unique<TDevEntry>(serial, kFtdiDeviceCode, lbFtdi);
  entry->InBootLoader = true;
  EXPECT_TRUE(entry->FirmwareVersion.Parse("VXCR-1.9"));
  EXPECT_TRUE(entry->LoaderVersion.Parse("VXBL-1.2"));
  entry->ProcessorId = processorId;
  return entry;
}

std::unique_ptr<TDevEntry> FirmwareDevice(const char* serial, bool restartRequested) {
  auto entry = std::make_unique<TDevEntry>(serial, 0x0101, lbVxUsb);
  EXPECT_TRUE(entry->FirmwareVersion.Parse("VXCR-1.8"));
  entry->RestartRequested = restartRequested;
  return entry;
}

std::vector<std::string> LinesFrom(const TRichEdit& log, std::size_t first) {
  std::vector<std::string> lines;
  for (std::size_t i = first; i < log.LineCount(); ++i) lines.push_back(log.Line(i));
  return lines;
}

class DevicePanelTest : public ::testing::Test {
protected:
  void SetUp() override {
    headless::Reset();
    SetMainThread();
    SetCommandLineArguments({});
    SetExecutableDirectory(appDir.Dir());
    hFtdiLib.store(nullptr);
    hVxUsbLib.store(nullptr);
    // 7 px a character, the font's height and 3 px.
    headless::SetTextMeasure([](const TFont& font, const std::string& text, int& width, int& height) {
      width = 7 * static_cast<int>(text.size());
      height = font.Height + 3;
      return true;
    });
  }
  void TearDown() override {
    ReadVersionThread = nullptr;
    DestroyMainForm(form);
    SetExecutableDirectory("");
  }
  TMainForm& Create() { return CreateMainForm(form); }

  // The end of a run with these new devices and results.
  static void EndRun(TMainForm& f, std::vector<std::unique_ptr<TDevEntry>> found = {}, std::int32_t result = 0) {
    TReadVersion run(unstarted);
    run.FNewDevices = std::move(found);
    run.FResult = result;
    ReadVersionThread = &run;
    f.ReadVersionTerminate(&run);
    EXPECT_EQ(ReadVersionThread, nullptr);
  }
  static std::vector<std::unique_ptr<TDevEntry>> Devices(std::initializer_list<const char*> serials) {
    std::vector<std::unique_ptr<TDevEntry>> list;
    for (const char* s : serials) list.push_back(BootLoaderDevice(s));
    return list;
  }
  static std::vector<int> PanelTops(const TMainForm& f) {
    std::vector<int> tops;
    for (const auto& e : f.FDevices) tops.push_back(e->Panel != nullptr ? e->Panel->GroupBox->Top() : -1);
    return tops;
  }

  TempDir appDir;
  std::unique_ptr<TMainForm> form;
};

TEST_F(DevicePanelTest, PanelsStackInListOrderAndTheAreaFollowsTheCount) {
  TMainForm& f = Create();
  const int peers = headless::PeerCount();

  /* three devices: panels at 3, 99, 195, each with a window for its ten controls */
  EndRun(f, Devices({"11", "22", "33"}));
  ASSERT_EQ(f.FDevices.size(), 3u);
  EXPECT_EQ(f.FDevices[0]->Serial, 11);
  EXPECT_EQ(f.FDevices[2]->Serial, 33);
  EXPECT_EQ(PanelTops(f), (std::vector<int>{3, 99, 195}));
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 288);
  EXPECT_EQ(f.DevPanel.Height(), 288);
  EXPECT_EQ(f.ScrollBox1.ContentHeight(), 288);  // more than the box's 172: it scrolls
  EXPECT_EQ(headless::PeerCount(), peers + 30);
  for (const auto& e : f.FDevices) EXPECT_NE(e->Panel->lblMessage->Peer(), nullptr);

  /* all three gone in one successful run */
  for (const auto& e : f.FDevices) e->Vanished = true;
  const std::size_t before = f.reLog.LineCount();
  EndRun(f);
  EXPECT_TRUE(f.FDevices.empty());
  EXPECT_EQ(LinesFrom(f.reLog, before),
            (std::vector<std::string>{"Прибор      11\tПрибор отключен", "Прибор      22\tПрибор отключен",
                                      "Прибор      33\tПрибор отключен"}));
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 90);
  EXPECT_EQ(f.DevPanel.Height(), 172);
  EXPECT_EQ(headless::PeerCount(), peers);

  /* deleting the first entry moves the other panels up */
  EndRun(f, Devices({"44", "55", "66"}));
  EXPECT_EQ(PanelTops(f), (std::vector<int>{3, 99, 195}));
  RemoveDevice(f.FDevices, f.FDevices[0].get());
  EXPECT_EQ(PanelTops(f), (std::vector<int>{3, 99}));
  EXPECT_EQ(f.FDevices[0]->Serial, 55);
  EXPECT_EQ(headless::PeerCount(), peers + 20);
  EXPECT_EQ(f.DevPanel.Controls().size(), 2u);

  /* twelve and more devices still stack in list order */
  f.FDevices.clear();
  EndRun(f, Devices({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}));
  EndRun(f, Devices({"12", "13"}));
  std::vector<int> expected;
  for (int i = 0; i < 13; ++i) expected.push_back(3 + 96 * i);
  EXPECT_EQ(PanelTops(f), expected);
  EXPECT_EQ(f.FDevices[12]->Serial, 13);
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 13 * 96);
}

TEST_F(DevicePanelTest, PanelLayoutFollowsTheDeviceAreaWidth) {
  TMainForm& f = Create();
  f.Constraints.MinWidth = 0;  // lets the device area be narrower than the window allows
  struct {
    int area, loaderTitle, loaderValue;
  } const cases[] = {{700, 465, 611}, {600, 423, 569}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.area);
    f.SetClientSize(c.area, 456);
    ASSERT_EQ(f.DevPanel.Width(), c.area);
    f.FDevices.push_back(BootLoaderDevice("1234567"));
    TDevEntry& entry = *f.FDevices.back();
    f.CreateDevicePanel(entry);
    ASSERT_NE(entry.Panel, nullptr);
    TFWLoaderDevGroup& p = *entry.Panel;
    const int box = c.area - 6;

    struct TPlace {
      const TControl* c;
      int l, t, w, h;
    };
    auto check = [](const std::vector<TPlace>& places) {
      for (const TPlace& e : places) {
        SCOPED_TRACE(e.c->Name());
        EXPECT_EQ(e.c->Left(), e.l);
        EXPECT_EQ(e.c->Top(), e.t);
        EXPECT_EQ(e.c->Width(), e.w);
        EXPECT_EQ(e.c->Height(), e.h);
      }
    };
    // Labels are as wide as their text (7 px a character here).
    check({{p.GroupBox.get(), 3, 3, box, 90},
           {p.lblSerialTitle.get(), 4, 16, 7 * 15, 19},
           {p.lblSerial.get(), 138, 19, 7 * 7, 16},
           {p.lblDevVerTitle.get(), 209, 16, 7 * 16, 19},
           {p.lblDevVer.get(), 347, 19, 7 * 8, 16},
           {p.lblLoaderVerTitle.get(), c.loaderTitle, 16, 7 * 18, 19},
           {p.lblLoaderVer.get(), c.loaderValue, 19, 7 * 8, 16},
           {p.ProgressBar.get(), 3, 67, box - 6, 20},
           {p.btnWrite.get(), box - 102, 37, 100, 25},
           {p.lblMessage.get(), 3, 38, box - 106, 20}});

    /* fonts: titles 12 pt, values 10 pt bold, the message 12 pt bold and centred */
    for (const TLabel* title : {p.lblSerialTitle.get(), p.lblDevVerTitle.get(), p.lblLoaderVerTitle.get()}) {
      EXPECT_EQ(title->Font().Height, 16);
      EXPECT_FALSE(title->Font().Bold);
    }
    for (const TLabel* value : {p.lblSerial.get(), p.lblDevVer.get(), p.lblLoaderVer.get()}) {
      EXPECT_EQ(value->Font().Height, 13);
      EXPECT_TRUE(value->Font().Bold);
      EXPECT_EQ(value->Font().Name, "Tahoma");
    }
    EXPECT_EQ(p.lblMessage->Font().Height, 16);
    EXPECT_TRUE(p.lblMessage->Font().Bold);
    EXPECT_EQ(p.lblMessage->Font().Color, clWindowText);
    EXPECT_EQ(p.lblMessage->Alignment(), taCenter);
    EXPECT_FALSE(p.lblMessage->AutoSize());
    EXPECT_TRUE(p.GroupBox->ParentFont());
    EXPECT_EQ(p.GroupBox->Font().Height, 11);
    EXPECT_EQ(p.ProgressBar->Position(), 0);
    EXPECT_EQ(p.ProgressBar->Max(), 100);

    /* a wider window: the right-hand controls keep their distance, the message stretches */
    f.SetClientSize(c.area + 200, 456);
    check({{p.GroupBox.get(), 3, 3, box + 200, 90},
           {p.lblSerial.get(), 138, 19, 7 * 7, 16},
           {p.lblDevVer.get(), 347, 19, 7 * 8, 16},
           {p.lblLoaderVerTitle.get(), c.loaderTitle + 200, 16, 7 * 18, 19},
           {p.lblLoaderVer.get(), c.loaderValue + 200, 19, 7 * 8, 16},
           {p.ProgressBar.get(), 3, 67, box + 194, 20},
           {p.btnWrite.get(), box + 98, 37, 100, 25},
           {p.lblMessage.get(), 3, 38, box + 94, 20}});
    f.FDevices.clear();
  }
}

TEST_F(DevicePanelTest, PanelShowsTheSerialVersionsAndModeOfItsDevice) {
  TMainForm& f = Create();
  std::vector<std::unique_ptr<TDevEntry>> found;
  found.push_back(BootLoaderDevice("1234567"));
  found.push_back(FirmwareDevice("12AB", false));  // not a number: -1
  found.back()->LoaderVersion = found.front()->LoaderVersion;  // shown only in the boot loader
  found.push_back(FirmwareDevice("77", true));
  EndRun(f, std::move(found));
  ASSERT_EQ(f.FDevices.size(), 3u);

  /* boot loader: both versions, the button enabled */
  const TFWLoaderDevGroup& loader = *f.FDevices[0]->Panel;
  EXPECT_EQ(loader.GroupBox->Text(), "Прибор1234567");
  EXPECT_EQ(loader.lblSerialTitle->Text(), "Серийный номер:");
  EXPECT_EQ(loader.lblSerial->Text(), "1234567");
  EXPECT_EQ(loader.lblDevVerTitle->Text(), "Версия прошивки:");
  EXPECT_EQ(loader.lblDevVer->Text(), "VXCR-1.9");
  EXPECT_EQ(loader.lblLoaderVerTitle->Text(), "Версия загрузчика:");
  EXPECT_EQ(loader.lblLoaderVer->Text(), "VXBL-1.2");
  EXPECT_EQ(loader.lblMessage->Text(), "Прибор подключен");
  EXPECT_EQ(loader.btnWrite->Text(), "Прошить");
  EXPECT_TRUE(loader.btnWrite->Enabled());

  /* firmware mode: no loader version, the button disabled */
  const TFWLoaderDevGroup& firmware = *f.FDevices[1]->Panel;
  EXPECT_EQ(firmware.GroupBox->Text(), "Прибор-1");
  EXPECT_EQ(firmware.lblSerial->Text(), "-1");
  EXPECT_EQ(firmware.lblDevVer->Text(), "VXCR-1.8");
  EXPECT_EQ(firmware.lblLoaderVer->Text(), "");
  EXPECT_FALSE(firmware.btnWrite->Enabled());
  EXPECT_EQ(firmware.lblMessage->Text(), "Прибор подключен");
  EXPECT_EQ(firmware.lblMessage->Font().Color, clWindowText);

  /* firmware mode after a restart into the boot loader: reconnect, in green */
  const TFWLoaderDevGroup& restarted = *f.FDevices[2]->Panel;
  EXPECT_EQ(restarted.lblMessage->Text(), "Отключите прибор и подключите заново.");
  EXPECT_EQ(restarted.lblMessage->Font().Color, clGreen);
  EXPECT_FALSE(restarted.btnWrite->Enabled());
}

TEST_F(DevicePanelTest, MessagesTakeTheColourOfTheirKind) {
  TMainForm& f = Create();
  EndRun(f, Devices({"5"}));
  TDevEntry& entry = *f.FDevices[0];
  const TLabel& message = *entry.Panel->lblMessage;
  struct {
    TMessageKind kind;
    TColor color;
  } const cases[] = {{mkSuccess, 0x008000}, {mkError, 0x0000FF}, {mkInfo, clWindowText},
                     {mkError, 0x0000FF}, {static_cast<TMessageKind>(7), clWindowText}};
  int n = 0;
  for (const auto& c : cases) {
    const std::string text = "message " + std::to_string(++n);
    f.SetDeviceMessage(entry, text, c.kind);
    EXPECT_EQ(message.Text(), text);
    EXPECT_EQ(message.Font().Color, c.color) << n;
    EXPECT_TRUE(message.Font().Bold);
    EXPECT_EQ(message.Font().Height, 16);
  }

  /* an entry without a panel shows nothing and gets none */
  TDevEntry unlisted("6", kFtdiDeviceCode, lbFtdi);
  f.SetDeviceMessage(unlisted, "x", mkError);
  EXPECT_EQ(unlisted.Panel, nullptr);
  EXPECT_EQ(message.Text(), "message 5");
}

TEST_F(DevicePanelTest, ARunLogsEachNewDeviceInOrder) {
  TMainForm& f = Create();
  const std::size_t before = f.reLog.LineCount();
  std::vector<std::unique_ptr<TDevEntry>> found;
  found.push_back(BootLoaderDevice("1001", 0x0412ABCD));
  found.push_back(FirmwareDevice("2002", true));
  EndRun(f, std::move(found));
  EXPECT_EQ(LinesFrom(f.reLog, before), (std::vector<std::string>{
                                            "Прибор    1001\tПрибор подключен",
                                            "Прибор    1001\tВерсия прошивки VXCR-1.9",
                                            "Прибор -------\tВерсия загрузчика VXBL-1.2",
                                            "Прибор    1001\tИдентификатор процессора 0x0412ABCD",
                                            "Прибор    1001\tРежим работы - Загрузчик",
                                            "Прибор    2002\tПрибор подключен",
                                            "Прибор    2002\tВерсия прошивки VXCR-1.8",
                                            "Прибор    2002\tИдентификатор процессора 0x00000000",
                                            "Прибор    2002\tРежим работы - Прошивка",
                                        }));
  for (std::size_t i = before; i < f.reLog.LineCount(); ++i) EXPECT_EQ(f.reLog.Runs()[i].Color, clBlack) << i;
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 192);

  /* one run in which a known device left and a new one came: the gone one first */
  f.FDevices[0]->Vanished = true;
  const std::size_t mixed = f.reLog.LineCount();
  EndRun(f, Devices({"3003"}));
  const std::vector<std::string> lines = LinesFrom(f.reLog, mixed);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Прибор    1001\tПрибор отключен");
  EXPECT_EQ(lines[1], "Прибор    3003\tПрибор подключен");
  ASSERT_EQ(f.FDevices.size(), 2u);
  EXPECT_EQ(f.FDevices[0]->Serial, 2002);
  EXPECT_EQ(f.FDevices[1]->Serial, 3003);
  EXPECT_EQ(PanelTops(f), (std::vector<int>{3, 99}));
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 192);
}

TEST_F(DevicePanelTest, AFailedRunLogsOneRedLineAndChangesNothing) {
  TMainForm& f = Create();
  EndRun(f, Devices({"1", "2"}));
  f.FDevices[0]->Vanished = true;  // gone in the failed run
  f.DevPanel.SetConstraints({0, 123, 0, 0});

  struct {
    std::int32_t result, lastAnswer, elapsed;
    const char* line;
  } const cases[] = {
      {7, 129, 5230, "Прибор -------\t(  5230)Ошибка 7 поиске новых устройств. Последний код ответа прибора 129"},
      {8, 0, 1234567, "Прибор -------\t( 1234567)Ошибка 8 поиске новых устройств. Последний код ответа прибора 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    const std::size_t before = f.reLog.LineCount();
    TReadVersion run(unstarted);
    run.FNewDevices = Devices({"3"});
    run.FResult = c.result;
    run.FLastAnswer = c.lastAnswer;
    run.FElapsed = c.elapsed;
    ReadVersionThread = &run;
    f.ReadVersionTerminate(&run);
    EXPECT_EQ(ReadVersionThread, nullptr);
    ASSERT_EQ(LinesFrom(f.reLog, before), std::vector<std::string>{c.line});
    EXPECT_EQ(f.reLog.Runs().back().Color, clRed);
    ASSERT_EQ(f.FDevices.size(), 2u);
    EXPECT_EQ(f.FDevices[0]->Serial, 1);
    EXPECT_EQ(PanelTops(f), (std::vector<int>{3, 99}));
    EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 123);
    ASSERT_EQ(run.FNewDevices.size(), 1u);  // not taken: it goes with the run
    EXPECT_EQ(run.FNewDevices[0]->Panel, nullptr);
  }

  /* the next successful run removes the entry it left */
  EndRun(f);
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(f.FDevices[0]->Serial, 2);
  EXPECT_EQ(PanelTops(f), (std::vector<int>{3}));
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 96);
}

TEST_F(DevicePanelTest, AVanishedDeviceBeingFlashedStaysListed) {
  TMainForm& f = Create();
  EndRun(f, Devices({"1", "2", "3"}));
  // A flash that has been made for the device (never started).
  TWriteThread flashing(unstarted);
  f.FDevices[0]->WriteThread = &flashing;
  f.FDevices[0]->Vanished = true;
  f.FDevices[1]->Vanished = true;
  const std::size_t before = f.reLog.LineCount();
  EndRun(f);
  EXPECT_EQ(LinesFrom(f.reLog, before), std::vector<std::string>{"Прибор       2\tПрибор отключен"});
  ASSERT_EQ(f.FDevices.size(), 2u);
  EXPECT_EQ(f.FDevices[0]->Serial, 1);
  EXPECT_EQ(f.FDevices[1]->Serial, 3);
  EXPECT_EQ(PanelTops(f), (std::vector<int>{3, 99}));
  EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 192);
  f.FDevices[0]->WriteThread = nullptr;
}

TEST_F(DevicePanelTest, AnErrorWhileAFlashsResultIsShownStillFreesTheEntry) {
  TMainForm& f = Create();
  EndRun(f, Devices({"1", "2"}));
  TWriteThread flashing(unstarted);  // made for the device, never started
  flashing.FDevice = f.FDevices[1].get();
  flashing.FResult = wrSuccess;
  f.FDevices[1]->WriteThread = &flashing;
  f.FDevices[1]->Vanished = true;
  f.FDevices[1]->Panel->btnWrite->SetEnabled(false);
  /* the result's message cannot be shown (its label fails to be measured) */
  f.FDevices[1]->Panel->lblMessage->SetAutoSize(true);
  headless::SetTextMeasure([](const TFont&, const std::string& text, int&, int&) -> bool {
    if (text == "Обновление прошивки завершено успешно") throw std::runtime_error("Ошибка показа");
    return false;
  });
  EXPECT_THROW(f.WriteThreadTerminate(&flashing), std::runtime_error);
  /* the entry let go of its thread, and the gone device was taken out */
  ASSERT_EQ(f.FDevices.size(), 1u);
  EXPECT_EQ(f.FDevices[0]->Serial, 1);
  EXPECT_EQ(f.reLog.Line(f.reLog.LineCount() - 1), "Прибор       2\tПрибор отключен");

  /* a device that stays gets its button back */
  TWriteThread again(unstarted);
  again.FDevice = f.FDevices[0].get();
  again.FResult = wrSuccess;
  f.FDevices[0]->WriteThread = &again;
  f.FDevices[0]->Panel->btnWrite->SetEnabled(false);
  f.FDevices[0]->Panel->lblMessage->SetAutoSize(true);
  EXPECT_THROW(f.WriteThreadTerminate(&again), std::runtime_error);
  EXPECT_EQ(f.FDevices[0]->WriteThread.load(), nullptr);
  EXPECT_TRUE(f.FDevices[0]->Panel->btnWrite->Enabled());
}

TEST_F(DevicePanelTest, OneDiscoveryRunAtATime) {
  TMainForm& f = Create();

  /* a run in progress: neither a call nor the device timer starts another */
  TReadVersion inProgress(unstarted);
  ReadVersionThread = &inProgress;
  EXPECT_TRUE(f.StartReadVersion());
  headless::AdvanceTime(100);  // the device timer's first tick
  EXPECT_FALSE(f.DevTimer.Enabled());
  EXPECT_EQ(ReadVersionThread, &inProgress);
  EXPECT_EQ(TThread::RunningCount(), 0);

  /* none in progress: one starts, frees itself and ends in the window */
  ReadVersionThread = nullptr;
  EXPECT_TRUE(f.StartReadVersion());
  TReadVersion* started = ReadVersionThread;
  ASSERT_NE(started, nullptr);
  EXPECT_NE(started, &inProgress);
  // Its end handler waits for this thread, so the object is alive here.
  EXPECT_TRUE(started->FreeOnTerminate);
  EXPECT_EQ(started->Priority(), tpNormal);
  EXPECT_TRUE(static_cast<bool>(started->OnTerminate));
  EXPECT_TRUE(f.StartReadVersion());
  EXPECT_EQ(ReadVersionThread, started);
  const std::uint32_t start = TickCount();
  while (TThread::RunningCount() > 0 && TickCount() - start < 10000) CheckSynchronize(10);
  EXPECT_EQ(TThread::RunningCount(), 0);
  EXPECT_EQ(ReadVersionThread, nullptr);
}

TEST_F(DevicePanelTest, DestructionStartsNoRunAndLeavesNoWorker) {
  TMainForm& f = Create();
  EndRun(f, Devices({"5"}));  // a panel to delete at the end
  f.FAppDir = appDir.File("missing-dir") + kPathSeparator;  // the settings cannot be written
  ASSERT_TRUE(f.StartReadVersion());  // its end is served by the destruction

  TMainForm* window = &f;
  bool boxShown = false, timerArmed = true;
  TReadVersion* runDuringBox = nullptr;
  int workersDuringBox = -1;
  headless::SetMessageBoxHandler([&](const headless::TMessageBoxCall&) {
    // The error box's modal loop: a device change, then its timer's time.
    boxShown = true;
    TMessage change{WM_DEVICECHANGE_MSG, DBT_DEVNODES_CHANGED_CODE, 0, 0};
    EXPECT_TRUE(window->Dispatch(change));
    timerArmed = window->DevTimer.Enabled();
    headless::AdvanceTime(1000);
    window->DevTimerTimer(nullptr);  // a tick that was already due
    EXPECT_FALSE(window->StartReadVersion());
    runDuringBox = ReadVersionThread;
    workersDuringBox = TThread::RunningCount();
    return kIdOk;
  });
  DestroyMainForm(form);
  EXPECT_TRUE(boxShown);
  EXPECT_FALSE(timerArmed);
  EXPECT_EQ(runDuringBox, nullptr);
  EXPECT_EQ(workersDuringBox, 0);
  EXPECT_EQ(TThread::RunningCount(), 0);
}

}  // namespace
