#include "gui/Controls.h"

#include <algorithm>
#include <exception>

#include "gui/Backend.h"
#include "platform/MainThread.h"

TApplication Application;

// ---- TControl ----

TControl::TControl(TWinControl* parent, std::string name, TControlKind kind)
    : FName(std::move(name)), FKind(kind), FParent(parent) {
  if (FParent != nullptr) FParent->FControls.push_back(this);
}

TControl::~TControl() {
  FPeer.reset();
  if (FParent != nullptr) {
    auto& list = FParent->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == FParent) return;
  DestroyPeers();
  TWinControl* old = FParent;
  if (old != nullptr) {
    auto& list = old->FControls;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FParent = parent;
  if (parent != nullptr) {
    parent->FControls.push_back(this);
    if (parent->Peer() != nullptr) {
      // Made hidden and shown once its children are in it: one paint for
      // the whole control instead of one per child.
      const bool visible = FVisible;
      FVisible = false;
      CreatePeers();
      FVisible = visible;
      if (visible) Notify(TChange::Visible);
    }
  }
  if (FAlign != alNone) {
    if (old != nullptr) old->Realign();
    if (parent != nullptr) parent->Realign();
  }
}

TForm* TControl::ParentForm() {
  TControl* c = this;
  while (c->FParent != nullptr) c = c->FParent;
  return c->FKind == ckForm ? static_cast<TForm*>(c) : nullptr;
}

void TControl::ClampToConstraints(int& width, int& height) const {
  const TSizeConstraints& k = Constraints;
  if (k.MaxWidth > 0) width = std::min(width, k.MaxWidth);
  if (k.MaxHeight > 0) height = std::min(height, k.MaxHeight);
  width = std::max(width, k.MinWidth);
  height = std::max(height, k.MinHeight);
  width = std::max(width, 0);
  height = std::max(height, 0);
}

void TControl::PlaceBounds(int left, int top, int width, int height, bool clamp) {
  if (clamp) ClampToConstraints(width, height);
  if (left == FLeft && top == FTop && width == FWidth && height == FHeight) return;
  const int dw = width - FWidth, dh = height - FHeight;
  FLeft = left;
  FTop = top;
  FWidth = width;
  FHeight = height;
  Notify(TChange::Bounds);
  if (dw != 0 || dh != 0) ClientAreaChanged(dw, dh);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  const bool sized = width != FWidth || height != FHeight || left != FLeft || top != FTop;
  PlaceBounds(left, top, width, height);
  if (sized && FAlign != alNone && FParent != nullptr) FParent->Realign();
}

void TControl::SetAlign(TAlign align) {
  if (align == FAlign) return;
  FAlign = align;
  if (FParent != nullptr) FParent->Realign();
}

void TControl::SetConstraints(const TSizeConstraints& constraints) {
  Constraints = constraints;
  if (FAlign != alNone && FParent != nullptr) FParent->Realign();
  else PlaceBounds(FLeft, FTop, FWidth, FHeight);
}

void TControl::SetVisible(bool visible) {
  if (visible == FVisible) return;
  FVisible = visible;
  Notify(TChange::Visible);
  if (FAlign != alNone && FParent != nullptr) FParent->Realign();
}

bool TControl::Showing() const {
  for (const TControl* c = this; c != nullptr; c = c->FParent)
    if (!c->FVisible) return false;
  return true;
}

void TControl::SetEnabled(bool enabled) {
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  Notify(TChange::Enabled);
}

void TControl::SetText(const std::string& text) {
  if (text == FText) return;
  FText = text;
  Notify(TChange::Text);
}

void TControl::StoreText(const std::string& text) { FText = text; }

void TControl::SetHint(const std::string& hint, bool show) {
  FHint = hint;
  FShowHint = show;
  Notify(TChange::Hint);
}

const TFont& TControl::Font() const {
  if (FParentFont && FParent != nullptr) return FParent->Font();
  return FFont;
}

void TControl::SetFont(const TFont& font) {
  if (!FParentFont && font == FFont) return;  // a new font repaints the control
  FFont = font;
  FParentFont = false;
  FontChanged();
}

void TControl::FontChanged() { Notify(TChange::Font); }

void TControl::Click() {
  if (OnClick) OnClick(this);
}

void TControl::CreatePeers() {
  if (!FPeer) FPeer = Backend().CreatePeer(*this);
}

void TControl::DestroyPeers() { FPeer.reset(); }

// ---- TWinControl ----

TWinControl::~TWinControl() {
  // Children that outlive their parent lose their peers with it.
  for (TControl* c : FControls) {
    c->DestroyPeers();
    c->FParent = nullptr;
  }
}

TControl* TWinControl::FindControl(const std::string& name) const {
  for (TControl* c : FControls) {
    if (c->Name() == name) return c;
    if (auto* w = dynamic_cast<TWinControl*>(c))
      if (TControl* found = w->FindControl(name)) return found;
  }
  return nullptr;
}

int TWinControl::ClientWidth() const {
  int w = 0, h = 0;
  if (Peer() != nullptr && Peer()->ClientSize(w, h)) return w;
  return Width();
}

int TWinControl::ClientHeight() const {
  int w = 0, h = 0;
  if (Peer() != nullptr && Peer()->ClientSize(w, h)) return h;
  return Height();
}

void TWinControl::ClientAreaChanged(int dw, int dh) {
  for (TControl* c : FControls) {
    if (c->Align() != alNone) continue;
    const TAnchors& a = c->Anchors;
    int left = c->Left(), top = c->Top(), width = c->Width(), height = c->Height();
    if (a.Right) {
      if (a.Left) width += dw;
      else left += dw;
    }
    if (a.Bottom) {
      if (a.Top) height += dh;
      else top += dh;
    }
    c->PlaceBounds(left, top, width, height);
  }
  Realign();
}

void TWinControl::ClientResizedBy(int dw, int dh) {
  if (dw != 0 || dh != 0) ClientAreaChanged(dw, dh);
  else Realign();
}

void TWinControl::FontChanged() {
  TControl::FontChanged();
  for (TControl* c : FControls)
    if (c->ParentFont()) c->FontChanged();
}

namespace {

TMargins MarginsOf(const TControl* c) { return c->AlignWithMargins ? c->Margins : TMargins{0, 0, 0, 0}; }

}  // namespace

namespace {
int alignLocks = 0;
}  // namespace

TAlignLock::TAlignLock(TWinControl& root) : FRoot(root) { ++alignLocks; }
TAlignLock::~TAlignLock() {
  if (--alignLocks == 0) FRoot.RealignTree();
}
bool TAlignLock::Held() { return alignLocks > 0; }

void TWinControl::RealignTree() {
  Realign();
  for (TControl* c : FControls)
    if (auto* w = dynamic_cast<TWinControl*>(c)) w->RealignTree();
}

void TWinControl::Realign() {
  if (FAligning || TAlignLock::Held()) return;
  FAligning = true;
  std::vector<TControl*> tops, bottoms, clients;
  for (TControl* c : FControls) {
    if (!c->Visible()) continue;
    if (c->Align() == alTop) tops.push_back(c);
    else if (c->Align() == alBottom) bottoms.push_back(c);
    else if (c->Align() == alClient) clients.push_back(c);
  }
  std::stable_sort(tops.begin(), tops.end(), [](auto* a, auto* b) { return a->Top() < b->Top(); });
  std::stable_sort(bottoms.begin(), bottoms.end(), [](auto* a, auto* b) { return a->Top() > b->Top(); });

  const int offset = ScrollOffset();
  const int width = ClientWidth();
  int top = 0, bottom = ClientHeight();
  // A scroll box lays its content out in as much height as the content needs.
  int needed = bottom;
  for (TControl* c : clients) {
    const TMargins m = MarginsOf(c);
    needed = std::max(needed, c->Constraints.MinHeight + m.Top + m.Bottom);
  }
  if (Kind() == ckScrollBox) bottom = needed;

  for (TControl* c : tops) {
    const TMargins m = MarginsOf(c);
    c->PlaceBounds(m.Left, top + m.Top - offset, width - m.Left - m.Right, c->Height());
    top += c->Height() + m.Top + m.Bottom;
  }
  for (TControl* c : bottoms) {
    const TMargins m = MarginsOf(c);
    c->PlaceBounds(m.Left, bottom - m.Bottom - c->Height() - offset, width - m.Left - m.Right, c->Height());
    bottom -= c->Height() + m.Top + m.Bottom;
  }
  int contentBottom = std::max(top, ClientHeight());
  for (TControl* c : clients) {
    const TMargins m = MarginsOf(c);
    c->PlaceBounds(m.Left, top + m.Top - offset, width - m.Left - m.Right, bottom - top - m.Top - m.Bottom);
    contentBottom = std::max(contentBottom, top + m.Top + c->Height() + m.Bottom);
  }
  for (TControl* c : FControls)
    if (c->Visible() && c->Align() == alNone) contentBottom = std::max(contentBottom, c->Top() + offset + c->Height());
  FAligning = false;
  ContentLaidOut(contentBottom);
}

std::vector<TControl*> TWinControl::CreationOrder() const {
  std::vector<TControl*> order(FControls.begin(), FControls.end());
  std::stable_sort(order.begin(), order.end(), [](const TControl* a, const TControl* b) {
    const int ka = a->TabOrder < 0 ? 1 << 30 : a->TabOrder;
    const int kb = b->TabOrder < 0 ? 1 << 30 : b->TabOrder;
    return ka < kb;
  });
  return order;
}

void TWinControl::CreatePeers() {
  TControl::CreatePeers();
  for (TControl* c : CreationOrder()) c->CreatePeers();
  Realign();
}

void TWinControl::DestroyPeers() {
  // Its own window first: a window system that takes the children with it
  // then does so in one step instead of repainting after each child.
  TControl::DestroyPeers();
  for (TControl* c : FControls) c->DestroyPeers();
}

// ---- TLabel ----

void TLabel::SetAlignment(TAlignment a) {
  if (a == FAlignment) return;
  FAlignment = a;
  Notify(TChange::Style);
}

void TLabel::SetAutoSize(bool on) {
  FAutoSize = on;
  if (on) AdjustSize();
}

void TLabel::SetText(const std::string& text) {
  TControl::SetText(text);
  if (FAutoSize) AdjustSize();
}

void TLabel::FontChanged() {
  TControl::FontChanged();
  if (FAutoSize) AdjustSize();
}

void TLabel::AdjustSize() {
  int w = 0, h = 0;
  if (!Backend().MeasureText(Font(), Text(), w, h)) return;
  const int left = FAlignment == taRightJustify ? Left() + Width() - w : Left();
  SetBounds(left, Top(), w, h);
}

// ---- TCheckBox, TComboBox ----

void TCheckBox::SetChecked(bool checked) {
  if (checked == FChecked) return;
  FChecked = checked;
  Notify(TChange::Checked);
}

void TCheckBox::Click() {
  SetChecked(!FChecked);
  TControl::Click();
}

void TCheckBox::CheckedByUser(bool checked) {
  FChecked = checked;
  TControl::Click();
}

void TComboBox::AddItem(const std::string& item) {
  FItems.push_back(item);
  Notify(TChange::Items);
}

void TComboBox::InsertItem(std::size_t index, const std::string& item) {
  FItems.insert(FItems.begin() + static_cast<std::ptrdiff_t>(std::min(index, FItems.size())), item);
  Notify(TChange::Items);
}

void TComboBox::ClearItems() {
  FItems.clear();
  Notify(TChange::Items);
}

void TComboBox::SetDropDownWidth(int width) {
  FDropDownWidth = width;
  Notify(TChange::Style);
}

void TComboBox::TextChangedByUser(const std::string& text) {
  // The control shows it already: only the state follows.
  StoreText(text);
}

// ---- TScrollBox ----

void TScrollBox::ScrollTo(int position) {
  const int limit = std::max(0, FContentHeight - ClientHeight());
  position = std::clamp(position, 0, limit);
  if (position == FScrollPos) return;
  FScrollPos = position;
  Realign();
}

void TScrollBox::ContentLaidOut(int contentHeight) {
  FContentHeight = contentHeight;
  const int limit = std::max(0, FContentHeight - ClientHeight());
  if (FScrollPos > limit) {
    FScrollPos = limit;
    TWinControl::Realign();
    return;
  }
  Notify(TChange::Scroll);
}

// ---- TSplitter ----

TControl* TSplitter::ResizedControl() const {
  if (Parent() == nullptr) return nullptr;
  for (TControl* c : Parent()->Controls()) {
    if (c == this || !c->Visible() || c->Align() != Align()) continue;
    if (Align() == alBottom && c->Top() == Top() + Height()) return c;
    if (Align() == alTop && c->Top() + c->Height() == Top()) return c;
  }
  return nullptr;
}

void TSplitter::MoveBy(int dy) {
  TControl* target = ResizedControl();
  if (target == nullptr || dy == 0) return;
  // Room the client-aligned sibling can give up.
  int room = 0;
  for (TControl* c : Parent()->Controls())
    if (c->Visible() && c->Align() == alClient) room = std::max(room, c->Height() - MinSize);
  int height = Align() == alBottom ? target->Height() - dy : target->Height() + dy;
  height = std::min(height, target->Height() + std::max(room, 0));
  height = std::max(height, MinSize);
  target->SetHeight(height);
}

// ---- TRichEdit ----

void TRichEdit::AppendLine(const std::string& line, TColor color) {
  int selStart = 0, selLength = 0;
  GetSelection(selStart, selLength);
  const int start = static_cast<int>(FContent.size());
  const bool followEnd = selLength == 0 && selStart >= start;
  FContent += line;
  FContent += '\r';
  FRuns.push_back({start, static_cast<int>(line.size()), color});
  if (TPeer* p = Peer()) p->AppendLine(line, color);
  if (followEnd) {
    FSelStart = static_cast<int>(FContent.size());
    FSelLength = 0;
  } else {
    FSelStart = selStart;
    FSelLength = selLength;
  }
}

void TRichEdit::Clear() {
  FContent.clear();
  FRuns.clear();
  FSelStart = FSelLength = 0;
  if (TPeer* p = Peer()) p->ClearText();
}

std::string TRichEdit::Line(std::size_t index) const {
  if (index >= FRuns.size()) return {};
  return FContent.substr(static_cast<std::size_t>(FRuns[index].Start), static_cast<std::size_t>(FRuns[index].Length));
}

void TRichEdit::GetSelection(int& start, int& length) const {
  if (Peer() != nullptr && Peer()->GetSelection(start, length)) return;
  start = FSelStart;
  length = FSelLength;
}

void TRichEdit::SetSelection(int start, int length) {
  FSelStart = start;
  FSelLength = length;
  if (TPeer* p = Peer()) p->SetSelection(start, length);
}

void TRichEdit::ScrollLines(int lines) {
  if (TPeer* p = Peer()) p->ScrollLines(lines);
}

void TRichEdit::BeginBatch() {
  if (FInBatch) return;
  FInBatch = true;
  if (TPeer* p = Peer()) p->BeginAppendBatch();
}

void TRichEdit::EndBatch() {
  if (!FInBatch) return;
  FInBatch = false;
  if (TPeer* p = Peer()) p->EndAppendBatch();
}

// ---- TProgressBar ----

void TProgressBar::SetRange(int min, int max) {
  FMin = min;
  FMax = std::max(min, max);
  FPosition = std::clamp(FPosition, FMin, FMax);
  Notify(TChange::Position);
}

void TProgressBar::SetPosition(int position) {
  position = std::clamp(position, FMin, FMax);
  if (position == FPosition) return;
  FPosition = position;
  Notify(TChange::Position);
}

// ---- TForm ----

TForm::TForm(std::string className, std::string name)
    : TWinControl(nullptr, std::move(name), ckForm), FClassName(std::move(className)) {
  SetVisible(false);
}

TForm::~TForm() {
  DoDestroy();
  if (Application.MainForm == this) Application.MainForm = nullptr;
}

int TForm::ClientWidth() const { return FClientWidth; }
int TForm::ClientHeight() const { return FClientHeight; }

void TForm::SetClientSize(int width, int height) {
  SetBounds(Left(), Top(), width + FFrameWidth, height + FFrameHeight);
}

void TForm::ClientAreaChanged(int dw, int dh) {
  if (FSettingFrame) return;
  // The client area follows the outer size before the children are placed.
  FClientWidth += dw;
  FClientHeight += dh;
  TWinControl::ClientAreaChanged(dw, dh);
}

void TForm::SetFrame(int extraWidth, int extraHeight) {
  FFrameWidth = extraWidth;
  FFrameHeight = extraHeight;
  FSettingFrame = true;
  PlaceBounds(Left(), Top(), FClientWidth + extraWidth, FClientHeight + extraHeight, false);
  FSettingFrame = false;
}

// The window as it is: the constraints were the system's to apply (a window
// with a thin frame may start narrower than the minimum width).
void TForm::PlacedByUser(int left, int top, int width, int height) { PlaceBounds(left, top, width, height, false); }

void TForm::Show() {
  if (!FShown) {
    FShown = true;
    if (OnShow) OnShow(this);
  }
  if (!FClosed) SetVisible(true);
}

void TForm::Close() {
  FClosed = true;
  SetVisible(false);
  if (Application.MainForm == this) Backend().QuitMessageLoop();
}

void TForm::DoDestroy() {
  if (FDestroyed) return;
  FDestroyed = true;
  // An error ends the handler where it arose and is shown; the form is
  // destroyed all the same (this runs inside destructors).
  try {
    if (OnDestroy) OnDestroy(this);
  } catch (...) {
    Application.ShowCurrentException();
  }
}

bool TForm::Dispatch(TMessage& /*message*/) { return false; }

// ---- TTimer ----

TTimer::TTimer(TForm* owner, std::string name) : FName(std::move(name)), FOwner(owner) {
  if (FOwner != nullptr) FOwner->FTimers.push_back(this);
  Update();
}

TTimer::~TTimer() {
  Backend().TimerDestroyed(*this);
  if (FOwner != nullptr) {
    auto& list = FOwner->FTimers;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  Update();
}

void TTimer::SetInterval(std::uint32_t ms) {
  if (ms == FInterval) return;
  FInterval = ms;
  Update();
}

void TTimer::Update() {
  if (FEnabled) ++FRestarts;
  Backend().TimerChanged(*this);
}

void TTimer::Fire() {
  if (FEnabled && OnTimer) OnTimer(this);
}

// ---- dialogs and the application ----

// A modal loop may last long: what the current turn of hand-overs has
// gathered so far (log lines, the open log file) is finished before it.
bool TOpenDialog::Execute(TForm* owner) {
  FileNameExact = true;
  RunHandOverTurnEnd();
  return Backend().OpenDialog(owner, *this);
}

int ShowMessageBox(TForm* owner, const std::string& text, const std::string& caption, unsigned flags) {
  RunHandOverTurnEnd();
  return Backend().MessageBox(owner, text, caption, flags);
}

void GetVirtualDesktopSize(int& width, int& height) { Backend().VirtualDesktopSize(width, height); }

void TApplication::Initialize() { SetMainThread(); }

void TApplication::Run() {
  if (MainForm != nullptr) Backend().RunMessageLoop(*this);
}

void TApplication::ProcessMessages() { Backend().ProcessMessages(); }

void TApplication::Restore() {
  ++FRestores;
  Backend().RestoreApplication(*this);
}

void TApplication::ShowException(const char* message) {
  ShowMessageBox(MainForm, message != nullptr ? message : "", Title, kMbOk | kMbIconError);
}

void TApplication::ShowCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("");  // a type the framework does not know: no text
  }
}
