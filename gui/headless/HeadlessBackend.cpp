#include <map>

#include "gui/Backend.h"
#include "gui/headless/Headless.h"

namespace {

// The frame a headless form pretends to have, as a classic sizeable window.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 39;

int livePeers = 0;

class THeadlessPeer : public TPeer {
public:
  explicit THeadlessPeer(TControl& control) {
    ++livePeers;
    if (control.Kind() == ckForm) {
      auto& form = static_cast<TForm&>(control);
      form.SetFrame(kFrameWidth, kFrameHeight);
    }
  }
  ~THeadlessPeer() override { --livePeers; }
  THeadlessPeer(const THeadlessPeer&) = delete;
  THeadlessPeer& operator=(const THeadlessPeer&) = delete;
};

struct TState {
  std::vector<headless::TMessageBoxCall> boxes;
  std::function<int(const headless::TMessageBoxCall&)> boxHandler;
  std::function<bool(TOpenDialog&)> dialogHandler;
  std::function<bool(const TFont&, const std::string&, int&, int&)> measure;
  std::uint32_t now = 0;
  std::map<TTimer*, std::uint32_t> due;  // enabled timers and when they fire next
  int quits = 0;
  int desktopWidth = 1920, desktopHeight = 1080;
};

TState& State() {
  static TState state;
  return state;
}

class THeadlessBackend : public TBackend {
public:
  std::unique_ptr<TPeer> CreatePeer(TControl& control) override { return std::make_unique<THeadlessPeer>(control); }

  void TimerChanged(TTimer& timer) override {
    TState& s = State();
    if (timer.Enabled() && timer.Interval() > 0) s.due[&timer] = s.now + timer.Interval();
    else s.due.erase(&timer);
  }
  void TimerDestroyed(TTimer& timer) override { State().due.erase(&timer); }

  bool MeasureText(const TFont& font, const std::string& text, int& width, int& height) override {
    const auto& m = State().measure;
    return m ? m(font, text, width, height) : false;
  }

  void VirtualDesktopSize(int& width, int& height) override {
    width = State().desktopWidth;
    height = State().desktopHeight;
  }

  int MessageBox(TForm*, const std::string& text, const std::string& caption, unsigned flags) override {
    TState& s = State();
    s.boxes.push_back({text, caption, flags});
    const headless::TMessageBoxCall call = s.boxes.back();
    return s.boxHandler ? s.boxHandler(call) : kIdOk;
  }

  bool OpenDialog(TForm*, TOpenDialog& dialog) override {
    const auto& h = State().dialogHandler;
    return h ? h(dialog) : false;
  }

  void RunMessageLoop(TApplication& app) override {
    if (app.MainForm != nullptr) app.MainForm->Show();
  }
  void ProcessMessages() override {}
  void RestoreApplication(TApplication&) override {}
  void QuitMessageLoop() override { ++State().quits; }
};

}  // namespace

TBackend& Backend() {
  static THeadlessBackend backend;
  return backend;
}

namespace headless {

const std::vector<TMessageBoxCall>& MessageBoxes() { return State().boxes; }
void SetMessageBoxHandler(std::function<int(const TMessageBoxCall&)> handler) {
  State().boxHandler = std::move(handler);
}
void SetOpenDialogHandler(std::function<bool(TOpenDialog&)> handler) { State().dialogHandler = std::move(handler); }
std::uint32_t Now() { return State().now; }
int QuitRequests() { return State().quits; }
int PeerCount() { return livePeers; }
void SetTextMeasure(std::function<bool(const TFont&, const std::string&, int&, int&)> measure) {
  State().measure = std::move(measure);
}

void SetVirtualDesktop(int width, int height) {
  State().desktopWidth = width;
  State().desktopHeight = height;
}

void AdvanceTime(std::uint32_t ms) {
  TState& s = State();
  const std::uint32_t end = s.now + ms;
  for (;;) {
    TTimer* next = nullptr;
    std::uint32_t when = end;
    for (auto& [timer, due] : s.due)
      if (due <= when) {
        when = due;
        next = timer;
      }
    if (next == nullptr) break;
    s.now = when;
    s.due[next] = when + next->Interval();  // the next tick, unless the handler changes it
    next->Fire();
  }
  s.now = end;
}

void Reset() {
  TState& s = State();
  s.boxes.clear();
  s.boxHandler = nullptr;
  s.dialogHandler = nullptr;
  s.measure = nullptr;
  s.quits = 0;
  s.desktopWidth = 1920;
  s.desktopHeight = 1080;
  s.now = 0;
  s.due.clear();
}

}  // namespace headless
