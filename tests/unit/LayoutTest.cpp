// The layout engine and the state-only controls, in the headless backend.
#include <gtest/gtest.h>

#include <stdexcept>

#include "gui/Controls.h"
#include "gui/headless/Headless.h"

namespace {

struct TBox {
  int l, t, w, h;
  bool operator==(const TBox&) const = default;
};
TBox BoxOf(const TControl& c) { return {c.Left(), c.Top(), c.Width(), c.Height()}; }
std::ostream& operator<<(std::ostream& os, const TBox& b) {
  return os << "(" << b.l << "," << b.t << "," << b.w << "," << b.h << ")";
}

class LayoutTest : public ::testing::Test {
protected:
  void SetUp() override { headless::Reset(); }
};

TEST_F(LayoutTest, AlignsTopBottomClientInTheOrderOfTheirTops) {
  TForm form("TTest", "form");
  TPanel a(&form, "a"), b(&form, "b"), fill(&form, "fill"), low(&form, "low"), lower(&form, "lower");
  form.CreatePeers();
  form.SetClientSize(200, 300);

  /* two top panels: the one with the smaller top goes first, with margins */
  b.SetBounds(0, 50, 10, 20);
  a.SetBounds(0, 10, 10, 30);
  a.AlignWithMargins = true;
  a.Margins = {3, 4, 5, 6};
  a.SetAlign(alTop);
  b.SetAlign(alTop);
  EXPECT_EQ(BoxOf(a), (TBox{3, 4, 192, 30}));
  EXPECT_EQ(BoxOf(b), (TBox{0, 40, 200, 20}));

  /* two bottom panels aligned together: the lower one sits at the very bottom */
  {
    TAlignLock lock(form);
    low.SetBounds(0, 100, 10, 15);
    lower.SetBounds(0, 200, 10, 25);
    low.SetAlign(alBottom);
    lower.SetAlign(alBottom);
  }
  EXPECT_EQ(BoxOf(lower), (TBox{0, 275, 200, 25}));
  EXPECT_EQ(BoxOf(low), (TBox{0, 260, 200, 15}));

  /* the client panel takes what is left */
  fill.SetAlign(alClient);
  EXPECT_EQ(BoxOf(fill), (TBox{0, 60, 200, 200}));

  /* a hidden aligned control gives its room to the client one */
  b.SetVisible(false);
  EXPECT_EQ(BoxOf(fill), (TBox{0, 40, 200, 220}));

  /* a taller bottom control takes room from the client one at once */
  b.SetVisible(true);
  lower.SetHeight(45);
  EXPECT_EQ(BoxOf(lower), (TBox{0, 255, 200, 45}));
  EXPECT_EQ(BoxOf(low), (TBox{0, 240, 200, 15}));
  EXPECT_EQ(BoxOf(fill), (TBox{0, 60, 200, 180}));
}

TEST_F(LayoutTest, AnchorsFollowTheParentsResize) {
  TForm form("TTest", "form");
  form.SetClientSize(300, 200);
  TPanel group(&form, "group");
  TButton plain(&group, "plain"), right(&group, "right"), both(&group, "both"), bottom(&group, "bottom");
  group.SetBounds(0, 0, 300, 100);
  group.SetAlign(alTop);
  plain.SetBounds(10, 10, 50, 20);
  right.SetBounds(240, 10, 50, 20);
  right.Anchors = akTopRight;
  both.SetBounds(10, 40, 200, 20);
  both.Anchors = akLeftTopRight;
  bottom.SetBounds(10, 70, 50, 20);
  bottom.Anchors = {true, false, false, true};
  form.CreatePeers();

  form.SetClientSize(500, 200);
  EXPECT_EQ(BoxOf(group), (TBox{0, 0, 500, 100}));
  EXPECT_EQ(BoxOf(plain), (TBox{10, 10, 50, 20}));
  EXPECT_EQ(BoxOf(right), (TBox{440, 10, 50, 20}));
  EXPECT_EQ(BoxOf(both), (TBox{10, 40, 400, 20}));
  EXPECT_EQ(BoxOf(bottom), (TBox{10, 70, 50, 20}));  // the group's height did not change

  group.SetHeight(150);
  EXPECT_EQ(BoxOf(bottom), (TBox{10, 120, 50, 20}));

  /* shrinking and growing back restores the same places */
  form.SetClientSize(300, 200);
  EXPECT_EQ(BoxOf(right), (TBox{240, 10, 50, 20}));
  EXPECT_EQ(BoxOf(both), (TBox{10, 40, 200, 20}));
}

TEST_F(LayoutTest, ConstraintsAndScrolledContent) {
  TForm form("TTest", "form");
  form.CreatePeers();  // the headless frame: 16 x 39
  form.Constraints.MinWidth = 680;
  form.SetClientSize(664, 456);
  EXPECT_EQ(form.Width(), 680);

  /* the minimum outer width holds; the client area shrinks only to it */
  form.SetBounds(0, 0, 500, 400);
  EXPECT_EQ(form.Width(), 680);
  EXPECT_EQ(form.ClientWidth(), 664);
  EXPECT_EQ(form.ClientHeight(), 361);

  /* a client child taller than its scroll box makes the box scroll */
  TScrollBox box(&form, "box");
  TPanel content(&box, "content");
  content.Constraints.MinHeight = 250;
  box.SetBounds(0, 0, 100, 100);
  content.SetAlign(alClient);
  EXPECT_EQ(BoxOf(content), (TBox{0, 0, 100, 250}));
  EXPECT_EQ(box.ContentHeight(), 250);
  box.ScrollTo(1000);
  EXPECT_EQ(box.ScrollOffset(), 150);
  EXPECT_EQ(content.Top(), -150);

  /* a taller box needs no scrolling and snaps back */
  box.SetHeight(300);
  EXPECT_EQ(box.ScrollOffset(), 0);
  EXPECT_EQ(BoxOf(content), (TBox{0, 0, 100, 300}));
}

TEST_F(LayoutTest, SplitterResizesTheControlBelowIt) {
  TForm form("TTest", "form");
  form.SetClientSize(200, 340);
  TPanel fill(&form, "fill");
  TSplitter splitter(&form, "splitter");
  TRichEdit log(&form, "log");
  {
    TAlignLock lock(form);
    fill.SetAlign(alClient);
    splitter.SetBounds(0, 172, 200, 3);
    splitter.SetAlign(alBottom);
    log.SetBounds(0, 175, 200, 165);
    log.SetAlign(alBottom);
  }
  form.CreatePeers();
  ASSERT_EQ(splitter.ResizedControl(), &log);

  splitter.MoveBy(-50);  // up: the log grows
  EXPECT_EQ(BoxOf(log), (TBox{0, 125, 200, 215}));
  EXPECT_EQ(BoxOf(splitter), (TBox{0, 122, 200, 3}));
  EXPECT_EQ(fill.Height(), 122);

  /* the log keeps its minimum size, the client panel as well */
  splitter.MoveBy(1000);
  EXPECT_EQ(log.Height(), 30);
  splitter.MoveBy(-1000);
  EXPECT_EQ(fill.Height(), 30);
  EXPECT_EQ(log.Height(), 340 - 30 - 3);
}

TEST_F(LayoutTest, RichEditAppendsColouredLinesAndKeepsTheSelection) {
  TForm form("TTest", "form");
  TRichEdit log(&form, "log");
  form.CreatePeers();

  log.AppendLine("first", clBlack);
  log.AppendLine("second", clRed);
  EXPECT_EQ(log.Content(), "first\rsecond\r");
  ASSERT_EQ(log.Runs().size(), 2u);
  EXPECT_EQ(log.Runs()[1].Start, 6);
  EXPECT_EQ(log.Runs()[1].Length, 6);
  EXPECT_EQ(log.Runs()[1].Color, clRed);
  EXPECT_EQ(log.Line(1), "second");

  /* a caret at the end follows the new lines */
  int start = -1, length = -1;
  log.GetSelection(start, length);
  EXPECT_EQ(start, 13);

  /* a selection made by the user stays where it is */
  log.SetSelection(2, 3);
  log.AppendLine("third", clGreen);
  log.GetSelection(start, length);
  EXPECT_EQ(start, 2);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(log.LineCount(), 3u);
}

TEST_F(LayoutTest, TimersFireAtTheirIntervalAndRestartWhenReEnabled) {
  TForm form("TTest", "form");
  TTimer timer(&form, "timer");
  std::vector<std::uint32_t> ticks;
  timer.OnTimer = [&](void*) { ticks.push_back(headless::Now()); };
  timer.SetInterval(100);

  headless::AdvanceTime(250);
  EXPECT_EQ(ticks, (std::vector<std::uint32_t>{100, 200}));

  /* off and on again counts from the moment it is enabled */
  headless::AdvanceTime(40);  // 290
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  headless::AdvanceTime(99);
  EXPECT_EQ(ticks.size(), 2u);
  headless::AdvanceTime(1);
  EXPECT_EQ(ticks.back(), 390u);

  /* a disabled timer does not fire */
  timer.SetEnabled(false);
  headless::AdvanceTime(1000);
  EXPECT_EQ(ticks.size(), 3u);
}

TEST_F(LayoutTest, AnErrorInTheDestroyHandlerIsShownAndTheFormStillGoes) {
  {
    TForm form("TTest", "form");
    form.OnDestroy = [](void*) { throw std::runtime_error("Не удалось записать файл"); };
  }
  ASSERT_EQ(headless::MessageBoxes().size(), 1u);
  EXPECT_EQ(headless::MessageBoxes()[0].Text, "Не удалось записать файл");
  EXPECT_EQ(headless::MessageBoxes()[0].Flags, kMbOk | kMbIconError);

  /* an error of a type the framework does not know has no text */
  {
    TForm form("TTest", "form");
    form.OnDestroy = [](void*) { throw 42; };
  }
  ASSERT_EQ(headless::MessageBoxes().size(), 2u);
  EXPECT_EQ(headless::MessageBoxes()[1].Text, "");
}

}  // namespace
