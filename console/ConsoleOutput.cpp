#include "console/ConsoleOutput.h"

#include "platform/ConsoleHost.h"
#include "platform/Ticks.h"

TConsoleOutput::TConsoleOutput(bool json)
    : FJson(json), FInPlace(IsConsoleStream(TStdStream::Error) && EnableConsoleCursorControl(TStdStream::Error)) {}

void TConsoleOutput::JsonLine(const TJsonObject& object) {
  if (FJson) (void)WriteStdText(TStdStream::Output, object.Text() + "\n");
}

void TConsoleOutput::Note(const std::string& utf8) {
  Erase();
  (void)WriteStdText(TStdStream::Error, utf8 + "\n");
  Draw();
}

void TConsoleOutput::Status(std::int32_t key, const std::string& utf8, bool changed) {
  bool found = false;
  for (auto& [k, line] : FLines)
    if (k == key) {
      found = true;
      if (line == utf8) return;
      line = utf8;
    }
  if (!found) FLines.emplace_back(key, utf8);
  if (!FInPlace) {
    if (changed) (void)WriteStdText(TStdStream::Error, utf8 + "\n");
    return;
  }
  FDirty = true;
  if (changed || TickCount() - FDrawnAt >= 100) Flush();
}

void TConsoleOutput::Flush() {
  if (!FInPlace || !FDirty) return;
  Erase();
  Draw();
}

void TConsoleOutput::EndStatus() {
  Flush();
  FDrawn = 0;
  FLines.clear();
}

void TConsoleOutput::Erase() {
  if (!FInPlace || FDrawn == 0) return;
  // Back to the first status line, and everything from there cleared.
  (void)WriteStdText(TStdStream::Error, "\x1b[" + std::to_string(FDrawn) + "F\x1b[J");
  FDrawn = 0;
}

void TConsoleOutput::Draw() {
  if (!FInPlace) return;
  std::string text;
  for (const auto& [key, line] : FLines) text += line + "\x1b[K\n";
  (void)WriteStdText(TStdStream::Error, text);
  FDrawn = static_cast<int>(FLines.size());
  FDirty = false;
  FDrawnAt = TickCount();
}
