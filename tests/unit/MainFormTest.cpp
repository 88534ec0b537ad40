// The main window in the headless backend: controls, start-up, messages,
// timers, library loading and shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gui/headless/Headless.h"
#include "link/DriverLibraries.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/LocalTime.h"
#include "platform/Ticks.h"
#include "records/TextFormat.h"
#include "session/LogFile.h"
#include "ui/MainForm.h"
#include "platform/Files.h"
#include "TempDir.h"
#include "MainFormDesign.h"

namespace {

class MainFormTest : public ::testing::Test {
protected:
  void SetUp() override {
    headless::Reset();
    SetMainThread();
    SetCommandLineArguments({});
    SetExecutableDirectory(appDir.Dir());  // settings and logs of this test only
    hFtdiLib.store(nullptr);
    hVxUsbLib.store(nullptr);
  }
  void TearDown() override {
    DestroyMainForm(form);
    SetExecutableDirectory("");
    SetCommandLineArguments({});
  }
  TMainForm& Create(std::vector<std::string> arguments = {}) { return CreateMainForm(form, std::move(arguments)); }
  // Both libraries present, so that start-up shows no box.
  static void PresetLibraries() {
    hFtdiLib.store(LoadFtdiLibrary(FixturePath("ftd2xx").c_str()));
    hVxUsbLib.store(LoadVxUsbLibrary(FixturePath("vxusb").c_str()));
    ASSERT_NE(hFtdiLib.load(), nullptr);
    ASSERT_NE(hVxUsbLib.load(), nullptr);
  }
  TempDir appDir;
  std::unique_ptr<TMainForm> form;
};

TEST_F(MainFormTest, ControlsMatchTheDesignInBothModes) {
  for (const bool external : {false, true}) {
    SCOPED_TRACE(external ? "external firmware" : "default");
    headless::Reset();
    PresetLibraries();
    TMainForm& f = Create(external ? std::vector<std::string>{"/EXTERNFIRMWARE"} : std::vector<std::string>{});
    f.Show();
    EXPECT_EQ(f.ClassName(), "TMainForm");
    EXPECT_EQ(f.Text(), "Обновление прошивки Вельмар");
    EXPECT_EQ(f.ClientWidth(), 664);
    EXPECT_EQ(f.ClientHeight(), 456);
    EXPECT_EQ(f.Constraints.MinWidth, 680);
    EXPECT_EQ(f.Font().Name, "Tahoma");
    EXPECT_EQ(f.Font().Height, 11);
    EXPECT_TRUE(f.Visible());
    EXPECT_TRUE(headless::MessageBoxes().empty());
    EXPECT_EQ(f.FExternalFirmware, external);

    for (const TRow& row : kControls) {
      SCOPED_TRACE(row.name);
      TControl* c = f.FindControl(row.name);
      ASSERT_NE(c, nullptr);
      ASSERT_NE(c->Parent(), nullptr);
      EXPECT_EQ(c->Parent()->Name(), row.parent);
      // The start-up load fills the two labels with the embedded image's
      // version and date; in external mode without a file they stay.
      if (!external && c == &f.lblFileVer) {
        EXPECT_EQ(c->Text(), "VXCR-1.9");
      } else if (!external && c == &f.lblFirmwDate) {
        EXPECT_EQ(c->Text(), "18-03-2014 11:01:30");
      } else {
        EXPECT_EQ(c->Text(), row.text);
      }
      EXPECT_EQ(c->Left(), row.l);
      EXPECT_EQ(c->Top(), row.t);
      EXPECT_EQ(c->Width(), row.w);
      EXPECT_EQ(c->Height(), row.h);
      EXPECT_EQ(c->Font().Name, "Tahoma");
      EXPECT_EQ(c->Font().Height, row.fontHeight);
      EXPECT_EQ(c->Font().Bold, row.bold);
      EXPECT_EQ(c->Anchors.Right, row.anchors.Right);
      EXPECT_EQ(c->Anchors.Left, row.anchors.Left);
      EXPECT_EQ(c->TabOrder, row.tabOrder);
      EXPECT_EQ(c->Visible(), row.shownInDefaultMode || external);
    }
    EXPECT_EQ(f.btnFwOpen.Hint(), "Открыть файл прошивки");
    EXPECT_TRUE(f.btnFwOpen.ShowHint());
    EXPECT_EQ(f.Label2.Alignment(), taRightJustify);
    EXPECT_EQ(f.lblFileVer.Alignment(), taRightJustify);
    EXPECT_EQ(f.GroupBox1.Align(), alTop);
    EXPECT_EQ(f.Splitter1.Align(), alBottom);
    EXPECT_EQ(f.reLog.Align(), alBottom);
    EXPECT_EQ(f.reLog.Font().Charset, RUSSIAN_CHARSET_VALUE);
    EXPECT_EQ(f.DevPanel.Constraints.MinHeight, 90);
    EXPECT_FALSE(f.edFWFile.AutoComplete);
    EXPECT_EQ(f.edFWFile.DropDownWidth(), 500);
    EXPECT_FALSE(f.cbAutoWrite.Checked());
    EXPECT_FALSE(f.cbWritelogToFile.Checked());
    EXPECT_EQ(f.DevTimer.Interval(), 100u);
    EXPECT_TRUE(f.DevTimer.Enabled());
    EXPECT_EQ(f.RescanTimer.Interval(), 3000u);
    EXPECT_FALSE(f.RescanTimer.Enabled());
    EXPECT_EQ(f.OpenDialog1.Filter, "Encode Raw binary|*.eraw|Raw binary|*.raw|Any files|*.*");
    form.reset();
  }
}

TEST_F(MainFormTest, ResizeKeepsTheGroupHeightTheAnchorsAndTheLogAtTheBottom) {
  PresetLibraries();
  TMainForm& f = Create({"externfirmware"});
  f.Show();
  f.SetClientSize(900, 700);
  struct TExpect {
    TControl* c;
    int l, t, w, h;
  } const expected[] = {
      {&f.GroupBox1, 3, 3, 894, 110},  {&f.edFWFile, 58, 36, 714, 21},     {&f.btnFwOpen, 779, 34, 25, 25},
      {&f.btnFwLoad, 809, 34, 75, 25}, {&f.Label2, 649, 63, 134, 19},      {&f.lblFileVer, 807, 66, 77, 16},
      {&f.cbWritelogToFile, 649, 87, 219, 17}, {&f.Label1, 8, 34, 44, 19}, {&f.Panel1, 0, 116, 900, 584},
      {&f.ScrollBox1, 0, 0, 900, 416}, {&f.DevPanel, 0, 0, 900, 416},     {&f.Splitter1, 0, 416, 900, 3},
      {&f.reLog, 0, 419, 900, 165},
  };
  for (const TExpect& e : expected) {
    SCOPED_TRACE(e.c->Name());
    EXPECT_EQ(e.c->Left(), e.l);
    EXPECT_EQ(e.c->Top(), e.t);
    EXPECT_EQ(e.c->Width(), e.w);
    EXPECT_EQ(e.c->Height(), e.h);
  }

  /* the minimum width holds */
  f.SetBounds(f.Left(), f.Top(), 500, f.Height());
  EXPECT_EQ(f.Width(), 680);
  EXPECT_EQ(f.btnFwLoad.Left(), 573);

  /* a small window still leaves DevPanel its minimum height: the box scrolls */
  f.SetClientSize(664, 300);
  EXPECT_EQ(f.ScrollBox1.Height(), 300 - 116 - 165 - 3);
  EXPECT_EQ(f.DevPanel.Height(), 90);
  EXPECT_EQ(f.ScrollBox1.ContentHeight(), 90);
}

TEST_F(MainFormTest, ConstructionAppliesTheCommandLine) {
  const std::string file = "vx_cmdline_test.eraw";
  std::FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fclose(out);
  struct {
    std::vector<std::string> args;
    bool external;
    std::string fileText;
  } const cases[] = {
      {{}, false, ""},
      {{"/EXTERNFIRMWARE"}, true, ""},
      {{"-" + file}, true, file},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args.back());
    TMainForm& f = Create(c.args);
    EXPECT_EQ(f.FExternalFirmware, c.external);
    EXPECT_EQ(f.edFWFile.Text(), c.fileText);
    form.reset();
  }
  std::remove(file.c_str());
}

TEST_F(MainFormTest, MissingDriverLibraries) {
  bool destroyed = false;

  /* only the D2XX library missing: one box, the window stays */
  hVxUsbLib.store(LoadVxUsbLibrary(FixturePath("vxusb").c_str()));
  ASSERT_NE(hVxUsbLib.load(), nullptr);
  {
    TMainForm& f = Create();
    f.Show();
    ASSERT_EQ(headless::MessageBoxes().size(), 1u);
    EXPECT_EQ(headless::MessageBoxes()[0].Text, "Драйвер устройств FTDI не установлен.");
    EXPECT_EQ(headless::MessageBoxes()[0].Caption, "Velmar Firmware Loader");
    EXPECT_EQ(headless::MessageBoxes()[0].Flags, kMbOk | kMbIconError);
    EXPECT_FALSE(f.Closed());
    EXPECT_TRUE(f.Visible());
    form.reset();
  }

  /* both missing: three boxes in order, the window closes, FormDestroy runs */
  headless::Reset();
  hVxUsbLib.store(nullptr);
  {
    TMainForm& f = Create();
    auto handler = f.OnDestroy;
    f.OnDestroy = [&, handler](void* s) {
      destroyed = true;
      handler(s);
    };
    f.Show();
    ASSERT_EQ(headless::MessageBoxes().size(), 3u);
    EXPECT_EQ(headless::MessageBoxes()[0].Text, "Драйвер устройств FTDI не установлен.");
    EXPECT_EQ(headless::MessageBoxes()[1].Text, "Драйвер устройств RQ не установлен.");
    EXPECT_EQ(headless::MessageBoxes()[2].Text,
              "Перед первым запуском программы подключите устройство к USB и установите драйвер.");
    for (const auto& box : headless::MessageBoxes()) EXPECT_EQ(box.Caption, "Velmar Firmware Loader");
    EXPECT_EQ(f.FUsbLibraryName, kVxUsbLibraryName);
    EXPECT_TRUE(f.Closed());
    EXPECT_FALSE(f.Visible());
    EXPECT_EQ(headless::QuitRequests(), 1);
    form.reset();
    EXPECT_TRUE(destroyed);
  }
}

TEST_F(MainFormTest, LoadersResolveEveryEntryPointOrNothing) {
  /* a library lacking one entry point counts as missing */
  EXPECT_EQ(LoadFtdiLibrary(FixturePath("ftd2xx_lacking").c_str()), nullptr);
  EXPECT_EQ(LoadVxUsbLibrary(FixturePath("vxusb_lacking").c_str()), nullptr);
  EXPECT_EQ(LoadFtdiLibrary(FixturePath("no_such_library").c_str()), nullptr);

  /* a complete one fills the whole table */
  TModuleHandle ftdi = LoadFtdiLibrary(FixturePath("ftd2xx").c_str());
  ASSERT_NE(ftdi, nullptr);
  EXPECT_NE(FtdiApi.ListDevices, nullptr);
  EXPECT_NE(FtdiApi.OpenEx, nullptr);
  EXPECT_NE(FtdiApi.Rescan, nullptr);
  TModuleHandle vx = LoadVxUsbLibrary(FixturePath("vxusb").c_str());
  ASSERT_NE(vx, nullptr);
  EXPECT_NE(VxUsbApi.GetListDevices, nullptr);
  EXPECT_NE(VxUsbApi.SetTimeouts, nullptr);

  /* loaded libraries are not loaded again and show no box */
  hFtdiLib.store(ftdi);
  hVxUsbLib.store(vx);
  TMainForm& f = Create();
  f.Show();
  EXPECT_TRUE(headless::MessageBoxes().empty());
  EXPECT_EQ(hFtdiLib.load(), ftdi);
  EXPECT_TRUE(f.FUsbLibraryName.empty());

  /* the re-scan timer calls FT_Rescan once and stops */
  using TCount = int(VX_WINAPI*)();
  auto count = reinterpret_cast<TCount>(FindLibrarySymbol(ftdi, "FixtureRescanCount"));
  ASSERT_NE(count, nullptr);
  const int before = count();
  f.RescanTimer.SetEnabled(true);
  headless::AdvanceTime(3000);
  EXPECT_EQ(count(), before + 1);
  EXPECT_FALSE(f.RescanTimer.Enabled());
  headless::AdvanceTime(10000);
  EXPECT_EQ(count(), before + 1);
}

TEST_F(MainFormTest, DeviceChangeReArmsTheOneShotDeviceTimer) {
  PresetLibraries();
  TMainForm& f = Create();
  std::vector<std::uint32_t> ticks;
  auto handler = f.DevTimer.OnTimer;
  f.DevTimer.OnTimer = [&, handler](void* s) {
    ticks.push_back(headless::Now());
    handler(s);
  };
  f.Show();

  /* first discovery 100 ms after creation, then nothing */
  headless::AdvanceTime(1000);
  EXPECT_EQ(ticks, (std::vector<std::uint32_t>{100}));
  EXPECT_FALSE(f.DevTimer.Enabled());

  /* a burst of ten notifications gives one tick 100 ms after the last */
  for (int i = 0; i < 10; ++i) {
    TMessage m{WM_DEVICECHANGE_MSG, DBT_DEVNODES_CHANGED_CODE, 0, 0};
    EXPECT_TRUE(f.Dispatch(m));
    headless::AdvanceTime(20);
  }
  headless::AdvanceTime(79);  // 99 ms after the last notification
  EXPECT_EQ(ticks.size(), 1u);
  headless::AdvanceTime(1);
  ASSERT_EQ(ticks.size(), 2u);
  EXPECT_EQ(ticks[1], 1000u + 9 * 20 + 100);
  headless::AdvanceTime(1000);
  EXPECT_EQ(ticks.size(), 2u);

  /* other event codes are handled and ignored */
  for (std::uintptr_t code : {0x8000u, 0x8004u, 0x0018u, 0u}) {
    TMessage m{WM_DEVICECHANGE_MSG, code, 0, 0};
    EXPECT_TRUE(f.Dispatch(m));
  }
  headless::AdvanceTime(1000);
  EXPECT_EQ(ticks.size(), 2u);

  /* the restore message restores the application; others pass on */
  const int restores = Application.Restores();
  TMessage restore{WM_RESTORE_INSTANCE, 0, 0, 0};
  EXPECT_TRUE(f.Dispatch(restore));
  EXPECT_EQ(Application.Restores(), restores + 1);
  TMessage other{WM_RESTORE_INSTANCE + 1, 0, 0, 0};
  EXPECT_FALSE(f.Dispatch(other));
}

TEST_F(MainFormTest, DestructionClosesEveryDeviceAndDeletesItsEntry) {
  PresetLibraries();
  using TCount = int(VX_WINAPI*)();
  auto closes = reinterpret_cast<TCount>(FindLibrarySymbol(hFtdiLib.load(), "FixtureCloseCount"));
  ASSERT_NE(closes, nullptr);
  const int before = closes();
  TMainForm& f = Create();
  int handle = 0;
  for (const char* serial : {"101", "102", "103"}) {
    auto entry = std::make_unique<TDevEntry>(serial, kFtdiDeviceCode, lbFtdi);
    if (serial[2] != '2') entry->FtHandle = &handle;  // 102 is not open
    f.FDevices.push_back(std::move(entry));
  }
  f.Show();
  form.reset();
  EXPECT_EQ(closes(), before + 2);
}

TEST_F(MainFormTest, LogLinesCarryTheDevicePrefixAndColour) {
  PresetLibraries();
  TMainForm& f = Create();
  f.DeviceLog(mkInfo, 0, "start");
  f.DeviceLogFmt(mkError, 42, "code %d", 7);
  f.LogFmt(mkSuccess, "%s", "done");
  f.DeviceLog(mkInfo, -1, "odd");
  ASSERT_EQ(f.reLog.LineCount(), 4u);
  EXPECT_EQ(f.reLog.Line(0), "Прибор -------\tstart");
  EXPECT_EQ(f.reLog.Line(1), "Прибор      42\tcode 7");
  EXPECT_EQ(f.reLog.Line(3), "Прибор      -1\todd");
  EXPECT_EQ(f.reLog.Runs()[0].Color, clBlack);
  EXPECT_EQ(f.reLog.Runs()[1].Color, clRed);
  EXPECT_EQ(f.reLog.Runs()[2].Color, clGreen);
}

TEST_F(MainFormTest, LinesHandedOverInOneTurnAreInTheLogAndTheFileWhenTheirWorkersGoOn) {
  PresetLibraries();
  TMainForm& f = Create();
  f.Show();
  f.cbWritelogToFile.SetChecked(true);
  const TLocalTime today = LocalTimeNow();
  const std::string file = FormatText("Logs%c%04d%02d%02d.log", kPathSeparator, today.Year, today.Month, today.Day);
  struct TCase {
    TMessageKind kind;
    int serial;
    const char* text;
    TColor color;
  };
  const TCase cases[] = {{mkInfo, 11, "первый", clBlack}, {mkError, 22, "второй", clRed}, {mkSuccess, 33, "третий", clGreen}};
  std::atomic<int> queued{0}, inFileOnReturn{0};
  class TOneLine : public TThread {
  public:
    TOneLine(const TCase& c, std::atomic<int>& queued, std::atomic<int>& seen, const TempDir& dir, std::string file)
        : FCase(c), FQueued(queued), FSeen(seen), FDir(dir), FFile(std::move(file)) {}

  protected:
    void Execute() override {
      ++FQueued;
      Synchronize([this] { MainForm->DeviceLog(FCase.kind, FCase.serial, FCase.text); });
      if (FDir.Read(FFile).find(FCase.text) != std::string::npos) ++FSeen;
    }

  private:
    const TCase& FCase;
    std::atomic<int>& FQueued;
    std::atomic<int>& FSeen;
    const TempDir& FDir;
    std::string FFile;
  };
  std::vector<std::unique_ptr<TOneLine>> workers;
  for (const TCase& c : cases) workers.push_back(std::make_unique<TOneLine>(c, queued, inFileOnReturn, appDir, file));
  const std::size_t before = f.reLog.LineCount();
  for (auto& w : workers) EXPECT_TRUE(w->Start());
  const std::uint32_t start = TickCount();
  while (queued.load() < 3 && TickCount() - start < 2000) SleepMs(1);
  SleepMs(30);
  ASSERT_TRUE(CheckSynchronize(0));
  for (auto& w : workers) w->WaitFor();

  /* each line once, in its colour; the file holds them in reLog's order */
  EXPECT_EQ(inFileOnReturn.load(), 3);
  ASSERT_EQ(f.reLog.LineCount(), before + 3);
  const std::string written = appDir.Read(file);
  std::size_t at = 0;
  for (std::size_t i = before; i < before + 3; ++i) {
    const std::string line = f.reLog.Line(i);
    const TCase* c = nullptr;
    for (const TCase& k : cases)
      if (line == DeviceLinePrefix(k.serial) + k.text) c = &k;
    ASSERT_NE(c, nullptr) << line;
    EXPECT_EQ(f.reLog.Runs()[i].Color, c->color);
    at = written.find("]\t" + line + "\r\n", at);
    EXPECT_NE(at, std::string::npos) << line;
  }

  /* a line logged outside a turn goes straight in as well */
  f.DeviceLog(mkInfo, 0, "прямо");
  EXPECT_EQ(f.reLog.Line(f.reLog.LineCount() - 1), "Прибор -------\tпрямо");
  EXPECT_NE(appDir.Read(file).find("прямо\r\n"), std::string::npos);
}

// A worker that logs through Synchronize until it is asked to stop.
class TLoggingWorker : public TThread {
public:
  std::atomic<int> lines{0};
  std::atomic<bool> waiting{false};

protected:
  void Execute() override {
    while (!Terminated()) {
      waiting = true;
      Synchronize([this] {
        MainForm->DeviceLog(mkInfo, 5, "step");
        ++lines;
      });
      SleepMs(2);
    }
  }
};

TEST_F(MainFormTest, ClosingWhileAWorkerWaitsInSynchronizeEndsCleanly) {
  PresetLibraries();
  Create();
  form->Show();
  auto* worker = new TLoggingWorker;
  worker->FreeOnTerminate = true;
  std::atomic<bool> ended{false};
  std::size_t linesAtEnd = 0;
  worker->OnTerminate = [&](TThread*) {
    ended = true;
    linesAtEnd = MainForm->reLog.LineCount();  // the controls are still alive
  };
  EXPECT_TRUE(worker->Start());
  const std::uint32_t start = TickCount();
  while (!worker->waiting.load() && TickCount() - start < 2000) SleepMs(1);

  form->Close();
  form.reset();  // FormDestroy stops the worker while serving its hand-overs
  EXPECT_TRUE(ended.load());
  EXPECT_GE(linesAtEnd, 1u);
  EXPECT_EQ(TThread::RunningCount(), 0);
}

}  // namespace
