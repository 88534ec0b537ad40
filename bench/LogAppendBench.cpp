// What one operation-log line costs in the real main window as the log grows:
// appends N lines (100,000 by default) through the window's log and prints,
// for the first and the last 1,000 lines, the window thread's time per line
// with the text box's update included (the block's calls, its visits to the
// message loop, and at its end a question to the text box, which puts every
// line still waiting for the next repaint in), and the median cost of the
// call alone.
//   vx_log_bench [lines] [lines between visits to the message loop]
#include <windows.h>
#include <richedit.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Figures.h"
#include "link/DriverLibraries.h"
#include "platform/Files.h"
#include "ui/MainForm.h"

namespace {

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

double Seconds(const LARGE_INTEGER& a, const LARGE_INTEGER& b, const LARGE_INTEGER& frequency) {
  return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::string Fixture(const char* name) {
  std::string path = std::string(VX_FIXTURE_DIR) + "/" + name;
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

// Every line waiting for the text box's next repaint goes in: any question to
// the control puts them in first.
void Settle(const TMainForm& form) {
  GETTEXTLENGTHEX count{GTL_NUMCHARS, 1200};
  SendMessageW(static_cast<HWND>(form.reLog.Handle()), EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&count), 0);
  Pump();
}

}  // namespace

int main(int argc, char** argv) {
  int lines = 0;
  int burst = 0;
  if (!bench::CountArgument(argc, argv, 1, 100000, 2000, lines) ||
      !bench::CountArgument(argc, argv, 2, 10, 1, burst))
    return 2;
  constexpr int kBlock = 1000;

  // The window as the updater starts it, with stand-in driver libraries and a
  // directory of its own for the settings file.
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  SetExecutableDirectory(temp);
  hFtdiLib.store(LoadFtdiLibrary(Fixture("fixture_ftd2xx.dll").c_str()));
  hVxUsbLib.store(LoadVxUsbLibrary(Fixture("fixture_vxusb.dll").c_str()));
  Application.Initialize();
  TMainForm form;
  MainForm = &form;
  Application.MainForm = &form;
  form.Show();
  Pump();

  LARGE_INTEGER frequency, blockStart, a, b;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> firstCalls, lastCalls;
  double firstWall = 0, lastWall = 0;
  QueryPerformanceCounter(&blockStart);
  for (int i = 1; i <= lines; ++i) {
    const bool inFirst = i <= kBlock, inLast = i > lines - kBlock;
    if (i == lines - kBlock + 1) {
      Settle(form);  // the block pays for its own lines only
      QueryPerformanceCounter(&blockStart);
    }
    QueryPerformanceCounter(&a);
    form.DeviceLogFmt(i % 7 == 0 ? mkError : mkInfo, 1234567, "(% 6d) Запись блока %d сектора %d", i * 3, i % 64,
                      i % 30);
    QueryPerformanceCounter(&b);
    if (inFirst) firstCalls.push_back(Seconds(a, b, frequency));
    if (inLast) lastCalls.push_back(Seconds(a, b, frequency));
    if (i % burst == 0) Pump();  // the window thread visits its message loop now and then
    if (i == kBlock) {
      Settle(form);
      QueryPerformanceCounter(&b);
      firstWall = Seconds(blockStart, b, frequency);
    }
  }
  Settle(form);
  QueryPerformanceCounter(&b);
  lastWall = Seconds(blockStart, b, frequency);

  const double first = Median(firstCalls) * 1e3, last = Median(lastCalls) * 1e3;
  std::printf("%d lines in reLog (%zu kept), message loop every %d lines\n", lines, form.reLog.LineCount(), burst);
  const double firstLine = firstWall * 1e3 / kBlock, lastLine = lastWall * 1e3 / kBlock;
  std::printf("window thread per line, the text box's update included: first %d %.3f ms, last %d %.3f ms, ratio %.2f\n",
              kBlock, firstLine, kBlock, lastLine, firstLine > 0 ? lastLine / firstLine : 0.0);
  std::printf("median cost of the call alone: first %d %.4f ms, last %d %.4f ms\n", kBlock, first, kBlock, last);
  MainForm = nullptr;
  Application.MainForm = nullptr;
  return 0;
}
