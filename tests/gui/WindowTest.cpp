// The real main window under Windows (Wine and Xvfb in our runs): the window
// in this process, and the updater's executable started as its own process
// for start-up, single instance, missing libraries and the signature check.
#include <filesystem>
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "MainFormDesign.h"
#include "DisplayCheck.h"
#include "Win32Pump.h"
#include "link/DriverLibraries.h"
#include "platform/CodePage.h"
#include "platform/LocalTime.h"
#include "firmware/FirmwareImage.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/Ticks.h"
#include "ui/DevicePanel.h"
#include "ui/MainForm.h"
#include "ui/SettingsFile.h"
#include "platform/Files.h"
#include "TempDir.h"

namespace {

// A message box of the given process (0: any) that is open now.
struct TBox {
  HWND hwnd;
  std::wstring caption, text;
};

struct TBoxSearch {
  DWORD pid;
  std::vector<TBox> found;
};

BOOL CALLBACK CollectBox(HWND hwnd, LPARAM arg) {
  auto* s = reinterpret_cast<TBoxSearch*>(arg);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if ((s->pid == 0 || owner == s->pid) && IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770") {
    wchar_t text[1024] = {};
    GetDlgItemTextW(hwnd, 0xFFFF, text, 1024);
    s->found.push_back({hwnd, TextOf(hwnd), text});
  }
  return TRUE;
}

std::vector<TBox> OpenBoxes(DWORD pid) {
  TBoxSearch search{pid, {}};
  EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Answers the boxes of a process as they come, in order, with OK.
class TBoxAnswerer {
public:
  explicit TBoxAnswerer(DWORD pid) : FPid(pid), FThread([this] { Run(); }) {}
  ~TBoxAnswerer() {
    FStop = true;
    FThread.join();
  }
  std::vector<TBox> Boxes() {
    std::lock_guard lock(FMutex);
    return FBoxes;
  }
  std::size_t Count() {
    std::lock_guard lock(FMutex);
    return FBoxes.size();
  }

private:
  void Run() {
    HWND last = nullptr;
    while (!FStop) {
      for (const TBox& box : OpenBoxes(FPid)) {
        if (box.hwnd == last && IsWindow(last)) continue;
        {
          std::lock_guard lock(FMutex);
          FBoxes.push_back(box);
        }
        last = box.hwnd;
        PostMessageW(box.hwnd, WM_COMMAND, IDOK, 0);
      }
      Sleep(20);
    }
  }
  DWORD FPid;
  std::atomic<bool> FStop{false};
  std::mutex FMutex;
  std::vector<TBox> FBoxes;
  std::thread FThread;
};

const std::wstring kFtdiBox = W("Драйвер устройств FTDI не установлен.");
const std::wstring kVxUsbBox = W("Драйвер устройств RQ не установлен.");
const std::wstring kBothBox = W("Перед первым запуском программы подключите устройство к USB и установите драйвер.");
const std::wstring kCaption = W(kMainFormCaption);
const std::wstring kBoxCaption = W(kMessageCaption);

// Runs with a Western locale pass VX_EXPECT_FOREIGN_CODE_PAGE: there the
// system's code page must not be the Russian one, or they prove nothing.
void ExpectForeignCodePageWhenAsked() {
  std::printf("system ANSI code page: %u\n", GetACP());
  if (std::getenv("VX_EXPECT_FOREIGN_CODE_PAGE") != nullptr) {
    ASSERT_NE(GetACP(), 1251u) << "the locale did not take: this run needs an ANSI code page other than 1251";
  }
}

std::string Narrow(const std::wstring& text) {
  return Utf16ToCp1251(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

// The window's own handling of messages (the dialog keys among them) for
// `ms` milliseconds.
void AppPump(std::uint32_t ms) {
  const std::uint32_t start = TickCount();
  do {
    Application.ProcessMessages();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  } while (TickCount() - start < ms);
}

// A key pressed and released as the keyboard would, to the focused window of
// the main window. Other programs of the same Wine server may take the
// foreground meanwhile: the window is brought back first (its focus comes
// back with it).
void PressKey(WORD key, bool shift = false) {
  const HWND main = Application.MainForm != nullptr ? static_cast<HWND>(Application.MainForm->Handle()) : nullptr;
  if (main != nullptr && GetForegroundWindow() != main) {
    SetForegroundWindow(main);
    AppPump(50);
  }
  std::vector<INPUT> input;
  auto add = [&input](WORD k, bool up) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = k;
    i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    input.push_back(i);
  };
  if (shift) add(VK_SHIFT, false);
  add(key, false);
  add(key, true);
  if (shift) add(VK_SHIFT, true);
  SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
  AppPump(80);
}

// ---- the window in this process ----

class WindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetMainThread();
    SetCommandLineArguments({});
    SetExecutableDirectory(appDir.Dir());  // settings and logs of this test only
    hFtdiLib.store(LoadFtdiLibrary(FixturePath("ftd2xx").c_str()));
    hVxUsbLib.store(LoadVxUsbLibrary(FixturePath("vxusb").c_str()));
    ASSERT_NE(hFtdiLib.load(), nullptr);
    ASSERT_NE(hVxUsbLib.load(), nullptr);
  }
  void TearDown() override {
    DestroyMainForm(form);
    SetExecutableDirectory("");
    Pump(20);
  }
  TMainForm& Create(std::vector<std::string> arguments = {}) { return CreateMainForm(form, std::move(arguments)); }
  HWND Hwnd(const TControl& c) const { return static_cast<HWND>(c.Handle()); }
  TempDir appDir;
  std::unique_ptr<TMainForm> form;
};

std::wstring ExpectedClass(TControlKind kind) {
  switch (kind) {
    case ckGroupBox:
    case ckButton:
    case ckCheckBox: return L"Button";
    case ckLabel: return L"Static";
    case ckComboBox: return L"ComboBox";
    case ckPanel: return L"TVxPanel";
    case ckScrollBox: return L"TVxScrollBox";
    case ckSplitter: return L"TVxSplitter";
    case ckRichEdit: return L"RichEdit50W";
    default: return L"?";
  }
}

// Sets *second when a tooltip holds the hint of the button `first`.
BOOL CALLBACK FindHint(HWND tip, LPARAM arg) {
  auto* ctx = reinterpret_cast<std::pair<HWND, bool*>*>(arg);
  if (ClassOf(tip) != TOOLTIPS_CLASSW) return TRUE;
  wchar_t text[256] = {};
  TTTOOLINFOW ti{};
  ti.cbSize = TTTOOLINFOW_V1_SIZE;
  ti.hwnd = GetParent(ctx->first);
  ti.uId = reinterpret_cast<UINT_PTR>(ctx->first);
  ti.lpszText = text;
  SendMessageW(tip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&ti));
  if (W("Открыть файл прошивки") == text) *ctx->second = true;
  return TRUE;
}

TEST_F(WindowTest, EveryControlAsDesignedInBothModes) {
  for (const bool external : {false, true}) {
    SCOPED_TRACE(external ? "external firmware" : "default");
    // Each mode starts as designed, without the placement the other saved.
    form.reset();
    std::remove(appDir.File(kSettingsFileName).c_str());
    TMainForm& f = Create(external ? std::vector<std::string>{"-externfirmware"} : std::vector<std::string>{});
    f.Show();
    Pump(50);
    const HWND main = Hwnd(f);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(FindWindowW(L"TMainForm", kCaption.c_str()), main);
    EXPECT_EQ(ClassOf(main), L"TMainForm");
    EXPECT_EQ(TextOf(main), kCaption);
    EXPECT_TRUE(IsWindowVisible(main));
    RECT client;
    GetClientRect(main, &client);
    EXPECT_EQ(f.ClientWidth(), 664);
    EXPECT_EQ(client.right, 664);
    EXPECT_EQ(client.bottom, 456);
    EXPECT_EQ(GetClassLongPtrW(main, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));

    for (const TRow& row : kControls) {
      SCOPED_TRACE(row.name);
      TControl* c = f.FindControl(row.name);
      ASSERT_NE(c, nullptr);
      const HWND h = Hwnd(*c);
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(GetParent(h), Hwnd(*c->Parent()));
      EXPECT_EQ(ClassOf(h), ExpectedClass(c->Kind()));
      const RECT r = RectInParent(h);
      EXPECT_EQ(r.top, row.t);
      if (c->Kind() == ckLabel) {
        // Labels fit their text as measured here; the designed edge stays.
        const bool right = static_cast<TLabel*>(c)->Alignment() == taRightJustify;
        EXPECT_EQ(right ? r.right : r.left, right ? row.l + row.w : row.l);
        EXPECT_EQ(r.right - r.left, c->Width());
        EXPECT_EQ(r.bottom - r.top, c->Height());
        EXPECT_GT(c->Width(), 0);
      } else {
        EXPECT_EQ(r.left, row.l);
        EXPECT_EQ(r.right - r.left, row.w);
        EXPECT_EQ(r.bottom - r.top, row.h);
      }
      // The start-up load shows the embedded image's version and date; in
      // external mode without a file the labels keep their design text.
      if (!external && c == &f.lblFileVer) {
        EXPECT_EQ(TextOf(h), L"VXCR-1.9");
      } else if (!external && c == &f.lblFirmwDate) {
        EXPECT_EQ(TextOf(h), L"18-03-2014 11:01:30");
      } else if (c->Kind() != ckRichEdit) {
        EXPECT_EQ(TextOf(h), W(row.text));
      }
      if (c->Kind() == ckRichEdit) {
        // A rich text box keeps its font as the default character format.
        CHARFORMAT2W cf{};
        cf.cbSize = sizeof cf;
        SendMessageW(h, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&cf));
        EXPECT_STREQ(cf.szFaceName, L"Tahoma");
        EXPECT_EQ(cf.yHeight, row.fontHeight * 1440 / 96);
        EXPECT_EQ(cf.bCharSet, RUSSIAN_CHARSET);
      } else if (c->Kind() != ckPanel && c->Kind() != ckScrollBox && c->Kind() != ckSplitter) {
        LOGFONTW lf{};
        const auto font = reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0));
        ASSERT_NE(font, nullptr);
        GetObjectW(font, sizeof lf, &lf);
        EXPECT_STREQ(lf.lfFaceName, L"Tahoma");
        EXPECT_EQ(lf.lfHeight, -row.fontHeight);
        EXPECT_EQ(lf.lfWeight >= FW_BOLD, row.bold);
      }
      EXPECT_EQ(IsWindowVisible(h) != FALSE, row.shownInDefaultMode || external);
    }

    /* the log box has both scroll bars */
    const LONG_PTR style = GetWindowLongPtrW(Hwnd(f.reLog), GWL_STYLE);
    EXPECT_TRUE((style & WS_VSCROLL) && (style & WS_HSCROLL));

    /* tab order: the tab stops of the group box come first, in order */
    std::vector<HWND> order;
    for (HWND c = GetWindow(Hwnd(f.GroupBox1), GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) order.push_back(c);
    ASSERT_GE(order.size(), 5u);
    EXPECT_EQ(order[0], Hwnd(f.edFWFile));
    EXPECT_EQ(order[1], Hwnd(f.btnFwOpen));
    EXPECT_EQ(order[2], Hwnd(f.btnFwLoad));
    EXPECT_EQ(order[3], Hwnd(f.cbAutoWrite));
    EXPECT_EQ(order[4], Hwnd(f.cbWritelogToFile));
    EXPECT_EQ(GetWindow(main, GW_CHILD), Hwnd(f.GroupBox1));
    EXPECT_EQ(SendMessageW(Hwnd(f.edFWFile), CB_GETDROPPEDWIDTH, 0, 0), 500);

    /* the hint of the open button */
    bool hintFound = false;
    std::pair<HWND, bool*> hintSearch(Hwnd(f.btnFwOpen), &hintFound);
    EnumThreadWindows(GetCurrentThreadId(), FindHint, reinterpret_cast<LPARAM>(&hintSearch));
    EXPECT_TRUE(hintFound);
    form.reset();
  }
}

TEST_F(WindowTest, ResizeKeepsTheGroupHeightAnchorsAndTheLogAtTheBottom) {
  TMainForm& f = Create({"externfirmware"});
  f.Show();
  Pump(30);
  const HWND main = Hwnd(f);
  auto rightGap = [&](const TControl& c) {
    RECT parent;
    GetClientRect(GetParent(Hwnd(c)), &parent);
    return parent.right - RectInParent(Hwnd(c)).right;
  };
  const TControl* anchored[] = {&f.edFWFile, &f.btnFwOpen, &f.btnFwLoad, &f.Label2, &f.lblFileVer, &f.cbWritelogToFile};
  std::vector<int> gaps;
  for (const TControl* c : anchored) gaps.push_back(rightGap(*c));

  RECT outer{0, 0, 900, 700};
  AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(main, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(main, GWL_EXSTYLE)));
  SetWindowPos(main, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top, SWP_NOMOVE | SWP_NOZORDER);
  Pump(50);
  RECT client;
  GetClientRect(main, &client);
  ASSERT_EQ(client.right, 900);
  ASSERT_EQ(client.bottom, 700);

  const RECT group = RectInParent(Hwnd(f.GroupBox1));
  EXPECT_EQ(group.bottom - group.top, 110);
  EXPECT_EQ(group.left, 3);
  EXPECT_EQ(group.right, 897);
  for (std::size_t i = 0; i < std::size(anchored); ++i) {
    SCOPED_TRACE(anchored[i]->Name());
    EXPECT_EQ(rightGap(*anchored[i]), gaps[i]);
  }
  RECT panel;
  GetClientRect(Hwnd(f.Panel1), &panel);
  EXPECT_EQ(panel.bottom, 700 - 116);
  const RECT log = RectInParent(Hwnd(f.reLog));
  const RECT bar = RectInParent(Hwnd(f.Splitter1));
  const RECT box = RectInParent(Hwnd(f.ScrollBox1));
  EXPECT_EQ(log.bottom, panel.bottom);
  EXPECT_EQ(log.bottom - log.top, 165);
  EXPECT_EQ(log.right - log.left, 900);
  EXPECT_EQ(bar.bottom, log.top);
  EXPECT_EQ(bar.bottom - bar.top, 3);
  EXPECT_EQ(box.top, 0);
  EXPECT_EQ(box.bottom, bar.top);
  EXPECT_EQ(box.right - box.left, 900);

  /* the minimum width holds for a window sized by the program */
  SetWindowPos(main, nullptr, 0, 0, 500, outer.bottom - outer.top, SWP_NOMOVE | SWP_NOZORDER);
  Pump(30);
  RECT now;
  GetWindowRect(main, &now);
  EXPECT_EQ(now.right - now.left, 680);
  EXPECT_EQ(f.Width(), 680);
}

TEST_F(WindowTest, DeviceChangeReArmsTheOneShotDeviceTimer) {
  std::vector<std::uint32_t> ticks;
  const std::uint32_t created = TickCount();
  TMainForm& f = Create();
  auto handler = f.DevTimer.OnTimer;
  f.DevTimer.OnTimer = [&, handler](void* s) {
    ticks.push_back(TickCount());
    handler(s);
  };
  f.Show();
  Pump(500);
  ASSERT_EQ(ticks.size(), 1u);
  std::printf("first DevTimer tick %u ms after creation\n", ticks[0] - created);
  // The upper bounds leave room for a loaded machine (a timer message waits
  // its turn) while still telling a 100 ms timer from a longer one.
  EXPECT_GE(ticks[0] - created, 90u);
  EXPECT_LE(ticks[0] - created, 450u);

  /* a burst of ten notifications: one tick about 100 ms after the last */
  const HWND main = Hwnd(f);
  std::uint32_t last = 0;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(PostMessageW(main, WM_DEVICECHANGE, 7, 0));
    last = TickCount();
    Pump(10);
  }
  Pump(500);
  ASSERT_EQ(ticks.size(), 2u);
  std::printf("DevTimer tick %u ms after the last of ten notifications\n", ticks[1] - last);
  EXPECT_GE(ticks[1] - last, 90u);
  EXPECT_LE(ticks[1] - last, 450u);

  /* other event codes do nothing */
  for (WPARAM code : {0x8000u, 0x8004u, 0x0018u, 0u}) PostMessageW(main, WM_DEVICECHANGE, code, 0);
  Pump(400);
  EXPECT_EQ(ticks.size(), 2u);
}

TEST_F(WindowTest, DevicePanelsAreChildWindowsOfTheDeviceArea) {
  TMainForm& f = Create();
  f.DevTimer.SetEnabled(false);  // no discovery run adds devices of its own here
  f.Show();
  Pump(30);
  auto add = [&f](const char* serial) -> TDevEntry& {
    auto entry = std::make_unique<TDevEntry>(serial, kFtdiDeviceCode, lbFtdi);
    entry->InBootLoader = true;
    EXPECT_TRUE(entry->FirmwareVersion.Parse("VXCR-1.9"));
    EXPECT_TRUE(entry->LoaderVersion.Parse("VXBL-1.2"));
    TDevEntry& e = *entry;
    f.FDevices.push_back(std::move(entry));
    f.CreateDevicePanel(e);
    return e;
  };
  TDevEntry& first = add("1234567");
  TDevEntry& second = add("2");
  Pump(30);
  ASSERT_NE(first.Panel, nullptr);
  const TFWLoaderDevGroup& p = *first.Panel;
  const int area = f.DevPanel.Width();
  const int loaderLeft = std::max(area - 235, 423);

  /* the group box in DevPanel, the others in the group box */
  const HWND box = Hwnd(*p.GroupBox);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(GetParent(box), Hwnd(f.DevPanel));
  EXPECT_EQ(ClassOf(box), L"Button");
  EXPECT_EQ(GetWindowLongPtrW(box, GWL_STYLE) & BS_TYPEMASK, BS_GROUPBOX);
  EXPECT_EQ(TextOf(box), W("Прибор1234567"));
  RECT r = RectInParent(box);
  EXPECT_EQ(r.left, 3);
  EXPECT_EQ(r.top, 3);
  EXPECT_EQ(r.right - r.left, area - 6);
  EXPECT_EQ(r.bottom - r.top, 90);
  EXPECT_EQ(RectInParent(Hwnd(*second.Panel->GroupBox)).top, 99);
  struct {
    const TControl* c;
    const wchar_t* cls;
    const char* text;
    int left, top;
  } const children[] = {
      {p.lblSerialTitle.get(), L"Static", "Серийный номер:", 4, 16},
      {p.lblSerial.get(), L"Static", "1234567", 138, 19},
      {p.lblDevVerTitle.get(), L"Static", "Версия прошивки:", 209, 16},
      {p.lblDevVer.get(), L"Static", "VXCR-1.9", 347, 19},
      {p.lblLoaderVerTitle.get(), L"Static", "Версия загрузчика:", loaderLeft, 16},
      {p.lblLoaderVer.get(), L"Static", "VXBL-1.2", loaderLeft + 146, 19},
      {p.lblMessage.get(), L"Static", "Прибор подключен", 3, 38},
      {p.btnWrite.get(), L"Button", "Прошить", area - 6 - 102, 37},
      {p.ProgressBar.get(), L"msctls_progress32", "", 3, 67},
  };
  std::vector<HWND> windows{box};
  for (const auto& c : children) {
    SCOPED_TRACE(c.c->Name());
    const HWND h = Hwnd(*c.c);
    ASSERT_NE(h, nullptr);
    windows.push_back(h);
    EXPECT_EQ(GetParent(h), box);
    EXPECT_EQ(ClassOf(h), c.cls);
    EXPECT_EQ(TextOf(h), W(c.text));
    EXPECT_TRUE(IsWindowVisible(h));
    r = RectInParent(h);
    EXPECT_EQ(r.left, c.left);
    EXPECT_EQ(r.top, c.top);
    EXPECT_EQ(r.right - r.left, c.c->Width());
    EXPECT_EQ(r.bottom - r.top, c.c->Height());
    if (c.c->Kind() == ckLabel) {
      EXPECT_GT(c.c->Width(), 0);  // sized to the text as measured here
    }
  }
  EXPECT_EQ(RectInParent(Hwnd(*p.lblMessage)).right, RectInParent(Hwnd(*p.btnWrite)).left - 4 + 3);
  EXPECT_EQ(GetWindowLongPtrW(Hwnd(*p.lblMessage), GWL_STYLE) & SS_TYPEMASK, SS_CENTER);
  EXPECT_FALSE(IsWindowEnabled(Hwnd(*p.btnWrite)));

  /* fonts: 16 px titles, 13 px bold values, the message 16 px bold, the caption the window's */
  auto font = [](HWND h) {
    LOGFONTW lf{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)), sizeof lf, &lf);
    return lf;
  };
  EXPECT_EQ(font(Hwnd(*p.lblSerialTitle)).lfHeight, -16);
  EXPECT_LT(font(Hwnd(*p.lblSerialTitle)).lfWeight, FW_BOLD);
  EXPECT_EQ(font(Hwnd(*p.lblLoaderVer)).lfHeight, -13);
  EXPECT_GE(font(Hwnd(*p.lblLoaderVer)).lfWeight, FW_BOLD);
  EXPECT_EQ(font(Hwnd(*p.lblMessage)).lfHeight, -16);
  EXPECT_GE(font(Hwnd(*p.lblMessage)).lfWeight, FW_BOLD);
  EXPECT_STREQ(font(Hwnd(*p.lblMessage)).lfFaceName, L"Tahoma");
  EXPECT_EQ(font(box).lfHeight, -11);

  /* the progress bar shows its position */
  p.ProgressBar->SetPosition(40);
  EXPECT_EQ(SendMessageW(Hwnd(*p.ProgressBar), PBM_GETPOS, 0, 0), 40);
  EXPECT_EQ(SendMessageW(Hwnd(*p.ProgressBar), PBM_GETRANGE, FALSE, 0), 100);
  /* steps in a row reach a shown bar together, a little later; a question
     from another thread (as another program would ask) gets the last one
     first */
  for (int position = 41; position <= 60; ++position) p.ProgressBar->SetPosition(position);
  std::atomic<LRESULT> asked{-1};
  const HWND bar = Hwnd(*p.ProgressBar);
  std::thread reader([&] { asked = SendMessageW(bar, PBM_GETPOS, 0, 0); });
  const std::uint32_t askedAt = TickCount();
  while (TickCount() - askedAt < 2000 && asked < 0) Pump(5);
  reader.join();
  EXPECT_EQ(asked.load(), 60);
  p.ProgressBar->SetPosition(70);
  Pump(250);
  EXPECT_EQ(SendMessageW(Hwnd(*p.ProgressBar), PBM_GETPOS, 0, 0), 70);

  /* the message label paints in the colour of the message's kind */
  const HWND message = Hwnd(*p.lblMessage);
  struct {
    TMessageKind kind;
    COLORREF color;
  } const colours[] = {{mkError, RGB(255, 0, 0)}, {mkSuccess, RGB(0, 128, 0)}, {mkInfo, GetSysColor(COLOR_WINDOWTEXT)}};
  for (const auto& c : colours) {
    f.SetDeviceMessage(first, "Сообщение", c.kind);
    Pump(20);
    EXPECT_EQ(TextOf(message), W("Сообщение"));
    const HDC dc = GetDC(message);
    SendMessageW(box, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(message));
    EXPECT_EQ(GetTextColor(dc), c.color) << static_cast<int>(c.kind);
    ReleaseDC(message, dc);
  }

  /* deleting the entry removes its windows; the panel below moves up */
  RemoveDevice(f.FDevices, &first);
  Pump(20);
  for (const HWND h : windows) EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(RectInParent(Hwnd(*second.Panel->GroupBox)).top, 3);
}

class TSyncOnceThread : public TThread {
public:
  std::atomic<bool> served{false};
  std::thread::id servedOn;

protected:
  void Execute() override {
    // Wait for the box, then hand a call over while it is open.
    while (OpenBoxes(GetCurrentProcessId()).empty()) Sleep(10);
    Synchronize([this] {
      servedOn = std::this_thread::get_id();
      served = true;
    });
    for (const TBox& box : OpenBoxes(GetCurrentProcessId())) PostMessageW(box.hwnd, WM_COMMAND, IDOK, 0);
  }
};

TEST_F(WindowTest, AnOpenMessageBoxStillServesSynchronize) {
  TMainForm& f = Create();
  f.Show();
  TSyncOnceThread worker;
  EXPECT_TRUE(worker.Start());
  // Should the hand-over not be served, a watchdog ends the box with Cancel.
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 500 && !done; ++i) Sleep(10);
    for (const TBox& box : OpenBoxes(GetCurrentProcessId())) PostMessageW(box.hwnd, WM_COMMAND, IDCANCEL, 0);
  });
  const int answer = ShowMessageBox(&f, "Проверка", "Velmar Firmware Loader", kMbOkCancel | kMbIconInformation);
  done = true;
  watchdog.join();
  worker.WaitFor();
  EXPECT_EQ(answer, kIdOk);
  EXPECT_TRUE(worker.served.load());
  EXPECT_EQ(worker.servedOn, std::this_thread::get_id());
}

class TLoggingThread : public TThread {
public:
  std::atomic<int> lines{0};

protected:
  void Execute() override {
    while (!Terminated()) {
      Synchronize([this] {
        MainForm->DeviceLog(mkInfo, 7, "step");
        ++lines;
      });
      Sleep(1);
    }
    Synchronize([] { MainForm->DeviceLog(mkInfo, 7, "stopped"); });
  }
};

TEST_F(WindowTest, ClosingWhileAWorkerWaitsInSynchronizeNeitherHangsNorCrashes) {
  TMainForm& f = Create();
  auto* worker = new TLoggingThread;
  worker->FreeOnTerminate = true;
  std::atomic<bool> ended{false};
  worker->OnTerminate = [&](TThread*) { ended = true; };
  EXPECT_TRUE(worker->Start());
  const HWND main = Hwnd(f);
  std::thread closer([main] {
    Sleep(300);
    PostMessageW(main, WM_CLOSE, 0, 0);
  });
  Application.Run();  // shows the window, serves the worker, ends on close
  closer.join();
  EXPECT_FALSE(ended.load());  // still running: blocked in its next hand-over
  const std::uint32_t start = TickCount();
  form.reset();
  EXPECT_LT(TickCount() - start, 3000u);
  EXPECT_TRUE(ended.load());
  EXPECT_EQ(TThread::RunningCount(), 0);
}

TEST_F(WindowTest, BothLibrariesMissingInThisProcess) {
  // This program's directory holds no driver library.
  hFtdiLib.store(nullptr);
  hVxUsbLib.store(nullptr);
  TMainForm& f = Create();
  bool destroyed = false;
  auto handler = f.OnDestroy;
  f.OnDestroy = [&, handler](void* s) {
    destroyed = true;
    handler(s);
  };
  TBoxAnswerer answerer(GetCurrentProcessId());
  Application.Run();  // three boxes, then the window closes itself
  const std::vector<TBox> boxes = answerer.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, kFtdiBox);
  EXPECT_EQ(boxes[1].text, kVxUsbBox);
  EXPECT_EQ(boxes[2].text, kBothBox);
  for (const TBox& b : boxes) EXPECT_EQ(b.caption, kBoxCaption);
  EXPECT_FALSE(IsWindowVisible(Hwnd(f)));
  form.reset();
  EXPECT_TRUE(destroyed);
}

TEST_F(WindowTest, AnErrorInAnEventHandlerIsShownAndTheWindowGoesOn) {
  TMainForm& f = Create({"externfirmware"});
  f.Show();
  Application.Title = kMessageCaption;
  f.btnFwLoad.OnClick = [](void*) { throw std::runtime_error("Ошибка обработчика"); };
  TBoxAnswerer answerer(GetCurrentProcessId());
  SendMessageW(Hwnd(f.btnFwLoad), BM_CLICK, 0, 0);
  Pump(200);
  const std::vector<TBox> boxes = answerer.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, W("Ошибка обработчика"));
  EXPECT_EQ(boxes[0].caption, kBoxCaption);
  EXPECT_TRUE(IsWindowVisible(Hwnd(f)));
}

// ---- the operation log and the file dialog in the real window ----

COLORREF ColourAt(HWND edit, int start, int length) {
  CHARRANGE keep{}, range{start, start + length};
  SendMessageW(edit, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&keep));
  SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
  CHARFORMAT2W cf{};
  cf.cbSize = sizeof cf;
  SendMessageW(edit, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
  SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&keep));
  return cf.crTextColor;
}

std::string ReadAll(const std::string& path) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return std::string();
  std::string bytes;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) bytes.append(buffer, n);
  std::fclose(in);
  return bytes;
}

TEST_F(WindowTest, LogColoursTheSelectionAndTheDailyFile) {
  TMainForm& f = Create();
  f.Show();
  Pump(20);
  const HWND edit = Hwnd(f.reLog);
  f.cbWritelogToFile.SetChecked(true);
  GETTEXTLENGTHEX count{GTL_NUMCHARS | GTL_PRECISE, 1200};
  auto length = [&] { return static_cast<int>(SendMessageW(edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&count), 0)); };

  const int start = length();
  f.DeviceLog(mkError, 1234567, "ошибка");
  f.DeviceLog(mkSuccess, 42, "готово");
  f.DeviceLog(mkInfo, 0, "обычная");
  const int lineLength = static_cast<int>(std::string("Прибор 1234567\tошибка").size());
  EXPECT_EQ(ColourAt(edit, start, lineLength), RGB(255, 0, 0));
  EXPECT_EQ(ColourAt(edit, start + lineLength + 1, 10), RGB(0, 128, 0));
  EXPECT_EQ(ColourAt(edit, length() - 8, 7), RGB(0, 0, 0));

  /* the user's own selection stays */
  CHARRANGE chosen{2, 9};
  SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&chosen));
  f.DeviceLog(mkError, 7, "x");
  CHARRANGE now{};
  SendMessageW(edit, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&now));
  EXPECT_EQ(now.cpMin, 2);
  EXPECT_EQ(now.cpMax, 9);

  /* the day's file, Windows-1251, CR LF */
  const TLocalTime today = LocalTimeNow();
  char name[32];
  std::snprintf(name, sizeof name, "Logs\\%04d%02d%02d.log", today.Year, today.Month, today.Day);
  const std::string path = appDir.Dir() + name;
  const std::string written = ReadAll(path);
  EXPECT_NE(written.find("]\tПрибор 1234567\tошибка\r\n"), std::string::npos) << written;
  EXPECT_NE(written.find("]\tПрибор      42\tготово\r\n"), std::string::npos);

  /* a reader that keeps the file open does not stop the log */
  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  f.DeviceLog(mkInfo, 0, "while read");
  CloseHandle(reader);
  EXPECT_NE(ReadAll(path).find("while read\r\n"), std::string::npos);

  /* one that denies writing (taken once the window has let the file go, at
     most a second after it opened it): the file gets nothing, reLog every
     line */
  Pump(kLogFileHoldMs + 300);
  HANDLE locker = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locker, INVALID_HANDLE_VALUE);
  const std::size_t lines = f.reLog.LineCount();
  f.DeviceLog(mkInfo, 0, "while locked");
  CloseHandle(locker);
  EXPECT_EQ(ReadAll(path).find("while locked"), std::string::npos);
  EXPECT_EQ(f.reLog.LineCount(), lines + 1);
  f.DeviceLog(mkInfo, 0, "after");
  EXPECT_NE(ReadAll(path).find("after\r\n"), std::string::npos);
}

// Workers hand over one line each; the window thread serves them in one turn.
class TOneLineThread : public TThread {
public:
  TOneLineThread(TMessageKind kind, int serial, std::string text, std::atomic<int>& queued)
      : FKind(kind), FSerial(serial), FText(std::move(text)), FQueued(queued) {}

protected:
  void Execute() override {
    ++FQueued;
    Synchronize([this] { MainForm->DeviceLog(FKind, FSerial, FText.c_str()); });
  }

private:
  TMessageKind FKind;
  int FSerial;
  std::string FText;
  std::atomic<int>& FQueued;
};

void LogInOneTurn(const std::vector<std::tuple<TMessageKind, int, std::string>>& lines) {
  std::atomic<int> queued{0};
  std::vector<std::unique_ptr<TOneLineThread>> workers;
  for (const auto& [kind, serial, text] : lines) workers.push_back(std::make_unique<TOneLineThread>(kind, serial, text, queued));
  for (auto& w : workers) EXPECT_TRUE(w->Start());
  const std::uint32_t start = TickCount();
  while (queued.load() < static_cast<int>(lines.size()) && TickCount() - start < 2000) Sleep(1);
  Sleep(30);  // every call is queued by now
  ASSERT_TRUE(CheckSynchronize(0));
  for (auto& w : workers) w->WaitFor();
}

TEST_F(WindowTest, LinesOfOneTurnReachTheControlInOrderAndColourAndLeaveTheFileFree) {
  TMainForm& f = Create();
  f.Show();
  Pump(20);
  const HWND edit = Hwnd(f.reLog);
  f.cbWritelogToFile.SetChecked(true);
  f.DeviceLog(mkInfo, 0, "начало журнала");
  GETTEXTLENGTHEX count{GTL_NUMCHARS | GTL_PRECISE, 1200};
  auto length = [&] { return static_cast<int>(SendMessageW(edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&count), 0)); };
  auto selection = [&] {
    CHARRANGE r{};
    SendMessageW(edit, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&r));
    return std::pair<int, int>(r.cpMin, r.cpMax);
  };

  /* the user's selection stays; every line in its place and colour */
  CHARRANGE chosen{2, 9};
  SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&chosen));
  const std::size_t mark = f.reLog.LineCount();
  LogInOneTurn({{mkError, 11, "красная"}, {mkInfo, 22, "чёрная"}, {mkSuccess, 33, "зелёная"}, {mkInfo, 44, "ещё"}});
  EXPECT_EQ(selection(), std::make_pair(2, 9));
  ASSERT_EQ(f.reLog.LineCount(), mark + 4);
  EXPECT_EQ(length(), static_cast<int>(f.reLog.Content().size()));
  const std::u16string shown = [&] {
    std::wstring w(static_cast<std::size_t>(length()) + 1, L'\0');
    TEXTRANGEW range{{0, length()}, w.data()};
    SendMessageW(edit, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&range));
    w.resize(static_cast<std::size_t>(length()));
    return std::u16string(w.begin(), w.end());
  }();
  EXPECT_EQ(Utf16ToCp1251(shown), f.reLog.Content());
  for (std::size_t i = mark; i < mark + 4; ++i) {
    const TRichEdit::TRun& run = f.reLog.Runs()[i];
    const COLORREF expected = run.Color == clRed ? RGB(255, 0, 0) : run.Color == clGreen ? RGB(0, 128, 0) : RGB(0, 0, 0);
    EXPECT_EQ(ColourAt(edit, run.Start, run.Length), expected) << f.reLog.Line(i);
  }

  /* with the caret at the end, the caret follows the new lines */
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  LogInOneTurn({{mkInfo, 55, "после"}, {mkError, 66, "в конце"}});
  EXPECT_EQ(selection(), std::make_pair(length(), length()));

  /* every line is in the file at once; a second after the window opened
     the file it lets it go: a program may then open it denying writers */
  const TLocalTime today = LocalTimeNow();
  char name[32];
  std::snprintf(name, sizeof name, "Logs\\%04d%02d%02d.log", today.Year, today.Month, today.Day);
  const std::string path = appDir.Dir() + name;
  EXPECT_NE(ReadAll(path).find("]\t" + f.reLog.Line(f.reLog.LineCount() - 1) + "\r\n"), std::string::npos);
  Pump(kLogFileHoldMs + 300);
  HANDLE locker = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(locker, INVALID_HANDLE_VALUE);
  if (locker != INVALID_HANDLE_VALUE) CloseHandle(locker);
  const std::string written = ReadAll(path);
  std::size_t at = 0;
  for (std::size_t i = mark; i < f.reLog.LineCount(); ++i) {
    at = written.find("]\t" + f.reLog.Line(i) + "\r\n", at);
    EXPECT_NE(at, std::string::npos) << f.reLog.Line(i);
  }
}

// A busy log's lines reach the control at its next repaint; any question
// put to the control before that, from this thread or another (as another
// program would ask), gets them in first, in order, colour and selection.
TEST_F(WindowTest, LinesWaitingForTheRepaintAreThereForEveryReader) {
  TMainForm& f = Create();
  f.Show();
  Pump(20);
  const HWND edit = Hwnd(f.reLog);
  f.DeviceLog(mkInfo, 0, "начало журнала");
  Pump(300);  // the first line's repaint is over
  CHARRANGE chosen{1, 4};
  SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&chosen));

  // More lines of one colour than one replacement takes, then two more runs.
  std::vector<std::tuple<TMessageKind, int, std::string>> lines;
  for (int i = 0; i < 150; ++i)
    lines.emplace_back(i < 70 ? mkInfo : i < 130 ? mkError : mkSuccess, 100 + i, "строка " + std::to_string(i));
  const std::size_t mark = f.reLog.LineCount();
  LogInOneTurn(lines);
  LogInOneTurn({{mkInfo, 7, "вторая очередь"}});
  ASSERT_EQ(f.reLog.LineCount(), mark + 151);

  std::atomic<LRESULT> seen{-1};
  std::thread reader([&] {
    GETTEXTLENGTHEX count{GTL_NUMCHARS | GTL_PRECISE, 1200};
    seen = SendMessageW(edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&count), 0);
  });
  PumpUntil([&] { return seen.load() >= 0; }, 5000);
  reader.join();
  EXPECT_EQ(seen.load(), static_cast<LRESULT>(f.reLog.Content().size()));

  CHARRANGE now{};
  SendMessageW(edit, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&now));
  EXPECT_EQ(now.cpMin, 1);
  EXPECT_EQ(now.cpMax, 4);
  for (std::size_t i = mark; i < f.reLog.LineCount(); ++i) {
    const TRichEdit::TRun& run = f.reLog.Runs()[i];
    const COLORREF expected = run.Color == clRed ? RGB(255, 0, 0) : run.Color == clGreen ? RGB(0, 128, 0) : RGB(0, 0, 0);
    ASSERT_EQ(ColourAt(edit, run.Start, run.Length), expected) << f.reLog.Line(i);
  }
  std::wstring w(f.reLog.Content().size() + 1, L'\0');
  TEXTRANGEW range{{0, static_cast<LONG>(f.reLog.Content().size())}, w.data()};
  SendMessageW(edit, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&range));
  w.resize(f.reLog.Content().size());
  EXPECT_EQ(Utf16ToCp1251(std::u16string(w.begin(), w.end())), f.reLog.Content());
}

// Finds the open dialog of this process, reads its file-type list, types a
// file name and presses OK (or cancels).
struct DialogDriver {
  std::vector<std::wstring> types;
  std::thread worker;

  DialogDriver(std::wstring file, bool accept) {
    worker = std::thread([this, file, accept] {
      HWND dialog = nullptr;
      for (int i = 0; i < 500 && dialog == nullptr; ++i) {
        dialog = FindWindowW(L"#32770", nullptr);
        if (dialog != nullptr) {
          DWORD pid = 0;
          GetWindowThreadProcessId(dialog, &pid);
          if (pid != GetCurrentProcessId()) dialog = nullptr;
        }
        if (dialog == nullptr) Sleep(10);
      }
      if (dialog == nullptr) return;
      Sleep(200);
      const HWND typeBox = GetDlgItem(dialog, 0x470);  // the file-type list
      const int n = static_cast<int>(SendMessageW(typeBox, CB_GETCOUNT, 0, 0));
      for (int k = 0; k < n; ++k) {
        wchar_t text[256] = {};
        SendMessageW(typeBox, CB_GETLBTEXT, k, reinterpret_cast<LPARAM>(text));
        types.emplace_back(text);
      }
      if (accept) {
        HWND nameBox = GetDlgItem(dialog, 0x47C);  // the file name
        if (nameBox == nullptr) nameBox = GetDlgItem(dialog, 0x480);
        SendMessageW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.c_str()));
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      } else {
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      }
    });
  }
  // The list read from the dialog, once the driver is done with it.
  std::vector<std::wstring> Types() {
    if (worker.joinable()) worker.join();
    return types;
  }
  ~DialogDriver() {
    if (worker.joinable()) worker.join();
  }
};

TEST_F(WindowTest, FileDialogShowsTheTypesAndLoadsTheChosenFile) {
  std::vector<std::uint8_t> payload(16, 0x42), image;
  std::string error;
  ASSERT_TRUE(BuildFirmwareImage("ZARU-3.7", std::string("01.01.2022 12:00:00"), payload.data(), payload.size(),
                                 image, error));
  appDir.Write("chosen.raw", image);
  TMainForm& f = Create({"-externfirmware"});
  f.Show();
  Pump(20);
  {
    DialogDriver cancel(L"", false);
    f.btnFwOpen.Click();
  }
  EXPECT_EQ(f.lblFileVer.Text(), "Неизвестна");
  std::vector<std::wstring> types;
  {
    DialogDriver choose(W(appDir.File("chosen.raw")), true);
    f.btnFwOpen.Click();
    types = choose.Types();
  }
  EXPECT_EQ(types, (std::vector<std::wstring>{L"Encode Raw binary", L"Raw binary", L"Any files"}));
  EXPECT_EQ(f.lblFileVer.Text(), "ZARU-3.7");
  EXPECT_EQ(TextOf(Hwnd(f.lblFileVer)), L"ZARU-3.7");
  ASSERT_FALSE(f.edFWFile.Items().empty());
  EXPECT_EQ(f.edFWFile.Items().front(), appDir.File("chosen.raw"));
}

// ---- the keyboard ----

TEST_F(WindowTest, TabGoesThroughEveryControlIntoTheLogAndThePanelsAndBack) {
  TMainForm& f = Create({"-externfirmware"});
  f.DevTimer.SetEnabled(false);  // the devices here are the test's own
  f.Show();
  AppPump(50);
  auto add = [&f](const char* serial, bool bootLoader) -> TDevEntry& {
    auto entry = std::make_unique<TDevEntry>(serial, kFtdiDeviceCode, lbFtdi);
    entry->InBootLoader = bootLoader;
    TDevEntry& e = *entry;
    f.FDevices.push_back(std::move(entry));
    f.CreateDevicePanel(e);
    e.Panel->btnWrite->SetEnabled(bootLoader);
    return e;
  };
  TDevEntry& first = add("11", true);
  add("12", false);  // in its firmware: its button is disabled and skipped
  TDevEntry& third = add("13", true);
  TSizeConstraints limits = f.DevPanel.Constraints;
  limits.MinHeight = TFWLoaderDevGroup::kPitch * 3;  // as a run's end sets it
  f.DevPanel.SetConstraints(limits);
  for (int i = 0; i < 5; ++i) f.DeviceLog(mkInfo, 0, "строка журнала");
  AppPump(50);
  const HWND main = Hwnd(f);
  SetForegroundWindow(main);
  AppPump(100);
  ASSERT_EQ(GetForegroundWindow(), main);

  struct TStop {
    const char* name;
    HWND hwnd;
  };
  const std::vector<TStop> order = {
      {"edFWFile", Hwnd(f.edFWFile)},        {"btnFwOpen", Hwnd(f.btnFwOpen)},
      {"btnFwLoad", Hwnd(f.btnFwLoad)},      {"cbAutoWrite", Hwnd(f.cbAutoWrite)},
      {"cbWritelogToFile", Hwnd(f.cbWritelogToFile)}, {"reLog", Hwnd(f.reLog)},
      {"device 11", Hwnd(*first.Panel->btnWrite)},   {"device 13", Hwnd(*third.Panel->btnWrite)},
  };
  // The name of the stop that has the focus (the combo box's edit field
  // counts as the combo box).
  auto focused = [&]() -> std::string {
    const HWND focus = GetFocus();
    for (const TStop& stop : order)
      if (focus == stop.hwnd || IsChild(stop.hwnd, focus)) return stop.name;
    return focus == nullptr ? "nothing" : "another window (" + Narrow(ClassOf(focus)) + ")";
  };

  /* shown: the focus is on the first control */
  EXPECT_EQ(focused(), "edFWFile");
  const std::size_t logLength = f.reLog.Content().size();
  const int logChars = GetWindowTextLengthW(Hwnd(f.reLog));

  /* Tab through the whole order and round to the start again */
  for (std::size_t i = 1; i <= order.size(); ++i) {
    PressKey(VK_TAB);
    EXPECT_EQ(focused(), order[i % order.size()].name) << "after Tab " << i;
  }
  /* Shift+Tab back through it */
  for (std::size_t i = 1; i <= order.size(); ++i) {
    PressKey(VK_TAB, true);
    EXPECT_EQ(focused(), order[(order.size() * 2 - i) % order.size()].name) << "after Shift+Tab " << i;
  }
  /* Tab typed nothing into the log */
  EXPECT_EQ(GetWindowTextLengthW(Hwnd(f.reLog)), logChars);
  EXPECT_EQ(f.reLog.Content().size(), logLength);

  /* in the log the arrow keys are the text box's own */
  SetFocus(Hwnd(f.reLog));
  AppPump(30);
  SendMessageW(Hwnd(f.reLog), EM_SETSEL, 0, 0);
  PressKey(VK_DOWN);
  CHARRANGE caret{};
  SendMessageW(Hwnd(f.reLog), EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&caret));
  EXPECT_GT(caret.cpMin, 0);
  EXPECT_EQ(focused(), "reLog");

  /* a panel scrolled out of view comes into it when its button gets the focus */
  const HWND box = Hwnd(f.ScrollBox1);
  PressKey(VK_TAB);
  PressKey(VK_TAB);
  ASSERT_EQ(focused(), "device 13");
  RECT button, client;
  GetWindowRect(order[7].hwnd, &button);
  MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&button), 2);
  GetClientRect(box, &client);
  EXPECT_GT(f.ScrollBox1.ScrollOffset(), 0);
  EXPECT_GE(button.top, 0);
  EXPECT_LE(button.bottom, client.bottom);

  /* minimised and restored: the focus goes back to the control that had it */
  PressKey(VK_TAB);
  PressKey(VK_TAB);
  PressKey(VK_TAB);
  ASSERT_EQ(focused(), "btnFwLoad");
  ShowWindow(main, SW_MINIMIZE);
  AppPump(200);
  ASSERT_TRUE(IsIconic(main));
  ShowWindow(main, SW_RESTORE);
  AppPump(200);
  EXPECT_EQ(focused(), "btnFwLoad");
  /* the same when a second copy restores it (its two posted messages) */
  ShowWindow(main, SW_MINIMIZE);
  AppPump(200);
  PostMessageW(main, WM_RESTORE_INSTANCE, 0, 0);
  PostMessageW(main, WM_SETFOCUS, 0, 0);
  AppPump(300);
  EXPECT_FALSE(IsIconic(main));
  EXPECT_EQ(focused(), "btnFwLoad");

  /* another window activated and this one again: back on a panel's button */
  SetFocus(order[6].hwnd);
  AppPump(30);
  ASSERT_EQ(focused(), "device 11");
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  SetForegroundWindow(other);
  AppPump(200);
  EXPECT_NE(GetActiveWindow(), main);
  EXPECT_NE(focused(), "device 11");
  SetForegroundWindow(main);
  AppPump(200);
  EXPECT_EQ(focused(), "device 11");
  DestroyWindow(other);
  AppPump(50);

  /* a focused button that is disabled (its flash starts) hands the focus on */
  SetForegroundWindow(main);
  SetFocus(order[6].hwnd);
  AppPump(30);
  first.Panel->btnWrite->SetEnabled(false);
  AppPump(30);
  EXPECT_EQ(focused(), "device 13");
}

TEST_F(WindowTest, TheFileDialogOpensCyrillicFoldersAndRefusesNamesOutsideWindows1251) {
  ExpectForeignCodePageWhenAsked();
  std::vector<std::uint8_t> payload(16, 0x42), image;
  std::string error;
  ASSERT_TRUE(BuildFirmwareImage("ZARU-3.8", std::string("01.01.2022 12:00:00"), payload.data(), payload.size(),
                                 image, error));
  const std::wstring dir = W(appDir.Dir());
  const std::wstring folder = dir + L"Прошивки";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  auto write = [&image](const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, image.data(), static_cast<DWORD>(image.size()), &written, nullptr);
    CloseHandle(h);
  };
  write(folder + L"\\образ.eraw");
  write(dir + L"\u4E2D\u03A9.eraw");  // letters Windows-1251 has no place for

  TMainForm& f = Create({"-externfirmware"});
  f.Show();
  Pump(20);
  /* a Cyrillic folder and name: found, loaded and remembered */
  {
    DialogDriver choose(folder + L"\\образ.eraw", true);
    f.btnFwOpen.Click();
  }
  const std::string chosen = appDir.Dir() + "Прошивки\\образ.eraw";
  EXPECT_EQ(f.edFWFile.Text(), chosen);
  EXPECT_EQ(f.lblFileVer.Text(), "ZARU-3.8");
  ASSERT_FALSE(f.edFWFile.Items().empty());
  EXPECT_EQ(f.edFWFile.Items().front(), chosen);

  /* a name outside Windows-1251: a clear line naming it, nothing opened */
  {
    DialogDriver choose(dir + L"\u4E2D\u03A9.eraw", true);
    f.btnFwOpen.Click();
  }
  EXPECT_EQ(f.edFWFile.Text(), chosen);
  const std::size_t n = f.reLog.LineCount();
  ASSERT_GE(n, 2u);
  EXPECT_EQ(f.reLog.Line(n - 2), "Прибор -------\tЗагрузка прошивки: Имя файла " + appDir.Dir() +
                                     "??.eraw содержит знаки, которых нет в кодировке Windows-1251");
  EXPECT_EQ(f.reLog.Line(n - 1), "Прибор -------\tОшибка загрузки прошивки");
  EXPECT_EQ(f.edFWFile.Items().size(), 1u);

  /* the settings keep the Cyrillic path in Windows-1251 */
  DestroyMainForm(form);
  const std::string ini = ReadAll(appDir.File(kSettingsFileName));
  EXPECT_NE(ini.find("LastFile=" + chosen + "\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("0=" + chosen + "\r\n"), std::string::npos) << ini;
}

// ---- the updater's executable ----

std::wstring AppDir() { return WindowsPath(VX_APP_DIR) + L"\\"; }
std::wstring FixtureFile(const std::string& variant) { return W(FixturePath(variant)); }

// A directory of its own with a copy of the updater and the given libraries.
class TStage {
public:
  TStage(const wchar_t* exe, std::vector<std::pair<std::string, const wchar_t*>> libraries,
         const std::wstring& folder = L"") {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    FDir = std::wstring(temp) + L"vxstage" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter) +
           folder;
    CreateDirectoryW(FDir.c_str(), nullptr);
    FExe = FDir + L"\\vxfwloader.exe";
    CopyFileW((AppDir() + exe).c_str(), FExe.c_str(), FALSE);
    for (const auto& [variant, name] : libraries) CopyFileW(FixtureFile(variant).c_str(), (FDir + L"\\" + name).c_str(), FALSE);
  }
  ~TStage() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(FDir), ignored);
  }
  const std::wstring& Dir() const { return FDir; }
  // Starts a copy; the handle is the caller's to close.
  PROCESS_INFORMATION Start(const std::wstring& arguments = L"") const {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"\"" + FExe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    if (!CreateProcessW(FExe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, FDir.c_str(), &si, &pi))
      ADD_FAILURE() << "cannot start the updater, error " << GetLastError();
    return pi;
  }

private:
  std::wstring FDir, FExe;
};

BOOL CALLBACK CollectMainWindow(HWND hwnd, LPARAM arg) {
  auto* c = reinterpret_cast<std::pair<DWORD, std::vector<HWND>>*>(arg);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if ((c->first == 0 || owner == c->first) && ClassOf(hwnd) == L"TMainForm") c->second.push_back(hwnd);
  return TRUE;
}

std::vector<HWND> MainWindows(DWORD pid) {
  std::pair<DWORD, std::vector<HWND>> ctx{pid, {}};
  EnumWindows(CollectMainWindow, reinterpret_cast<LPARAM>(&ctx));
  return ctx.second;
}

DWORD WaitExit(const PROCESS_INFORMATION& pi, DWORD ms) {
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  else TerminateProcess(pi.hProcess, 99);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code;
}

HWND WaitForMainWindow(DWORD pid, DWORD ms) {
  HWND found = nullptr;
  PumpUntil(
      [&] {
        for (HWND h : MainWindows(pid))
          if (IsWindowVisible(h)) found = h;
        return found != nullptr;
      },
      ms);
  return found;
}

TEST(UpdaterProcess, OnlyTheFtdiLibraryMissingGivesOneBoxAndTheWindowStays) {
  for (const char* ftdiVariant : {static_cast<const char*>(nullptr), "ftd2xx_lacking"}) {
    SCOPED_TRACE(ftdiVariant ? "ftd2xx.dll lacks FT_Rescan" : "no ftd2xx.dll");
    std::vector<std::pair<std::string, const wchar_t*>> libs{{"vxusb", L"VXUSB.dll"}};
    if (ftdiVariant != nullptr) libs.push_back({ftdiVariant, L"ftd2xx.dll"});
    TStage stage(L"vxfwloader.exe", libs);
    PROCESS_INFORMATION pi = stage.Start();
    TBoxAnswerer answerer(pi.dwProcessId);
    const HWND main = WaitForMainWindow(pi.dwProcessId, 20000);
    ASSERT_NE(main, nullptr);
    Pump(1500);  // time for any further box
    const std::vector<TBox> boxes = answerer.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kFtdiBox);
    EXPECT_EQ(boxes[0].caption, kBoxCaption);
    EXPECT_TRUE(IsWindowVisible(main));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitExit(pi, 10000), 0u);
  }
}

TEST(UpdaterProcess, BothLibrariesMissingGiveThreeBoxesAndTheUpdaterEnds) {
  TStage stage(L"vxfwloader.exe", {{"vxusb_lacking", L"VXUSB.dll"}});
  PROCESS_INFORMATION pi = stage.Start();
  TBoxAnswerer answerer(pi.dwProcessId);
  const DWORD pid = pi.dwProcessId;
  EXPECT_EQ(WaitExit(pi, 20000), 0u);
  const std::vector<TBox> boxes = answerer.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, kFtdiBox);
  EXPECT_EQ(boxes[1].text, kVxUsbBox);
  EXPECT_EQ(boxes[2].text, kBothBox);
  EXPECT_TRUE(MainWindows(pid).empty());
}

LRESULT CALLBACK DecoyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  static int* counter = nullptr;
  if (msg == WM_CREATE) counter = static_cast<int*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
  if ((msg == WM_RESTORE_INSTANCE || msg == WM_SETFOCUS) && counter != nullptr) ++*counter;
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// Lifetime of a copy from its start to its end, pumping our own messages;
// windowSeen tells whether it ever had a main window of its own.
std::uint32_t RunToEnd(const TStage& stage, DWORD& exitCode, bool* windowSeen = nullptr) {
  const std::uint32_t start = TickCount();
  PROCESS_INFORMATION pi = stage.Start();
  PumpUntil(
      [&] {
        if (windowSeen != nullptr && !MainWindows(pi.dwProcessId).empty()) *windowSeen = true;
        return WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
      },
      20000);
  const std::uint32_t lifetime = TickCount() - start;
  exitCode = WaitExit(pi, 1000);
  return lifetime;
}

TEST(UpdaterProcess, ASecondCopyRestoresTheFirstAndEnds) {
  TStage stage(L"vxfwloader.exe", {{"ftd2xx", L"ftd2xx.dll"}, {"vxusb", L"VXUSB.dll"}});
  TStage baseline(L"vxnoop.exe", {});

  // A window of another class with the same caption, hidden so that only
  // posted messages can reach it.
  int decoyMessages = 0;
  WNDCLASSW wc{};
  wc.lpfnWndProc = DecoyProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TDecoyForm";
  RegisterClassW(&wc);
  HWND decoy = CreateWindowExW(0, L"TDecoyForm", kCaption.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                               nullptr, wc.hInstance, &decoyMessages);
  ASSERT_NE(decoy, nullptr);

  PROCESS_INFORMATION first = stage.Start();
  const HWND main = WaitForMainWindow(first.dwProcessId, 20000);
  ASSERT_NE(main, nullptr);
  Pump(500);

  /* the development build says in its log that it skips the signature check */
  HWND log = FindWindowExW(FindWindowExW(main, nullptr, L"TVxPanel", nullptr), nullptr, L"RichEdit50W", nullptr);
  ASSERT_NE(log, nullptr);
  wchar_t text[2048] = {};
  SendMessageW(log, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text));
  EXPECT_NE(std::wstring(text).find(W("цифровая подпись программы не проверяется")), std::wstring::npos);

  /* not minimised: a second copy changes neither size nor place */
  RECT before, after;
  GetWindowRect(main, &before);
  DWORD code = 1;
  RunToEnd(stage, code);
  EXPECT_EQ(code, 0u);
  Pump(300);
  GetWindowRect(main, &after);
  EXPECT_TRUE(EqualRect(&before, &after));

  /* minimised: the second copy ends at once without a window and restores it */
  ShowWindow(main, SW_MINIMIZE);
  Pump(300);
  ASSERT_TRUE(IsIconic(main));
  DWORD noopCode = 1;
  const std::uint32_t noop = RunToEnd(baseline, noopCode);
  bool secondHadWindow = false;
  const std::uint32_t second = RunToEnd(stage, code, &secondHadWindow);
  std::printf("second copy lived %u ms; an empty program lives %u ms here\n", second, noop);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(secondHadWindow);
  // Loading the window libraries under Wine takes from a few hundred ms to
  // over a second on a loaded machine, so the bound is loose; a copy that
  // waited for a reply or a time-out would live several seconds.
  EXPECT_LT(second, noop + 3000);
  EXPECT_EQ(MainWindows(0).size(), 1u);
  EXPECT_TRUE(PumpUntil([&] { return !IsIconic(main); }, 3000));
  Pump(300);
  EXPECT_EQ(decoyMessages, 0);
  DestroyWindow(decoy);

  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitExit(first, 10000), 0u);
}

TEST(UpdaterProcess, InACyrillicFolderItFindsItsSettingsFirmwareAndLogWhateverTheCodePage) {
  ExpectForeignCodePageWhenAsked();
  TStage stage(L"vxfwloader.exe", {{"ftd2xx", L"ftd2xx.dll"}, {"vxusb", L"VXUSB.dll"}}, L" Программа Вельмар");
  const std::string dir = Narrow(stage.Dir()) + "\\";
  ASSERT_NE(dir.find("Программа Вельмар"), std::string::npos);
  /* an image in a Cyrillic folder named by the settings file (in 1251) */
  std::vector<std::uint8_t> payload(16, 0x42), image;
  std::string error;
  ASSERT_TRUE(BuildFirmwareImage("ZARU-3.9", std::string("01.01.2022 12:00:00"), payload.data(), payload.size(),
                                 image, error));
  ASSERT_TRUE(CreateDirectoryW((stage.Dir() + L"\\Прошивки").c_str(), nullptr));
  const std::string imagePath = dir + "Прошивки\\образ.eraw";
  auto write = [](const std::wstring& path, const void* bytes, std::size_t size) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, bytes, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(h);
  };
  write(stage.Dir() + L"\\Прошивки\\образ.eraw", image.data(), image.size());
  const std::string settings = "[COMMON]\r\nMainForm=10,10,700,500,0,100,1\r\nLastFile=" + imagePath + "\r\n";
  write(stage.Dir() + L"\\VXFWLoader.ini", settings.data(), settings.size());

  PROCESS_INFORMATION pi = stage.Start(L"-externfirmware");
  TBoxAnswerer answerer(pi.dwProcessId);
  const HWND main = WaitForMainWindow(pi.dwProcessId, 20000);
  ASSERT_NE(main, nullptr);
  Pump(800);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitExit(pi, 10000), 0u);
  EXPECT_EQ(answerer.Count(), 0u);

  /* the day's log, in the Logs folder of the Cyrillic folder, in 1251 */
  std::string log;
  WIN32_FIND_DATAW fd;
  HANDLE found = FindFirstFileW((stage.Dir() + L"\\Logs\\*.log").c_str(), &fd);
  ASSERT_NE(found, INVALID_HANDLE_VALUE) << "no log file";
  FindClose(found);
  HANDLE h = CreateFileW((stage.Dir() + L"\\Logs\\" + fd.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buffer[8192];
  DWORD got = 0;
  ReadFile(h, buffer, sizeof buffer, &got, nullptr);
  CloseHandle(h);
  log.assign(buffer, got);
  EXPECT_NE(log.find("Загружена прошивка из файла \"" + imagePath + "\""), std::string::npos) << log;
  EXPECT_NE(log.find("Версия прошивки \"ZARU-3.9\""), std::string::npos) << log;

  /* the settings written at exit keep the path and gain it in the list */
  h = CreateFileW((stage.Dir() + L"\\VXFWLoader.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ReadFile(h, buffer, sizeof buffer, &got, nullptr);
  CloseHandle(h);
  const std::string written(buffer, got);
  EXPECT_NE(written.find("LastFile=" + imagePath + "\r\n"), std::string::npos) << written;
  EXPECT_NE(written.find("[FILES]\r\n0=" + imagePath + "\r\n"), std::string::npos) << written;
}

TEST(UpdaterProcess, AReleaseBuildWithoutAValidSignatureEndsWithoutAWindow) {
  TStage stage(L"vxfwloader_verifying.exe", {{"ftd2xx", L"ftd2xx.dll"}, {"vxusb", L"VXUSB.dll"}});
  PROCESS_INFORMATION pi = stage.Start();
  const DWORD pid = pi.dwProcessId;
  TBoxAnswerer answerer(pid);
  bool windowSeen = false;
  PumpUntil(
      [&] {
        windowSeen = windowSeen || !MainWindows(pid).empty();
        return WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
      },
      20000);
  EXPECT_EQ(WaitExit(pi, 1000), 0u);
  EXPECT_FALSE(windowSeen);
  const std::vector<TBox> boxes = answerer.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, kBoxCaption);
  EXPECT_EQ(boxes[0].text, W("Цифровая подпись программы отсутствует или повреждена. Программа не может быть запущена."));
}

}  // namespace
