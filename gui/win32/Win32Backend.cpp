// Real windows for the controls of gui/Controls.h. Texts cross into the
// controls as UTF-16 converted from Windows-1251 explicitly, whatever the
// system's code page.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "gui/Backend.h"
#include "platform/CodePage.h"

namespace {

constexpr wchar_t kPanelClass[] = L"TVxPanel";
constexpr wchar_t kScrollBoxClass[] = L"TVxScrollBox";
constexpr wchar_t kSplitterClass[] = L"TVxSplitter";
constexpr wchar_t kPeerProperty[] = L"TVxPeer";
constexpr UINT_PTR kRepaintTimer = 0x5652;
constexpr int kLinesPerReplacement = 48;
// Posted by a text box to itself: the next part of its pending lines.
constexpr UINT WM_VX_REPAINT_MORE = WM_APP + 0x52;
// ms: a busy log shows its new lines at most about ten times a second; the
// repaint and the lines gathered since the last one cost the window thread
// about 20 ms under Wine with sixteen flashes running, and a hand-over that
// comes meanwhile waits for them. So the pause before a repaint is also at
// least kRepaintShare times what the last one cost in all (a ninth of the
// window's time at most), and never more than kRepaintDelayMax.
constexpr UINT kRepaintDelay = 100;
constexpr UINT kRepaintShare = 8;
constexpr UINT kRepaintDelayMax = 400;
constexpr UINT_PTR kProgressTimer = 0x5653;
// ms: how long a shown progress bar may lag behind its position.
constexpr UINT kProgressDelay = 100;
constexpr int kComboDropHeight = 200;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

// Display scale. The controls hold the pixels of a 96-dpi display, as the
// window is designed, and lay themselves out in them; the windows get them
// times the scale of the system at the program's start (the manifest
// declares system awareness, so Windows stretches the window as a bitmap on
// a monitor of another scale instead of telling it to lay itself out
// again). Edges are scaled, not sizes, so that controls that touch at 96 dpi
// still touch and ones apart stay apart.
int Dpi() {
  static const int dpi = [] {
    HDC dc = GetDC(nullptr);
    const int d = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : USER_DEFAULT_SCREEN_DPI;
    if (dc != nullptr) ReleaseDC(nullptr, dc);
    return d > 0 ? d : USER_DEFAULT_SCREEN_DPI;
  }();
  return dpi;
}
int Px(int designed) { return MulDiv(designed, Dpi(), USER_DEFAULT_SCREEN_DPI); }
int Designed(int px) { return MulDiv(px, USER_DEFAULT_SCREEN_DPI, Dpi()); }
// A measured extent: never less than what the text needs.
int DesignedCovering(int px) { return (px * USER_DEFAULT_SCREEN_DPI + Dpi() - 1) / Dpi(); }
RECT PxRect(int left, int top, int width, int height) {
  return {Px(left), Px(top), Px(left + width), Px(top + height)};
}

// The program's icon (the executable's first icon group) in the system's
// size, or the generic one in a program without it. Shared handles: the
// system keeps them for the process.
HICON ProgramIcon(bool small) {
  const int cx = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
  const int cy = GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
  if (FindResourceW(Instance(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)) != nullptr)  // RT_GROUP_ICON
    if (auto icon = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(1), IMAGE_ICON, cx, cy, LR_SHARED)))
      return icon;
  return LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
}

std::wstring Wide(const std::string& text) {
  const std::u16string u = Cp1251ToUtf16(text);
  return std::wstring(u.begin(), u.end());
}

std::string Narrow(const std::wstring& text) {
  return Utf16ToCp1251(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

COLORREF ColorRef(TColor c) { return (c & 0x80000000u) != 0 ? GetSysColor(static_cast<int>(c & 0xFF)) : c; }

HFONT FontHandle(const TFont& f) {
  // Fonts live as long as the process; a form uses a handful.
  static std::map<std::tuple<std::string, int, bool, int>, HFONT> cache;
  const auto key = std::make_tuple(f.Name, f.Height, f.Bold, static_cast<int>(f.Charset));
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  const HFONT font = CreateFontW(-Px(f.Height), 0, 0, 0, f.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, f.Charset,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                                 Wide(f.Name).c_str());
  cache.emplace(key, font);
  return font;
}

// The control and dialog libraries are loaded when the first window is made,
// not at process start: a second copy of the program, which only hands over
// to the first and ends, must start fast.
template <typename F>
F SystemFunction(const wchar_t* library, const char* name) {
  HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

void EnsureCommonControls() {
  static bool done = false;
  if (done) return;
  done = true;
  using TInit = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  if (auto init = SystemFunction<TInit>(L"comctl32.dll", "InitCommonControlsEx")) {
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES;
    init(&icc);
  }
  // cppcheck-suppress leakReturnValNotUsed ; loaded for the life of the process
  LoadLibraryExW(L"Msftedit.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);  // RICHEDIT50W; stays loaded
}

class TWin32Peer;
TWin32Peer* PeerOf(HWND hwnd) { return hwnd ? static_cast<TWin32Peer*>(GetPropW(hwnd, kPeerProperty)) : nullptr; }

LRESULT CALLBACK ContainerProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM);

void RegisterWindowClass(const wchar_t* name, UINT style, HCURSOR cursor) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExW(Instance(), name, &wc)) return;
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = ContainerProc;
  wc.hInstance = Instance();
  wc.hCursor = cursor;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = name;
  // The main window's title bar and taskbar button show these.
  wc.hIcon = ProgramIcon(false);
  wc.hIconSm = ProgramIcon(true);
  RegisterClassExW(&wc);
}

class TWin32Peer : public TPeer {
public:
  HFONT FFont = nullptr;  // containers of our own classes keep theirs here

  explicit TWin32Peer(TControl& control) : FControl(control) { Create(); }

  ~TWin32Peer() override {
    if (FTooltip != nullptr && IsWindow(FTooltip)) DestroyWindow(FTooltip);
    if (FHwnd != nullptr && IsWindow(FHwnd)) {
      RemovePropW(FHwnd, kPeerProperty);
      if (FOldProc != nullptr) SetWindowLongPtrW(FHwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FOldProc));
      DestroyWindow(FHwnd);
    }
  }

  void* Handle() const override { return FHwnd; }
  TControl& Control() const { return FControl; }
  WNDPROC OldProc() const { return FOldProc; }

  void Changed(TChange what) override {
    if (FHwnd == nullptr) return;
    switch (what) {
      case TChange::Bounds: ApplyBounds(); break;
      case TChange::Text:
        if (FControl.Kind() != ckRichEdit) SetWindowTextW(FHwnd, Wide(FControl.Text()).c_str());
        break;
      case TChange::Visible:
        if (!FControl.Visible() && FControl.Kind() != ckForm && (GetFocus() == FHwnd || IsChild(FHwnd, GetFocus())))
          MoveFocusOn();
        ApplyVisible();
        break;
      case TChange::Enabled:
        // A control disabled while it has the focus hands it to the next
        // one; the keyboard would otherwise be left with no control at all.
        if (!FControl.Enabled() && GetFocus() == FHwnd) MoveFocusOn();
        EnableWindow(FHwnd, FControl.Enabled());
        break;
      case TChange::Font:
        SendMessageW(FHwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontHandle(FControl.Font())), TRUE);
        // The colour is no part of the font handle: a change of colour alone
        // must repaint too (the parent answers WM_CTLCOLORSTATIC with it).
        InvalidateRect(FHwnd, nullptr, TRUE);
        if (FControl.Kind() == ckComboBox) ApplyComboHeight();
        break;
      case TChange::Checked:
        SendMessageW(FHwnd, BM_SETCHECK, static_cast<TCheckBox&>(FControl).Checked() ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
      case TChange::Items: ApplyItems(); break;
      case TChange::Position: ApplyProgress(); break;
      case TChange::Style: ApplyStyle(); break;
      case TChange::Scroll: ApplyScroll(); break;
      case TChange::Hint: ApplyHint(); break;
    }
  }

  bool ClientSize(int& width, int& height) const override {
    if (FHwnd == nullptr || FControl.Kind() != ckScrollBox) return false;
    RECT r;
    GetClientRect(FHwnd, &r);
    width = Designed(r.right);
    height = Designed(r.bottom);
    return true;
  }

  // The control paints itself at once whenever its position changes, which
  // under Wine costs the window thread a third of a millisecond per step; a
  // batch of flashes moves its bars a few hundred times a second. A shown
  // bar therefore takes its new position a little later (kProgressDelay),
  // the steps in between in one; whatever asks the control anything first
  // gets the position (SubclassMessage), so no reader can tell.
  void ApplyProgress() {
    if (FProgressTimer || (IsWindowVisible(FHwnd) && SetTimer(FHwnd, kProgressTimer, kProgressDelay, nullptr) != 0)) {
      FProgressTimer = true;
      return;
    }
    ApplyProgressNow();
  }
  [[nodiscard]] bool ProgressPending() const { return FProgressTimer; }

  // ---- rich text box ----

  void AppendLine(const std::string& line, TColor color) override {
    std::wstring text = Wide(line) + L"\r";
    if (FBatching) {
      if (!FPending.empty() && FPending.back().Color == color)
        FPending.back().Text += text;
      else
        FPending.push_back({std::move(text), color});
      return;
    }
    FPending.push_back({std::move(text), color});
    FlushAppends();
  }

  void BeginAppendBatch() override { FBatching = true; }
  // A batch's lines wait for the next repaint of the text box when one is
  // due, so that the lines of many batches reach the control in one go:
  // under Wine one replacement costs about a millisecond plus a tenth per
  // line, and a busy log sees hundreds of batches a second. Whatever asks
  // the control anything first gets the pending text into it
  // (SubclassMessage), so no reader, in this program or another, can tell
  // the difference; the screen shows the lines at the repaint, as before.
  void EndAppendBatch() override {
    FBatching = false;
    if (FPending.empty() && FPendingScroll == 0) return;
    SuspendRedraw();
    if (!FRedrawSuspended) FlushAppends();  // hidden, or no timer: at once
  }
  [[nodiscard]] bool AppendsPending() const { return !FFlushing && (!FPending.empty() || FPendingScroll != 0); }

  // Adds the pending text at the end (at most `maxLines` lines of it; the
  // rest stays pending), one replacement per run of one colour, and follows
  // the end when the caret was there, else keeps the selection; then, when
  // nothing is left pending, the pending scrolls in one.
  void FlushAppends(std::size_t maxLines = SIZE_MAX) {
    if (FPending.empty() && FPendingScroll == 0) return;
    FFlushing = true;
    if (!FPending.empty()) {
      SuspendRedraw();
      CHARRANGE old{};
      SendMessageW(FHwnd, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&old));
      SendMessageW(FHwnd, EM_SETSEL, static_cast<WPARAM>(-1), -1);
      CHARRANGE end{};
      SendMessageW(FHwnd, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&end));
      const bool followEnd = old.cpMin == old.cpMax && old.cpMin >= end.cpMin;
      std::size_t runsDone = 0;
      for (TPendingText& run : FPending) {
        CHARFORMAT2W cf{};
        cf.cbSize = sizeof cf;
        cf.dwMask = CFM_COLOR;
        cf.crTextColor = ColorRef(run.Color);
        // Wine's text box takes time growing with the square of the lines
        // in one replacement: a few dozen at a time cost the least per line.
        std::size_t from = 0;
        while (from < run.Text.size() && maxLines > 0) {
          std::size_t to = from;
          for (int lines = 0; lines < kLinesPerReplacement && maxLines > 0 && to < run.Text.size(); ++lines, --maxLines) {
            const std::size_t cut = run.Text.find(L'\r', to);
            to = cut == std::wstring::npos ? run.Text.size() : cut + 1;
          }
          const std::wstring chunk = run.Text.substr(from, to - from);
          SendMessageW(FHwnd, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
          SendMessageW(FHwnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(chunk.c_str()));
          from = to;
        }
        if (from < run.Text.size()) {
          run.Text.erase(0, from);
          break;
        }
        ++runsDone;
      }
      FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(runsDone));
      if (followEnd) SendMessageW(FHwnd, EM_SETSEL, static_cast<WPARAM>(-1), -1);
      else SendMessageW(FHwnd, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&old));
    }
    if (FPending.empty() && FPendingScroll != 0) {
      SendMessageW(FHwnd, EM_LINESCROLL, 0, FPendingScroll);
      FPendingScroll = 0;
    }
    FFlushing = false;
  }

  bool GetSelection(int& start, int& length) const override {
    if (FControl.Kind() != ckRichEdit) return false;
    // With text pending the control's selection is not yet where the
    // appends leave it; the text box's own record is (and the user cannot
    // have moved it: any input flushes the text first).
    if (!FPending.empty()) return false;
    CHARRANGE r{};
    SendMessageW(FHwnd, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&r));
    start = r.cpMin;
    length = r.cpMax - r.cpMin;
    return true;
  }

  void SetSelection(int start, int length) override {
    FlushAppends();
    CHARRANGE r{start, start + length};
    SendMessageW(FHwnd, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&r));
  }

  void SetColor(int start, int length, TColor color) override {
    FlushAppends();
    SuspendRedraw();
    CHARRANGE old{};
    SendMessageW(FHwnd, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&old));
    SetSelection(start, length);
    CHARFORMAT2W cf{};
    cf.cbSize = sizeof cf;
    cf.dwMask = CFM_COLOR;
    cf.crTextColor = ColorRef(color);
    SendMessageW(FHwnd, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
    SendMessageW(FHwnd, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&old));
  }

  void ScrollLines(int lines) override {
    if (FBatching) {
      FPendingScroll += lines;
      return;
    }
    FlushAppends();
    SendMessageW(FHwnd, EM_LINESCROLL, 0, lines);
  }
  void ClearText() override {
    FPending.clear();
    FPendingScroll = 0;
    SetWindowTextW(FHwnd, L"");
  }

  // Repainting the text box costs far more than adding a line, and more as
  // the text grows: lines added in a row are shown by one repaint a while
  // after the first of them (kRepaintDelay).
  void SuspendRedraw() {
    if (FRedrawSuspended || !IsWindowVisible(FHwnd)) return;
    SendMessageW(FHwnd, WM_SETREDRAW, FALSE, 0);
    const UINT delay = std::clamp<UINT>(kRepaintShare * FRepaintCost, kRepaintDelay, kRepaintDelayMax);
    FRedrawSuspended = SetTimer(FHwnd, kRepaintTimer, delay, nullptr) != 0;
    if (!FRedrawSuspended) SendMessageW(FHwnd, WM_SETREDRAW, TRUE, 0);
  }
  // The pending lines go in a replacement at a time, one per message, so
  // that the hand-overs of the workers waiting meanwhile (posted messages
  // too) are served between them instead of after all of them; then one
  // repaint.
  void ResumeRedraw() {
    KillTimer(FHwnd, kRepaintTimer);
    if (!FRedrawSuspended) return;
    const auto start = std::chrono::steady_clock::now();
    FlushAppends(kLinesPerReplacement);
    if (!FPending.empty() && PostMessageW(FHwnd, WM_VX_REPAINT_MORE, 0, 0)) {
      FRepaintWork += std::chrono::steady_clock::now() - start;
      return;
    }
    FlushAppends();
    FRedrawSuspended = false;
    SendMessageW(FHwnd, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(FHwnd, nullptr, TRUE);
    UpdateWindow(FHwnd);
    FRepaintWork += std::chrono::steady_clock::now() - start;
    FRepaintCost = static_cast<UINT>(std::chrono::duration_cast<std::chrono::milliseconds>(FRepaintWork).count());
    FRepaintWork = {};
  }

  // ---- notifications from the control ----

  void Command(WORD code) {
    switch (FControl.Kind()) {
      case ckButton:
        if (code == BN_CLICKED) FControl.Click();
        break;
      case ckCheckBox:
        if (code == BN_CLICKED)
          static_cast<TCheckBox&>(FControl).CheckedByUser(SendMessageW(FHwnd, BM_GETCHECK, 0, 0) == BST_CHECKED);
        break;
      case ckComboBox: {
        auto& combo = static_cast<TComboBox&>(FControl);
        if (code == CBN_EDITCHANGE) combo.TextChangedByUser(Narrow(WindowText(FHwnd)));
        if (code == CBN_SELCHANGE) {
          const LRESULT index = SendMessageW(FHwnd, CB_GETCURSEL, 0, 0);
          if (index >= 0 && static_cast<std::size_t>(index) < combo.Items().size())
            combo.TextChangedByUser(combo.Items()[static_cast<std::size_t>(index)]);
        }
        break;
      }
      default: break;
    }
  }

  // The window was sized or moved by the system or the user.
  void FormPlaced() {
    auto& form = static_cast<TForm&>(FControl);
    RECT w, c;
    GetWindowRect(FHwnd, &w);
    GetClientRect(FHwnd, &c);
    if (IsIconic(FHwnd)) return;
    FPlacing = true;
    // The frame as the difference of the two sizes in design pixels, so that
    // the client size comes back as it was set.
    const int width = Designed(w.right - w.left);
    const int height = Designed(w.bottom - w.top);
    form.SetFrame(width - Designed(c.right), height - Designed(c.bottom));
    form.PlacedByUser(Designed(w.left), Designed(w.top), width, height);
    FPlacing = false;
  }

  void ScrollBoxScrolled(WORD request) {
    auto& box = static_cast<TScrollBox&>(FControl);
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    GetScrollInfo(FHwnd, SB_VERT, &si);
    int pos = box.ScrollOffset();
    switch (request) {
      case SB_LINEUP: pos -= 10; break;
      case SB_LINEDOWN: pos += 10; break;
      case SB_PAGEUP: pos -= Designed(static_cast<int>(si.nPage)); break;
      case SB_PAGEDOWN: pos += Designed(static_cast<int>(si.nPage)); break;
      case SB_THUMBTRACK:
      case SB_THUMBPOSITION: pos = Designed(si.nTrackPos); break;
      case SB_TOP: pos = 0; break;
      case SB_BOTTOM: pos = Designed(si.nMax); break;
      default: return;
    }
    box.ScrollTo(pos);
  }

  bool FInSize = false;
  bool FPlacing = false;
  int FDragY = 0;
  // The form's control that last had the keyboard focus: it gets the focus
  // back when the window is activated or restored again.
  HWND FSavedFocus = nullptr;

  void MoveFocusOn() {
    HWND top = GetAncestor(FHwnd, GA_ROOT);
    HWND next = top != nullptr ? GetNextDlgTabItem(top, FHwnd, FALSE) : nullptr;
    SetFocus(next != nullptr && next != FHwnd && !IsChild(FHwnd, next) ? next : top);
  }

private:
  void Create() {
    EnsureCommonControls();
    TControl& c = FControl;
    const bool visible = c.Visible();
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | (visible ? WS_VISIBLE : 0) | (c.TabStop ? WS_TABSTOP : 0);
    DWORD exStyle = 0;
    const wchar_t* cls = nullptr;
    bool subclass = false;
    int height = c.Height();  // design pixels
    switch (c.Kind()) {
      case ckForm: CreateForm(); return;
      case ckGroupBox:
        cls = L"BUTTON";
        style |= BS_GROUPBOX | WS_CLIPCHILDREN;
        // Containers are control parents: Tab and the arrow keys go through
        // their controls as if those stood on the window itself.
        exStyle |= WS_EX_CONTROLPARENT;
        subclass = true;
        break;
      case ckLabel:
        cls = L"STATIC";
        style |= SS_NOPREFIX | LabelAlignment();
        break;
      case ckComboBox:
        cls = L"COMBOBOX";
        style |= CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL;
        height += kComboDropHeight;
        break;
      case ckButton:
        cls = L"BUTTON";
        style |= BS_PUSHBUTTON;
        break;
      case ckCheckBox:
        cls = L"BUTTON";
        style |= BS_AUTOCHECKBOX;
        break;
      case ckPanel:
        RegisterWindowClass(kPanelClass, 0, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
        cls = kPanelClass;
        style |= WS_CLIPCHILDREN;
        exStyle |= WS_EX_CONTROLPARENT;
        break;
      case ckScrollBox:
        RegisterWindowClass(kScrollBoxClass, 0, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
        cls = kScrollBoxClass;
        style |= WS_CLIPCHILDREN | WS_VSCROLL;
        exStyle |= WS_EX_CONTROLPARENT;
        break;
      case ckSplitter:
        RegisterWindowClass(kSplitterClass, CS_HREDRAW | CS_VREDRAW,
                            LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_SIZENS)));
        cls = kSplitterClass;
        break;
      case ckRichEdit:
        cls = MSFTEDIT_CLASS;
        style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_NOHIDESEL | ES_DISABLENOSCROLL |
                 (static_cast<TRichEdit&>(c).ScrollBars ? WS_VSCROLL | WS_HSCROLL | ES_AUTOHSCROLL : 0);
        exStyle |= WS_EX_CLIENTEDGE;
        subclass = true;
        break;
      case ckProgressBar:
        cls = PROGRESS_CLASSW;
        subclass = true;
        break;
    }
    static int nextId = 1000;
    HWND parent = c.Parent() != nullptr ? static_cast<HWND>(c.Parent()->Handle()) : nullptr;
    const RECT r = PxRect(c.Left(), c.Top(), c.Width(), height);
    FHwnd = CreateWindowExW(exStyle, cls, Wide(c.Kind() == ckRichEdit ? std::string() : c.Text()).c_str(), style,
                            r.left, r.top, r.right - r.left, r.bottom - r.top, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(nextId++)), Instance(), nullptr);
    if (FHwnd == nullptr) return;
    SetPropW(FHwnd, kPeerProperty, this);
    if (subclass)
      FOldProc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(FHwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc)));
    SendMessageW(FHwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontHandle(c.Font())), FALSE);
    if (!c.Enabled()) EnableWindow(FHwnd, FALSE);
    switch (c.Kind()) {
      case ckComboBox:
        ApplyComboHeight();
        ApplyItems();
        ApplyStyle();
        break;
      case ckCheckBox: Changed(TChange::Checked); break;
      case ckRichEdit:
        SendMessageW(FHwnd, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
        SendMessageW(FHwnd, EM_SETEVENTMASK, 0, 0);
      {
        // Lines added before the window existed.
        auto& edit = static_cast<TRichEdit&>(c);
        for (std::size_t i = 0; i < edit.LineCount(); ++i) AppendLine(edit.Line(i), edit.Runs()[i].Color);
        break;
      }
      case ckProgressBar: ApplyProgress(); break;
      default: break;
    }
    if (!c.Hint().empty()) ApplyHint();
  }

  void CreateForm() {
    auto& form = static_cast<TForm&>(FControl);
    const std::wstring cls = Wide(form.ClassName());
    RegisterWindowClass(cls.c_str(), CS_DBLCLKS, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
    const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    const DWORD exStyle = Application.MainFormOnTaskbar ? WS_EX_APPWINDOW : 0;
    RECT r{0, 0, Px(form.ClientWidth()), Px(form.ClientHeight())};
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    FHwnd = CreateWindowExW(exStyle, cls.c_str(), Wide(form.Text()).c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                            r.right - r.left, r.bottom - r.top, nullptr, nullptr, Instance(), nullptr);
    if (FHwnd == nullptr) return;
    SetPropW(FHwnd, kPeerProperty, this);
    SendMessageW(FHwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontHandle(form.Font())), FALSE);
    FormPlaced();
  }

  DWORD LabelAlignment() const {
    switch (static_cast<TLabel&>(FControl).Alignment()) {
      case taRightJustify: return SS_RIGHT;
      case taCenter: return SS_CENTER;
      default: return SS_LEFT;
    }
  }

  void ApplyBounds() {
    TControl& c = FControl;
    if (c.Kind() == ckForm) {
      if (FPlacing) return;
      RECT w;
      GetWindowRect(FHwnd, &w);
      if (Designed(w.left) == c.Left() && Designed(w.top) == c.Top() && Designed(w.right - w.left) == c.Width() &&
          Designed(w.bottom - w.top) == c.Height())
        return;
      SetWindowPos(FHwnd, nullptr, Px(c.Left()), Px(c.Top()), Px(c.Width()), Px(c.Height()),
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return;
    }
    const int height = c.Kind() == ckComboBox ? c.Height() + kComboDropHeight : c.Height();
    const RECT r = PxRect(c.Left(), c.Top(), c.Width(), height);
    MoveWindow(FHwnd, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
  }

  void ApplyVisible() {
    if (FControl.Kind() == ckForm) {
      ShowWindow(FHwnd, FControl.Visible() ? SW_SHOW : SW_HIDE);
      if (FControl.Visible()) UpdateWindow(FHwnd);
      return;
    }
    ShowWindow(FHwnd, FControl.Visible() ? SW_SHOWNA : SW_HIDE);
  }

  // The selection field of a drop-down combo box takes its height from the
  // item height: make the closed box as high as designed.
  void ApplyComboHeight() {
    // What CB_GETITEMHEIGHT reports and what CB_SETITEMHEIGHT takes differ
    // between systems: set, look at the outcome, correct once.
    int item = static_cast<int>(SendMessageW(FHwnd, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
    const RECT designed = PxRect(FControl.Left(), FControl.Top(), FControl.Width(), FControl.Height());
    for (int attempt = 0; attempt < 2; ++attempt) {
      RECT r;
      GetWindowRect(FHwnd, &r);
      const int error = (designed.bottom - designed.top) - (r.bottom - r.top);
      if (error == 0 || item + error <= 0) return;
      item += error;
      SendMessageW(FHwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), item);
    }
  }

  void ApplyItems() {
    auto& combo = static_cast<TComboBox&>(FControl);
    SendMessageW(FHwnd, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : combo.Items())
      SendMessageW(FHwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
    SetWindowTextW(FHwnd, Wide(combo.Text()).c_str());
  }

  void ApplyStyle() {
    if (FControl.Kind() == ckComboBox) {
      const int width = static_cast<TComboBox&>(FControl).DropDownWidth();
      if (width > 0) SendMessageW(FHwnd, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(Px(width)), 0);
    } else if (FControl.Kind() == ckLabel) {
      LONG_PTR style = GetWindowLongPtrW(FHwnd, GWL_STYLE);
      style = (style & ~static_cast<LONG_PTR>(SS_TYPEMASK)) | static_cast<LONG_PTR>(LabelAlignment());
      SetWindowLongPtrW(FHwnd, GWL_STYLE, style);
      InvalidateRect(FHwnd, nullptr, TRUE);
    }
  }

 public:
  void ApplyProgressNow() {
    if (FProgressTimer) KillTimer(FHwnd, kProgressTimer);
    FProgressTimer = false;
    auto& bar = static_cast<TProgressBar&>(FControl);
    if (!FRangeApplied || bar.Min() != FAppliedMin || bar.Max() != FAppliedMax) {
      SendMessageW(FHwnd, PBM_SETRANGE32, static_cast<WPARAM>(bar.Min()), bar.Max());
      FRangeApplied = true;
      FAppliedMin = bar.Min();
      FAppliedMax = bar.Max();
    }
    SendMessageW(FHwnd, PBM_SETPOS, static_cast<WPARAM>(bar.Position()), 0);
  }
 private:


  void ApplyScroll() {
    auto& box = static_cast<TScrollBox&>(FControl);
    RECT r;
    GetClientRect(FHwnd, &r);
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    si.nMin = 0;
    // In the window's pixels.
    const int content = Px(box.ContentHeight());
    si.nMax = content > r.bottom ? content - 1 : 0;
    si.nPage = static_cast<UINT>(r.bottom);
    si.nPos = Px(box.ScrollOffset());
    SetScrollInfo(FHwnd, SB_VERT, &si, TRUE);
  }

  void ApplyHint() {
    TForm* form = FControl.ParentForm();
    HWND owner = form != nullptr ? static_cast<HWND>(form->Handle()) : nullptr;
    if (FTooltip == nullptr) {
      FTooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                                 Instance(), nullptr);
      if (FTooltip == nullptr) return;
    }
    FHintText = Wide(FControl.Hint());
    TTTOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V1_SIZE;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = GetParent(FHwnd);
    ti.uId = reinterpret_cast<UINT_PTR>(FHwnd);
    ti.lpszText = FHintText.data();
    SendMessageW(FTooltip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    if (FControl.ShowHint() && !FHintText.empty())
      SendMessageW(FTooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }

  TControl& FControl;
  HWND FHwnd = nullptr;
  WNDPROC FOldProc = nullptr;
  HWND FTooltip = nullptr;
  std::wstring FHintText;
  bool FRedrawSuspended = false;
  UINT FRepaintCost = 0;                          // ms, the last repaint with its lines
  std::chrono::steady_clock::duration FRepaintWork{};  // of the repaint under way
  // Rich text box: text not yet in the control, in runs of one colour.
  struct TPendingText {
    std::wstring Text;
    TColor Color;
  };
  std::vector<TPendingText> FPending;
  int FPendingScroll = 0;
  bool FBatching = false;
  bool FFlushing = false;  // the messages FlushAppends sends must not flush again
  // Progress bar: a position waits for kProgressTimer; the range the control
  // was last given.
  bool FProgressTimer = false;
  bool FRangeApplied = false;
  int FAppliedMin = 0;
  int FAppliedMax = 0;
};

// Messages every container handles the same way: commands and colours of
// the child controls.
bool HandleChildMessages(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (msg) {
    case WM_COMMAND:
      if (lParam == 0) return false;
      if (TWin32Peer* child = PeerOf(reinterpret_cast<HWND>(lParam))) {
        child->Command(HIWORD(wParam));
        result = 0;
        return true;
      }
      return false;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      TWin32Peer* child = PeerOf(reinterpret_cast<HWND>(lParam));
      if (child == nullptr) return false;
      const HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, ColorRef(child->Control().Font().Color));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      return true;
    }
    default: return false;
  }
}

// Remembers the focused control of the form `hwnd`, if one of its own has it.
void NoteFocus(TWin32Peer& formPeer, HWND hwnd) {
  HWND focus = GetFocus();
  if (focus != nullptr && IsChild(hwnd, focus)) formPeer.FSavedFocus = focus;
}

// Scrolls every scroll box that holds the focused control so that the
// control is in view (the keyboard may reach a device panel scrolled away).
void ScrollFocusIntoView(HWND focus) {
  for (HWND h = GetParent(focus); h != nullptr; h = GetParent(h)) {
    TWin32Peer* box = PeerOf(h);
    if (box == nullptr || box->Control().Kind() != ckScrollBox) continue;
    RECT r, client;
    GetWindowRect(focus, &r);
    MapWindowPoints(nullptr, h, reinterpret_cast<POINT*>(&r), 2);
    GetClientRect(h, &client);
    auto& scroll = static_cast<TScrollBox&>(box->Control());
    if (r.top < 0) scroll.ScrollTo(scroll.ScrollOffset() - DesignedCovering(-r.top));
    else if (r.bottom > client.bottom)
      scroll.ScrollTo(scroll.ScrollOffset() + DesignedCovering(std::min<int>(r.bottom - client.bottom, r.top)));
  }
}

LRESULT FormMessage(TWin32Peer& peer, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto& form = static_cast<TForm&>(peer.Control());
  TMessage message{msg, wParam, lParam, 0};
  if (form.Dispatch(message)) return message.Result;
  switch (msg) {
    case WM_SIZE:
    case WM_MOVE:
      peer.FormPlaced();  // ignores a minimised window
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      const TSizeConstraints& k = form.Constraints;
      if (k.MinWidth > 0) info->ptMinTrackSize.x = Px(k.MinWidth);
      if (k.MinHeight > 0) info->ptMinTrackSize.y = Px(k.MinHeight);
      if (k.MaxWidth > 0) info->ptMaxTrackSize.x = Px(k.MaxWidth);
      if (k.MaxHeight > 0) info->ptMaxTrackSize.y = Px(k.MaxHeight);
      return 0;
    }
    case WM_CLOSE:
      form.Close();
      return 0;
    case WM_ACTIVATE:
      // Deactivated or minimised: the focused control is remembered before
      // the system takes the focus away.
      if (LOWORD(wParam) == WA_INACTIVE || HIWORD(wParam) != 0) NoteFocus(peer, hwnd);
      return DefWindowProcW(hwnd, msg, wParam, lParam);
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) NoteFocus(peer, hwnd);
      return DefWindowProcW(hwnd, msg, wParam, lParam);
    case WM_NEXTDLGCTL: {
      // What the dialog navigation may ask of a dialog window on Tab.
      HWND target = LOWORD(lParam) != 0 ? reinterpret_cast<HWND>(wParam)
                                        : GetNextDlgTabItem(hwnd, GetFocus(), wParam != 0 ? TRUE : FALSE);
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    case WM_SETFOCUS: {
      // The keyboard focus goes back to the control that had it, else on to
      // the first control that takes it.
      HWND target = peer.FSavedFocus;
      if (target == nullptr || !IsWindow(target) || !IsChild(hwnd, target) || !IsWindowVisible(target) ||
          !IsWindowEnabled(target))
        target = GetNextDlgTabItem(hwnd, nullptr, FALSE);
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

LRESULT SplitterMessage(TWin32Peer& peer, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto& splitter = static_cast<TSplitter&>(peer.Control());
  switch (msg) {
    case WM_LBUTTONDOWN:
      SetCapture(hwnd);
      peer.FDragY = static_cast<short>(HIWORD(lParam));
      return 0;
    case WM_MOUSEMOVE:
      if (GetCapture() == hwnd) {
        // Coordinates are the splitter's own: it moves under the pointer.
        // Less than a design pixel waits until the pointer has gone further.
        const int dy = Designed(static_cast<short>(HIWORD(lParam)) - peer.FDragY);
        if (dy != 0) {
          splitter.MoveBy(dy);
          UpdateWindow(GetParent(hwnd));
        }
      }
      return 0;
    case WM_LBUTTONUP:
      if (GetCapture() == hwnd) ReleaseCapture();
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
      if (splitter.Bevelled) DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

// Errors of event handlers must not cross into the system's code: they are
// shown in the standard error box and the message counts as handled.
template <typename F>
LRESULT Guarded(F handle) {
  try {
    return handle();
  } catch (...) {
    Application.ShowCurrentException();
    return 0;
  }
}

LRESULT ContainerMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TWin32Peer* peer = PeerOf(hwnd);
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
  LRESULT result = 0;
  if (HandleChildMessages(msg, wParam, lParam, result)) return result;
  if (msg == WM_SETFONT) {
    peer->FFont = reinterpret_cast<HFONT>(wParam);
    return 0;
  }
  if (msg == WM_GETFONT) return reinterpret_cast<LRESULT>(peer->FFont);
  switch (peer->Control().Kind()) {
    case ckForm: return FormMessage(*peer, hwnd, msg, wParam, lParam);
    case ckSplitter: return SplitterMessage(*peer, hwnd, msg, wParam, lParam);
    case ckScrollBox:
      if (msg == WM_VSCROLL) {
        peer->ScrollBoxScrolled(LOWORD(wParam));
        return 0;
      }
      if (msg == WM_SIZE && !peer->FInSize) {
        // A scroll bar that comes or goes changes the client width.
        peer->FInSize = true;
        static_cast<TWinControl&>(peer->Control()).Realign();
        peer->FInSize = false;
      }
      break;
    default: break;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK ContainerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Guarded([&] { return ContainerMessage(hwnd, msg, wParam, lParam); });
}

LRESULT SubclassMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TWin32Peer* peer = PeerOf(hwnd);
  if (peer == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
  const WNDPROC old = peer->OldProc();
  if ((msg == WM_TIMER && wParam == kRepaintTimer) || msg == WM_VX_REPAINT_MORE) {
    peer->ResumeRedraw();
    return 0;
  }
  if (msg == WM_TIMER && wParam == kProgressTimer) {
    peer->ApplyProgressNow();
    return 0;
  }
  if (peer->ProgressPending() && msg != WM_PAINT && msg != WM_NCPAINT && msg != WM_ERASEBKGND && msg != WM_TIMER)
    peer->ApplyProgressNow();
  // Text waiting for the next repaint goes in before the control answers
  // anything or takes any input; painting and the redraw switch leave it.
  if (peer->AppendsPending() && msg != WM_PAINT && msg != WM_NCPAINT && msg != WM_ERASEBKGND && msg != WM_SETREDRAW &&
      msg != WM_TIMER)
    peer->FlushAppends();
  if (msg == WM_ERASEBKGND && peer->Control().Kind() == ckGroupBox) {
    // A group box paints only its frame; its inside is ours.
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(reinterpret_cast<HDC>(wParam), &r, GetSysColorBrush(COLOR_BTNFACE));
    return 1;
  }
  if (msg == WM_GETDLGCODE && peer->Control().Kind() == ckRichEdit) {
    // Tab and Shift+Tab move on to the next control instead of typing a tab
    // into the log; every other key stays the text box's own.
    LRESULT code = CallWindowProcW(old, hwnd, msg, wParam, lParam);
    const MSG* key = reinterpret_cast<const MSG*>(lParam);
    if (key != nullptr && (key->message == WM_KEYDOWN || key->message == WM_CHAR) && key->wParam == VK_TAB)
      code &= ~static_cast<LRESULT>(DLGC_WANTTAB | DLGC_WANTALLKEYS | DLGC_WANTMESSAGE);
    return code;
  }
  LRESULT result = 0;
  if (HandleChildMessages(msg, wParam, lParam, result)) return result;
  return CallWindowProcW(old, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Guarded([&] { return SubclassMessage(hwnd, msg, wParam, lParam); });
}

// ---- timers: thread timers, so they need no window and tick in modal loops ----

std::map<UINT_PTR, TTimer*>& TimerIds() {
  static std::map<UINT_PTR, TTimer*> ids;
  return ids;
}
std::map<TTimer*, UINT_PTR>& TimersById() {
  static std::map<TTimer*, UINT_PTR> timers;
  return timers;
}

void CALLBACK TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  Guarded([id]() -> LRESULT {
    auto it = TimerIds().find(id);
    if (it != TimerIds().end()) it->second->Fire();
    return 0;
  });
}

void StopTimer(TTimer& timer) {
  auto it = TimersById().find(&timer);
  if (it == TimersById().end()) return;
  KillTimer(nullptr, it->second);
  TimerIds().erase(it->second);
  TimersById().erase(it);
}

class TWin32Backend : public TBackend {
public:
  std::unique_ptr<TPeer> CreatePeer(TControl& control) override { return std::make_unique<TWin32Peer>(control); }

  void TimerChanged(TTimer& timer) override {
    StopTimer(timer);
    if (!timer.Enabled() || timer.Interval() == 0) return;
    const UINT_PTR id = SetTimer(nullptr, 0, timer.Interval(), TimerProc);
    if (id == 0) return;
    TimerIds()[id] = &timer;
    TimersById()[&timer] = id;
  }
  void TimerDestroyed(TTimer& timer) override { StopTimer(timer); }

  bool MeasureText(const TFont& font, const std::string& text, int& width, int& height) override {
    HDC dc = GetDC(nullptr);
    if (dc == nullptr) return false;
    const HGDIOBJ old = SelectObject(dc, FontHandle(font));
    const std::wstring w = Wide(text.empty() ? std::string(" ") : text);
    RECT r{0, 0, 0, 0};
    DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &r, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX | DT_EXPANDTABS);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    width = text.empty() ? 0 : DesignedCovering(r.right);
    height = DesignedCovering(r.bottom);
    return true;
  }

  void VirtualDesktopSize(int& width, int& height) override {
    width = Designed(GetSystemMetrics(SM_CXVIRTUALSCREEN));
    height = Designed(GetSystemMetrics(SM_CYVIRTUALSCREEN));
  }

  int MessageBox(TForm* owner, const std::string& text, const std::string& caption, unsigned flags) override {
    HWND parent = owner != nullptr ? static_cast<HWND>(owner->Handle()) : nullptr;
    if (parent != nullptr && !IsWindowVisible(parent)) parent = nullptr;
    return MessageBoxW(parent, Wide(text).c_str(), Wide(caption).c_str(), flags);
  }

  bool OpenDialog(TForm* owner, TOpenDialog& dialog) override {
    std::wstring filter = Wide(dialog.Filter);
    for (wchar_t& ch : filter)
      if (ch == L'|') ch = L'\0';
    filter.push_back(L'\0');
    filter.push_back(L'\0');
    std::wstring file = Wide(dialog.FileName);
    file.resize(32768, L'\0');
    const std::wstring title = Wide(dialog.Title);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner != nullptr ? static_cast<HWND>(owner->Handle()) : nullptr;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = title.empty() ? nullptr : title.c_str();
    ofn.Flags = OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_EXPLORER;
    using TOpen = BOOL(WINAPI*)(OPENFILENAMEW*);
    static const auto open = SystemFunction<TOpen>(L"comdlg32.dll", "GetOpenFileNameW");
    if (open == nullptr || !open(&ofn)) return false;
    // c_str(): the name ends at its terminator, not at the end of the buffer.
    // cppcheck-suppress stlcstrConstructor
    const std::wstring chosen(file.c_str());
    dialog.FileNameExact = Utf16ToCp1251Exact(
        std::u16string_view(reinterpret_cast<const char16_t*>(chosen.data()), chosen.size()), dialog.FileName);
    return true;
  }

  void RunMessageLoop(TApplication& app) override {
    app.MainForm->Show();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) Handle(app, msg);
  }

  void ProcessMessages() override {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the loop that waits for it
        return;
      }
      Handle(Application, msg);
    }
  }

  // One message as the window's loops handle it.
  void Handle(TApplication& app, MSG& msg) {
    HWND main = app.MainForm != nullptr ? static_cast<HWND>(app.MainForm->Handle()) : nullptr;
    // Keys of the window's controls go through the dialog navigation (Tab,
    // Shift+Tab, arrows within a group, Space on a button).
    if (main == nullptr || !IsDialogMessageW(main, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (main == nullptr || !IsWindow(main)) return;
    HWND focus = GetFocus();
    if (focus == FLastFocus) return;
    FLastFocus = focus;
    if (focus == nullptr || !IsChild(main, focus)) return;
    if (TWin32Peer* form = PeerOf(main)) form->FSavedFocus = focus;
    ScrollFocusIntoView(focus);
  }

  void RestoreApplication(TApplication& app) override {
    if (app.MainForm == nullptr) return;
    HWND main = static_cast<HWND>(app.MainForm->Handle());
    if (main != nullptr && IsIconic(main)) ShowWindow(main, SW_RESTORE);
  }

  void QuitMessageLoop() override { PostQuitMessage(0); }

private:
  HWND FLastFocus = nullptr;
};

}  // namespace

TBackend& Backend() {
  static TWin32Backend backend;
  return backend;
}
