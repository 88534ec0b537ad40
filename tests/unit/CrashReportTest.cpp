// The portable parts of a crash report: bounded text, the folder name, the
// ring of the last log lines, the thread tags and the crash-test switch.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crash/LogRing.h"
#include "crash/ReportBuffer.h"
#include "crash/ReportText.h"
#include "platform/ThreadTags.h"

TEST(CrashReportText, BufferCutsAtItsEndAndSaysSo) {
  char storage[8];
  TReportBuffer b(storage, sizeof storage);
  /* fits exactly: seven characters and the terminator */
  b.Append("abc");
  b.AppendFormat("%d", 1234);
  EXPECT_STREQ(b.Text(), "abc1234");
  EXPECT_FALSE(b.Truncated());
  /* nothing more fits */
  b.Append("x");
  EXPECT_STREQ(b.Text(), "abc1234");
  EXPECT_TRUE(b.Truncated());
  /* a format longer than the room is cut, never written past the end */
  char guarded[12] = "";
  guarded[11] = 'G';
  TReportBuffer g(guarded, 11);
  g.AppendFormat("%s-%s", "hello", "world!!");
  EXPECT_EQ(std::string(g.Text()), "hello-worl");
  EXPECT_EQ(g.Length(), 10u);
  EXPECT_TRUE(g.Truncated());
  EXPECT_EQ(guarded[11], 'G');
  /* cleared, it starts again */
  g.Clear();
  g.Append("ok");
  EXPECT_STREQ(g.Text(), "ok");
  EXPECT_FALSE(g.Truncated());
}

TEST(CrashReportText, FolderNameAndAddresses) {
  char name[64];
  const TLocalTime t{2014, 3, 5, 9, 7, 2, 999};
  ASSERT_TRUE(ReportFolderName(t, 1, name, sizeof name));
  EXPECT_STREQ(name, "crash-20140305-090702");
  /* a second report in the same second */
  ASSERT_TRUE(ReportFolderName(t, 2, name, sizeof name));
  EXPECT_STREQ(name, "crash-20140305-090702-2");
  /* too small a buffer is a failure, not a cut name */
  char small[21];
  EXPECT_FALSE(ReportFolderName(t, 1, small, sizeof small));

  char storage[256];
  TReportBuffer b(storage, sizeof storage);
  AppendCodeAddress(b, 0x140012345ull, "vxfwloader.exe", 0x140000000ull);
  b.Append(" ");
  AppendCodeAddress(b, 0x1234, nullptr, 0);
  b.Append(" ");
  AppendAccessViolation(b, 1, 0);
  EXPECT_STREQ(b.Text(), "vxfwloader.exe+0x12345 0x1234 запись по адресу 0x0");

  b.Clear();
  const TThreadTagInfo flash{77, TThreadKind::Flashing, 1234567};
  AppendThreadDescription(b, 77, &flash);
  b.Append(" | ");
  AppendThreadDescription(b, 78, nullptr);
  EXPECT_STREQ(b.Text(), "поток 77 (прошивка прибора), прибор 1234567 | поток 78 (неизвестный поток)");

  EXPECT_STREQ(ExceptionCodeName(0xC00000FD), "EXCEPTION_STACK_OVERFLOW");
  EXPECT_EQ(ExceptionCodeName(0x12345678), nullptr);
  EXPECT_STREQ(ExceptionCodeDescription(0x12345678), "неизвестное исключение");

  /* the exit code is the crash's, but never a console flasher's status */
  EXPECT_EQ(CrashExitCode(0xC0000005), 0xC0000005u);
  EXPECT_EQ(CrashExitCode(4), 4u);
  for (std::uint32_t status = 0; status <= 3; ++status) EXPECT_EQ(CrashExitCode(status), kCrashLowCode);
}

TEST(CrashReportText, LogRingKeepsTheLastLinesOldestFirst) {
  static TLogRing ring;
  char storage[64 * 1024];
  TReportBuffer out(storage, sizeof storage);
  /* empty */
  EXPECT_EQ(ring.AppendTo(out), 0);
  EXPECT_STREQ(out.Text(), "");
  /* a few lines; a line break inside a line does not split it */
  ring.Add("one");
  ring.Add("two\r\nlines");
  EXPECT_EQ(ring.AppendTo(out), 2);
  EXPECT_STREQ(out.Text(), "one\r\ntwo  lines\r\n");
  /* past its size only the newest stay, in order */
  for (int i = 0; i < TLogRing::kLines + 5; ++i) ring.Add(("line " + std::to_string(i)).c_str());
  out.Clear();
  EXPECT_EQ(ring.AppendTo(out), TLogRing::kLines);
  const std::string text = out.Text();
  EXPECT_EQ(text.find("line 4\r\n"), std::string::npos);
  EXPECT_EQ(text.rfind("line 5\r\n", 0), 0u);
  EXPECT_NE(text.find("line " + std::to_string(TLogRing::kLines + 4) + "\r\n"), std::string::npos);
  /* a long line is cut to the ring's line length */
  ring.Add(std::string(1000, 'x').c_str());
  out.Clear();
  (void)ring.AppendTo(out);
  EXPECT_NE(std::string(out.Text()).find(std::string(TLogRing::kLineLength, 'x') + "\r\n"), std::string::npos);
  EXPECT_EQ(std::string(out.Text()).find(std::string(TLogRing::kLineLength + 1, 'x')), std::string::npos);
}

TEST(CrashReportText, ThreadTagsAreFoundFromAnotherThreadAndFreedAtTheirEnd) {
  std::uint64_t worker = 0;
  std::atomic<bool> tagged{false}, release{false};
  std::thread t([&] {
    const TThreadTag tag(TThreadKind::Flashing, 4242);
    worker = CurrentThreadNumber();
    tagged = true;
    while (!release) std::this_thread::yield();
  });
  while (!tagged) std::this_thread::yield();
  TThreadTagInfo info;
  ASSERT_TRUE(FindThreadTag(worker, info));
  EXPECT_EQ(info.Kind, TThreadKind::Flashing);
  EXPECT_EQ(info.Serial, 4242);
  release = true;
  t.join();
  EXPECT_FALSE(FindThreadTag(worker, info));

  /* every slot taken: one more thread stays untagged, and the rest are intact */
  std::vector<std::unique_ptr<TThreadTag>> held;
  TThreadTagInfo before[kThreadTagSlots];
  const int free = kThreadTagSlots - ListThreadTags(before, kThreadTagSlots);
  for (int i = 0; i < free; ++i) held.push_back(std::make_unique<TThreadTag>(TThreadKind::Discovery));
  for (const auto& h : held) EXPECT_TRUE(h->Tagged());
  const TThreadTag extra(TThreadKind::Window);
  EXPECT_FALSE(extra.Tagged());
  held.clear();
  const TThreadTag again(TThreadKind::Window);
  EXPECT_TRUE(again.Tagged());
}

TEST(CrashReportText, CrashTestSwitch) {
  TCrashTest t;
  ASSERT_TRUE(ParseCrashTest("av", t));
  EXPECT_EQ(t.Kind, TCrashTestKind::AccessViolation);
  EXPECT_STREQ(t.Where, "window");
  ASSERT_TRUE(ParseCrashTest("stack:flash", t));
  EXPECT_EQ(t.Kind, TCrashTestKind::StackOverflow);
  EXPECT_STREQ(t.Where, "flash");
  /* a trouble of the reporter's own */
  ASSERT_TRUE(ParseCrashTest("divzero:flash:report-hang", t));
  EXPECT_EQ(t.Kind, TCrashTestKind::DivideByZero);
  EXPECT_STREQ(t.Where, "flash");
  EXPECT_EQ(t.Trouble, TReportTrouble::SectionHang);
  /* unknown kinds, places, troubles and near misses provoke nothing */
  for (const char* bad : {"", "avx", "a", "av:", "av:elsewhere", "AV", "cpp:flash:x", "av:window:", "av::report-fault",
                          "av:window:report-faultx"}) {
    EXPECT_FALSE(ParseCrashTest(bad, t)) << bad;
    EXPECT_EQ(t.Kind, TCrashTestKind::None) << bad;
    EXPECT_EQ(t.Trouble, TReportTrouble::None) << bad;
  }
  EXPECT_FALSE(ParseCrashTest(nullptr, t));
}
