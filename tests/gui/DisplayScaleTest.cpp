// The real window at the display scale of the Wine prefix it runs in (96 dpi
// in the shared prefix; tests/gui/display_scale_test.sh runs it again at 120,
// 144 and 192 dpi): every control is its design times the scale, within a
// pixel, and controls apart in the design stay apart.
#include <windows.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MainFormDesign.h"
#include "TempDir.h"
#include "Win32Pump.h"
#include "link/DriverLibraries.h"
#include "platform/Files.h"
#include "platform/MainThread.h"
#include "ui/DevicePanel.h"

namespace {

int ScreenDpi() {
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return dpi;
}

// The size of a one-line text in a font of the design (Tahoma) at `dpi`.
SIZE TextSize(const std::wstring& text, int fontHeight, bool bold, int dpi) {
  const HFONT font = CreateFontW(-MulDiv(fontHeight, dpi, 96), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                                 FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
  HDC dc = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  DeleteObject(font);
  return size;
}

bool Overlap(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom && a.right > a.left &&
         b.right > b.left && a.bottom > a.top && b.bottom > b.top;
}

// One control as designed: its rectangle at 96 dpi in its parent and its font.
struct TDesigned {
  const TControl* control;
  int l, t, w, h;  // w of an auto-sized label: -1, its text decides
  int fontHeight;
  bool bold;
};

class TScaleCheck {
public:
  explicit TScaleCheck(int dpi) : FDpi(dpi), FScale(dpi / 96.0) {}

  void Check(const TDesigned& d) {
    SCOPED_TRACE(d.control->Name());
    const HWND h = static_cast<HWND>(d.control->Handle());
    ASSERT_NE(h, nullptr);
    const RECT r = RectInParent(h);
    const bool label = d.control->Kind() == ckLabel && d.w < 0;
    const bool right = label && static_cast<const TLabel*>(d.control)->Alignment() == taRightJustify;
    // The design at 96 dpi, a label as wide as its text there.
    RECT design{d.l, d.t, d.l + d.w, d.t + d.h};  // a label's height is its text's at 96 dpi too
    const std::wstring text = TextOf(h);
    if (label) {
      const int width = text.empty() ? 0 : TextSize(text, d.fontHeight, d.bold, 96).cx;
      design.left = right ? d.l - width : d.l;  // l is the right edge of a right-aligned one
      design.right = right ? d.l : d.l + width;
      if (!text.empty()) design.bottom = d.t + TextSize(text, d.fontHeight, d.bold, 96).cy;
    }
    const auto within = [this](LONG real, LONG designed) { return std::abs(real - designed * FScale) <= 1.0; };
    EXPECT_TRUE(within(r.top, design.top)) << r.top << " for " << design.top;
    if (label) {
      // Its designed edge scales; its size is its text's in the scaled font
      // (which grows a little more or less than the scale).
      EXPECT_TRUE(right ? within(r.right, d.l) : within(r.left, d.l)) << r.left << ".." << r.right;
      if (!text.empty()) {
        const SIZE needed = TextSize(text, d.fontHeight, d.bold, FDpi);
        EXPECT_GE(r.right - r.left, needed.cx) << "clipped";
        EXPECT_GE(r.bottom - r.top, needed.cy) << "clipped";
      }
    } else {
      EXPECT_TRUE(within(r.left, design.left)) << r.left << " for " << design.left;
      EXPECT_TRUE(within(r.right - r.left, design.right - design.left)) << r.right - r.left;
      EXPECT_TRUE(within(r.bottom - r.top, design.bottom - design.top)) << r.bottom - r.top;
    }
    if (d.control->Kind() == ckRichEdit) {
      CHARFORMAT2W cf{};
      cf.cbSize = sizeof cf;
      SendMessageW(h, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&cf));
      EXPECT_NEAR(cf.yHeight, d.fontHeight * 1440 / 96, 1440 / FDpi);  // twips: the same in points
    } else if (d.fontHeight > 0) {
      LOGFONTW lf{};
      GetObjectW(reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)), sizeof lf, &lf);
      EXPECT_EQ(lf.lfHeight, -std::lround(d.fontHeight * FScale));
    }
    FSiblings[GetParent(h)].push_back({d.control->Name(), design, r});
  }

  // No two children of one parent overlap that do not overlap in the design.
  void CheckSiblings() const {
    for (const auto& [parent, children] : FSiblings)
      for (std::size_t i = 0; i < children.size(); ++i)
        for (std::size_t j = i + 1; j < children.size(); ++j) {
          const TPlaced& a = children[i];
          const TPlaced& b = children[j];
          if (!Overlap(a.design, b.design)) {
            EXPECT_FALSE(Overlap(a.real, b.real)) << a.name << " and " << b.name << " overlap";
          }
        }
  }

private:
  struct TPlaced {
    std::string name;
    RECT design, real;
  };
  int FDpi;
  double FScale;
  std::map<HWND, std::vector<TPlaced>> FSiblings;
};

}  // namespace

TEST(DisplayScale, EveryControlIsItsDesignTimesTheScaleAndNoneRunsIntoAnother) {
  const int dpi = ScreenDpi();
  std::printf("display: %d dpi\n", dpi);
  if (const char* expected = std::getenv("VX_EXPECT_DPI")) {
    ASSERT_EQ(dpi, std::atoi(expected)) << "the prefix's display scale did not take";
  }
  SetMainThread();
  TempDir appDir;
  SetExecutableDirectory(appDir.Dir());
  hFtdiLib.store(LoadFtdiLibrary(FixturePath("ftd2xx").c_str()));
  hVxUsbLib.store(LoadVxUsbLibrary(FixturePath("vxusb").c_str()));
  std::unique_ptr<TMainForm> form;
  TMainForm& f = CreateMainForm(form);
  f.DevTimer.SetEnabled(false);  // the panels come from this test
  f.Show();
  Pump(50);
  const double scale = dpi / 96.0;

  /* the window's client area */
  RECT client;
  GetClientRect(static_cast<HWND>(f.Handle()), &client);
  EXPECT_NEAR(client.right, 664 * scale, 1.0);
  EXPECT_NEAR(client.bottom, 456 * scale, 1.0);

  /* the controls of the window as designed (labels by their designed edge) */
  TScaleCheck check(dpi);
  for (const TRow& row : kControls) {
    const TControl* c = f.FindControl(row.name);
    ASSERT_NE(c, nullptr);
    const bool label = c->Kind() == ckLabel;
    const bool right = label && static_cast<const TLabel*>(c)->Alignment() == taRightJustify;
    const bool container = c->Kind() == ckPanel || c->Kind() == ckScrollBox || c->Kind() == ckSplitter;
    check.Check({c, right ? row.l + row.w : row.l, row.t, label ? -1 : row.w, row.h, container ? 0 : row.fontHeight,
                 row.bold});
  }

  /* two devices in their panels: one in its boot loader, one running its firmware */
  for (const bool loader : {true, false}) {
    auto entry = std::make_unique<TDevEntry>(loader ? "1234567" : "4242", kFtdiDeviceCode, lbFtdi);
    entry->InBootLoader = loader;
    EXPECT_TRUE(entry->FirmwareVersion.Parse("VXCR-1.8"));
    if (loader) {
      EXPECT_TRUE(entry->LoaderVersion.Parse("VXBL-1.5"));
    }
    TDevEntry& e = *entry;
    f.FDevices.push_back(std::move(entry));
    f.CreateDevicePanel(e);
  }
  Pump(50);
  // The device area's width is its own (less a scroll bar when the panels
  // need one); the panels are designed on it.
  const int area = f.DevPanel.Width();
  EXPECT_NEAR(RectInParent(static_cast<HWND>(f.DevPanel.Handle())).right, area * scale, 1.0);
  const int loaderLeft = std::max(area - 235, 423);
  for (std::size_t i = 0; i < f.FDevices.size(); ++i) {
    const TFWLoaderDevGroup& p = *f.FDevices[i]->Panel;
    const int top = 3 + 96 * static_cast<int>(i);
    for (const TDesigned& d : std::vector<TDesigned>{
             {p.GroupBox.get(), 3, top, area - 6, 90, 11, false},
             {p.lblSerialTitle.get(), 4, 16, -1, 19, 16, false},
             {p.lblSerial.get(), 138, 19, -1, 16, 13, true},
             {p.lblDevVerTitle.get(), 209, 16, -1, 19, 16, false},
             {p.lblDevVer.get(), 347, 19, -1, 16, 13, true},
             {p.lblLoaderVerTitle.get(), loaderLeft, 16, -1, 19, 16, false},
             {p.lblLoaderVer.get(), loaderLeft + 146, 19, -1, 16, 13, true},
             {p.lblMessage.get(), 3, 38, area - 112, 20, 16, true},
             {p.btnWrite.get(), area - 108, 37, 100, 25, 11, false},
             {p.ProgressBar.get(), 3, 67, area - 12, 20, 0, false},
         })
      check.Check(d);
  }
  check.CheckSiblings();

  DestroyMainForm(form);
  SetExecutableDirectory("");
}
