#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The small form-and-control layer the window is written against. Controls
// hold their state and run the layout here, in portable code; a backend
// (gui/win32 or gui/headless) realises them through one peer per control.
// Texts are Windows-1251; a backend converts them at its own boundary.
// Positions, sizes and font heights are pixels of a 96-dpi display, as the
// window is designed; a backend scales them to the display's at the same
// boundary.
//
// Ownership: a form owns its controls (as members of the form class or through
// std::unique_ptr held by whoever created them); a parent never owns its
// children, it only lists them. A control removes itself from its parent when
// destroyed.

class TControl;
class TWinControl;
class TForm;
class TTimer;

using TNotifyEvent = std::function<void(void* sender)>;

using TColor = std::uint32_t;  // 0x00BBGGRR like COLORREF
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clWindowText = 0x80000008;  // the system colours
inline constexpr TColor clBtnFace = 0x8000000F;

enum TAlign { alNone, alTop, alBottom, alClient };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };

struct TAnchors {
  bool Left = true, Top = true, Right = false, Bottom = false;
};
inline constexpr TAnchors akLeftTopRight{true, true, true, false};
inline constexpr TAnchors akTopRight{false, true, true, false};

struct TMargins {
  int Left = 3, Top = 3, Right = 3, Bottom = 3;
};

struct TSizeConstraints {
  int MinWidth = 0, MinHeight = 0, MaxWidth = 0, MaxHeight = 0;  // 0: no limit
};

inline constexpr std::uint8_t DEFAULT_CHARSET_VALUE = 1;
inline constexpr std::uint8_t RUSSIAN_CHARSET_VALUE = 204;

struct TFont {
  std::string Name = "Tahoma";
  int Height = 11;  // character height in pixels
  bool Bold = false;
  TColor Color = clWindowText;
  std::uint8_t Charset = DEFAULT_CHARSET_VALUE;
  bool operator==(const TFont&) const = default;
};

enum TControlKind {
  ckForm,
  ckGroupBox,
  ckLabel,
  ckComboBox,
  ckButton,
  ckCheckBox,
  ckPanel,
  ckScrollBox,
  ckSplitter,
  ckRichEdit,
  ckProgressBar
};

enum class TChange { Bounds, Text, Visible, Enabled, Font, Checked, Items, Position, Style, Scroll, Hint };

// What a backend keeps per control. The control calls Changed after each
// change of its state; the rich text box also calls the append operations.
class TPeer {
public:
  virtual ~TPeer() = default;
  virtual void Changed(TChange) {}
  virtual void* Handle() const { return nullptr; }
  // Rich text box.
  virtual void AppendLine(const std::string& /*line*/, TColor /*color*/) {}
  virtual bool GetSelection(int& /*start*/, int& /*length*/) const { return false; }
  virtual void SetSelection(int /*start*/, int /*length*/) {}
  virtual void SetColor(int /*start*/, int /*length*/, TColor /*color*/) {}
  virtual void ScrollLines(int /*lines*/) {}
  virtual void ClearText() {}
  // Lines and scrolls between the two may reach the control together at the
  // end, in their order and colours; selection and colour calls made
  // meanwhile see every line before them.
  virtual void BeginAppendBatch() {}
  virtual void EndAppendBatch() {}
  // The client size when the backend knows better than Width/Height (a scroll
  // bar or a frame takes part of the control).
  virtual bool ClientSize(int& /*width*/, int& /*height*/) const { return false; }
};

class TControl {
public:
  TControl(TWinControl* parent, std::string name, TControlKind kind);
  virtual ~TControl();
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  [[nodiscard]] const std::string& Name() const { return FName; }
  [[nodiscard]] TControlKind Kind() const { return FKind; }
  [[nodiscard]] TWinControl* Parent() const { return FParent; }
  // Moves the control (with its children) to another parent, or takes it off
  // its parent with null. Its backend window goes with the old parent's and a
  // new one is made when the new parent has one already, so controls made
  // after the window exists are shown too. Aligned controls re-align both
  // parents.
  void SetParent(TWinControl* parent);
  [[nodiscard]] TForm* ParentForm();

  [[nodiscard]] int Left() const { return FLeft; }
  [[nodiscard]] int Top() const { return FTop; }
  [[nodiscard]] int Width() const { return FWidth; }
  [[nodiscard]] int Height() const { return FHeight; }
  // Sets position and size; size is clamped to the constraints. A change of
  // an aligned control's size re-aligns its parent.
  virtual void SetBounds(int left, int top, int width, int height);
  void SetLeft(int v) { SetBounds(v, FTop, FWidth, FHeight); }
  void SetTop(int v) { SetBounds(FLeft, v, FWidth, FHeight); }
  void SetWidth(int v) { SetBounds(FLeft, FTop, v, FHeight); }
  void SetHeight(int v) { SetBounds(FLeft, FTop, FWidth, v); }

  [[nodiscard]] TAlign Align() const { return FAlign; }
  void SetAlign(TAlign align);
  bool AlignWithMargins = false;
  TMargins Margins;
  TAnchors Anchors;
  TSizeConstraints Constraints;
  // Changes the constraints and lays the control out under them at once.
  void SetConstraints(const TSizeConstraints& constraints);

  [[nodiscard]] bool Visible() const { return FVisible; }
  void SetVisible(bool visible);
  // Visible and every parent visible too.
  [[nodiscard]] bool Showing() const;
  [[nodiscard]] bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);

  [[nodiscard]] const std::string& Text() const { return FText; }
  virtual void SetText(const std::string& text);

  [[nodiscard]] const std::string& Hint() const { return FHint; }
  void SetHint(const std::string& hint, bool show = true);
  [[nodiscard]] bool ShowHint() const { return FShowHint; }

  // The font in use: the own one, or the parent's while ParentFont is true.
  [[nodiscard]] const TFont& Font() const;
  void SetFont(const TFont& font);
  [[nodiscard]] bool ParentFont() const { return FParentFont; }

  int TabOrder = -1;  // -1: not a tab stop
  bool TabStop = false;

  TNotifyEvent OnClick;
  // A click as if by the user: check boxes toggle first.
  virtual void Click();

  [[nodiscard]] TPeer* Peer() const { return FPeer.get(); }
  [[nodiscard]] void* Handle() const { return FPeer ? FPeer->Handle() : nullptr; }

  // Creates the backend's peer of this control (and of its children).
  virtual void CreatePeers();
  // Destroys this control's peer and those of its children.
  virtual void DestroyPeers();

protected:
  void Notify(TChange change) const {
    if (FPeer) FPeer->Changed(change);
  }
  virtual void FontChanged();
  // The text as the backend already shows it: no notification.
  void StoreText(const std::string& text);
  // Bounds straight from the layout: no re-alignment of the parent. Without
  // `clamp` the size is taken as it is (the backend reports the real window).
  void PlaceBounds(int left, int top, int width, int height, bool clamp = true);
  virtual void ClientAreaChanged(int /*dw*/, int /*dh*/) {}

  friend class TWinControl;

private:
  void ClampToConstraints(int& width, int& height) const;

  std::string FName;
  TControlKind FKind;
  TWinControl* FParent;
  int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
  TAlign FAlign = alNone;
  bool FVisible = true;
  bool FEnabled = true;
  std::string FText;
  std::string FHint;
  bool FShowHint = false;
  TFont FFont;
  bool FParentFont = true;
  std::unique_ptr<TPeer> FPeer;
};

// Holds alignment back while a form is put together, so that aligned
// controls are placed by their designed tops all at once when it ends (a
// control aligned on its own would otherwise be placed by where the previous
// alignment left the others). Window thread only.
class TAlignLock {
public:
  explicit TAlignLock(TWinControl& root);
  ~TAlignLock();
  TAlignLock(const TAlignLock&) = delete;
  TAlignLock& operator=(const TAlignLock&) = delete;
  [[nodiscard]] static bool Held();

private:
  TWinControl& FRoot;
};

// A control that holds others and lays them out.
class TWinControl : public TControl {
public:
  using TControl::TControl;
  ~TWinControl() override;

  // Re-aligns this control and every container below it.
  void RealignTree();

  [[nodiscard]] const std::vector<TControl*>& Controls() const { return FControls; }
  [[nodiscard]] TControl* FindControl(const std::string& name) const;  // searches the whole tree

  // The area the children are laid out in.
  [[nodiscard]] virtual int ClientWidth() const;
  [[nodiscard]] virtual int ClientHeight() const;

  // Places the aligned children: top ones in the order of their tops, then
  // bottom ones from the lowest up, then the client ones in what is left.
  virtual void Realign();

  // The backend reports that the client area changed without a SetBounds
  // (a form resized by the user, a scroll bar that came or went).
  void ClientResizedBy(int dw, int dh);

  void CreatePeers() override;
  void DestroyPeers() override;
  // Children in tab order (tab stops first, by TabOrder), then the rest in
  // the order they were created: the order in which peers are created.
  [[nodiscard]] std::vector<TControl*> CreationOrder() const;

  // How far the content is scrolled up (scroll boxes).
  [[nodiscard]] virtual int ScrollOffset() const { return 0; }

protected:
  void ClientAreaChanged(int dw, int dh) override;
  void FontChanged() override;
  // Height the laid-out content needs; scroll boxes grow their range to it.
  virtual void ContentLaidOut(int /*contentHeight*/) {}

private:
  friend class TControl;
  std::vector<TControl*> FControls;
  bool FAligning = false;
};

class TLabel : public TControl {
public:
  TLabel(TWinControl* parent, std::string name) : TControl(parent, std::move(name), ckLabel) {}
  [[nodiscard]] TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment a);
  [[nodiscard]] bool AutoSize() const { return FAutoSize; }
  void SetAutoSize(bool on);
  void SetText(const std::string& text) override;
  // Fits the size to the text as the backend measures it; a right-aligned
  // label keeps its right edge.
  void AdjustSize();

protected:
  void FontChanged() override;

private:
  TAlignment FAlignment = taLeftJustify;
  bool FAutoSize = true;
};

class TButton : public TControl {
public:
  TButton(TWinControl* parent, std::string name) : TControl(parent, std::move(name), ckButton) { TabStop = true; }
};

class TCheckBox : public TControl {
public:
  TCheckBox(TWinControl* parent, std::string name) : TControl(parent, std::move(name), ckCheckBox) {
    TabStop = true;
  }
  [[nodiscard]] bool Checked() const { return FChecked; }
  void SetChecked(bool checked);
  void Click() override;
  // The backend saw the user change the box.
  void CheckedByUser(bool checked);

private:
  bool FChecked = false;
};

class TComboBox : public TControl {
public:
  TComboBox(TWinControl* parent, std::string name) : TControl(parent, std::move(name), ckComboBox) {
    TabStop = true;
  }
  [[nodiscard]] const std::vector<std::string>& Items() const { return FItems; }
  void AddItem(const std::string& item);
  void InsertItem(std::size_t index, const std::string& item);
  void ClearItems();
  [[nodiscard]] int DropDownWidth() const { return FDropDownWidth; }
  void SetDropDownWidth(int width);
  bool AutoComplete = true;
  // The backend saw the user edit or choose the text.
  void TextChangedByUser(const std::string& text);

private:
  std::vector<std::string> FItems;
  int FDropDownWidth = 0;
};

class TGroupBox : public TWinControl {
public:
  TGroupBox(TWinControl* parent, std::string name) : TWinControl(parent, std::move(name), ckGroupBox) {}
};

class TPanel : public TWinControl {
public:
  TPanel(TWinControl* parent, std::string name) : TWinControl(parent, std::move(name), ckPanel) {}
  bool Bevelled = false;
};

// Scrolls its content vertically when the content needs more height than it
// has (an alClient child with a larger minimum height, or children below).
class TScrollBox : public TWinControl {
public:
  TScrollBox(TWinControl* parent, std::string name) : TWinControl(parent, std::move(name), ckScrollBox) {}
  [[nodiscard]] int ScrollOffset() const override { return FScrollPos; }
  [[nodiscard]] int ContentHeight() const { return FContentHeight; }
  void ScrollTo(int position);

protected:
  void ContentLaidOut(int contentHeight) override;

private:
  int FScrollPos = 0;
  int FContentHeight = 0;
};

// A bar between two aligned controls; dragging it resizes the control on the
// far side of it (for a bottom-aligned splitter, the one below it).
class TSplitter : public TControl {
public:
  TSplitter(TWinControl* parent, std::string name) : TControl(parent, std::move(name), ckSplitter) {}
  int MinSize = 30;
  bool Bevelled = true;
  // The neighbour it resizes, or null.
  [[nodiscard]] TControl* ResizedControl() const;
  // Moves the bar by dy pixels (positive: down), resizing the neighbour
  // within MinSize and the room the parent has.
  void MoveBy(int dy);
};

class TRichEdit : public TControl {
public:
  TRichEdit(TWinControl* parent, std::string name) : TControl(parent, std::move(name), ckRichEdit) {
    TabStop = true;
  }
  // Adds a paragraph at the end in the colour, keeping the user's selection
  // unless the caret was at the end. Constant cost per line.
  void AppendLine(const std::string& line, TColor color);
  void Clear();
  [[nodiscard]] std::size_t LineCount() const { return FRuns.size(); }
  // The text as the control counts it: each paragraph ends with one "\r".
  [[nodiscard]] const std::string& Content() const { return FContent; }
  struct TRun {
    int Start;
    int Length;
    TColor Color;
  };
  [[nodiscard]] const std::vector<TRun>& Runs() const { return FRuns; }
  [[nodiscard]] std::string Line(std::size_t index) const;

  bool ScrollBars = true;  // both

  void GetSelection(int& start, int& length) const;
  void SetSelection(int start, int length);
  void ScrollLines(int lines);

  // Lines appended and scrolls made until EndBatch reach the window together
  // (the control's own state, Content and Runs, has each line at once): one
  // update of the window for many lines. Batches do not nest.
  void BeginBatch();
  void EndBatch();
  [[nodiscard]] bool InBatch() const { return FInBatch; }

private:
  bool FInBatch = false;
  std::string FContent;
  std::vector<TRun> FRuns;
  int FSelStart = 0, FSelLength = 0;
};

class TProgressBar : public TControl {
public:
  TProgressBar(TWinControl* parent, std::string name) : TControl(parent, std::move(name), ckProgressBar) {}
  [[nodiscard]] int Min() const { return FMin; }
  [[nodiscard]] int Max() const { return FMax; }
  [[nodiscard]] int Position() const { return FPosition; }
  void SetRange(int min, int max);
  void SetPosition(int position);

private:
  int FMin = 0, FMax = 100, FPosition = 0;
};

// A message sent or posted to a form.
struct TMessage {
  std::uint32_t Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
  std::intptr_t Result = 0;
};

class TForm : public TWinControl {
public:
  // `className` is the window class the backend registers for it.
  TForm(std::string className, std::string name);
  ~TForm() override;

  [[nodiscard]] const std::string& ClassName() const { return FClassName; }
  [[nodiscard]] int ClientWidth() const override;
  [[nodiscard]] int ClientHeight() const override;
  void SetClientSize(int width, int height);
  // Outer size minus client size, as the backend has it.
  void SetFrame(int extraWidth, int extraHeight);
  [[nodiscard]] int FrameWidth() const { return FFrameWidth; }
  [[nodiscard]] int FrameHeight() const { return FFrameHeight; }
  // The backend saw the user move or size the window.
  void PlacedByUser(int left, int top, int width, int height);

  TColor Color = clBtnFace;

  TNotifyEvent OnShow;
  TNotifyEvent OnDestroy;

  // Runs OnShow, then shows the window unless OnShow closed it.
  void Show();
  // Hides the window; the main form's close ends the message loop.
  void Close();
  [[nodiscard]] bool Closed() const { return FClosed; }
  [[nodiscard]] bool Shown() const { return FShown; }

  // Runs OnDestroy once. A derived form calls it first in its destructor, so
  // that the handler sees every control and field still alive.
  void DoDestroy();

  // Messages reach the form here first; true means handled (not passed on).
  virtual bool Dispatch(TMessage& message);

  // Timers owned by the form, for the backend.
  [[nodiscard]] const std::vector<TTimer*>& Timers() const { return FTimers; }

  // The control that has the keyboard focus, as far as the form knows.
  TControl* ActiveControl = nullptr;

protected:
  void ClientAreaChanged(int dw, int dh) override;

private:
  friend class TTimer;
  bool FSettingFrame = false;
  std::string FClassName;
  int FClientWidth = 0, FClientHeight = 0;
  int FFrameWidth = 0, FFrameHeight = 0;
  bool FClosed = false;
  bool FShown = false;
  bool FDestroyed = false;
  std::vector<TTimer*> FTimers;
};

// Fires OnTimer every Interval ms while enabled. Enabling restarts the count.
class TTimer {
public:
  TTimer(TForm* owner, std::string name);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  [[nodiscard]] const std::string& Name() const { return FName; }
  [[nodiscard]] TForm* Owner() const { return FOwner; }
  [[nodiscard]] bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);
  [[nodiscard]] std::uint32_t Interval() const { return FInterval; }
  void SetInterval(std::uint32_t ms);
  TNotifyEvent OnTimer;

  // The backend's tick.
  void Fire();
  // Times the backend (re)started the count; tests read it.
  [[nodiscard]] int Restarts() const { return FRestarts; }

private:
  void Update();
  std::string FName;
  TForm* FOwner;
  bool FEnabled = true;
  std::uint32_t FInterval = 1000;
  int FRestarts = 0;
};

class TOpenDialog {
public:
  std::string Filter;  // "Name|*.ext|Name|*.ext"
  std::string FileName;
  std::string Title;
  // False after Execute when the chosen name has a character that
  // Windows-1251 cannot hold; FileName then shows it as "?" and names no file.
  bool FileNameExact = true;
  // Shows the dialog; true with FileName set when the user chose a file.
  bool Execute(TForm* owner);
};

// Message box flags and answers, the values of the Windows API.
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbOkCancel = 0x01;
inline constexpr unsigned kMbYesNo = 0x04;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr int kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7;

// A modal message box; the window thread keeps serving workers' hand-overs
// while it is open.
int ShowMessageBox(TForm* owner, const std::string& text, const std::string& caption, unsigned flags);

// Width and height of the desktop that spans every monitor.
void GetVirtualDesktopSize(int& width, int& height);

// The application object: the message loop and process-wide settings.
class TApplication {
public:
  bool MainFormOnTaskbar = false;
  std::string Title;
  TForm* MainForm = nullptr;

  void Initialize();
  // Shows the main form and runs the message loop until the main form closes.
  void Run();
  // Handles pending messages and returns.
  void ProcessMessages();
  // Brings a minimised main window back to its previous size and position.
  void Restore();
  [[nodiscard]] int Restores() const { return FRestores; }
  // The standard error box for an exception that nothing else handled.
  void ShowException(const char* message);
  // The same for the exception being handled (call inside a catch block).
  void ShowCurrentException();

private:
  int FRestores = 0;
};

extern TApplication Application;
