// How the cost of appending a coloured line to the real rich text box grows
// with the text: prints the time per line for the first and the last block.
//   vx_log_bench [lines] [lines between visits to the message loop]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "gui/Controls.h"
#include "platform/Ticks.h"
#include "records/TextFormat.h"

namespace {

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int burst = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
  Application.Initialize();
  TForm form("TLogBench", "form");
  TRichEdit log(&form, "log");
  form.SetClientSize(664, 300);
  log.SetAlign(alClient);
  form.CreatePeers();
  form.Show();
  Pump();

  const int block = std::max(1, lines / 10);
  std::uint32_t blockStart = TickCount(), first = 0, last = 0;
  const std::uint32_t start = blockStart;
  for (int i = 1; i <= lines; ++i) {
    const std::string line = FormatText("Прибор %7d\t(% 6d)Запись блока %d", 1234567, i * 3, i);
    log.AppendLine(line, i % 7 == 0 ? clRed : clBlack);
    if (i % burst == 0) Pump();  // the window thread goes back to its loop now and then
    if (i % block == 0) {
      const std::uint32_t now = TickCount();
      if (i == block) first = now - blockStart;
      last = now - blockStart;
      blockStart = now;
    }
  }
  const std::uint32_t total = TickCount() - start;
  std::printf("%d lines, back to the message loop every %d: %.3f ms per line in the first %d, %.3f ms in the last %d, %u ms in all\n",
              lines, burst, static_cast<double>(first) / block, block, static_cast<double>(last) / block, block,
              total);
  return 0;
}
