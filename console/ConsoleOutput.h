#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/Json.h"

// Where the console flasher's output goes: JSON lines (when asked for) alone
// on standard output, everything for a person on standard error. On a console
// the person sees one status line per device, redrawn in place below the
// notes; elsewhere each status change is a line of its own.
class TConsoleOutput {
public:
  explicit TConsoleOutput(bool json);

  [[nodiscard]] bool Json() const { return FJson; }
  void JsonLine(const TJsonObject& object);
  // A line for a person, UTF-8; it goes above the status lines.
  void Note(const std::string& utf8);
  // The status line of device `key`, UTF-8. `changed` marks a change of state
  // (always shown); other updates are shown on a console only, at most every
  // 100 ms, or when `force`d.
  void Status(std::int32_t key, const std::string& utf8, bool changed);
  // Draws the status lines now, if any changed since they were last drawn.
  void Flush();
  // The status lines stay as they are; later notes go below them.
  void EndStatus();

private:
  void Erase();
  void Draw();

  bool FJson;
  bool FInPlace;
  std::vector<std::pair<std::int32_t, std::string>> FLines;
  int FDrawn = 0;
  bool FDirty = false;
  std::uint32_t FDrawnAt = 0;
};
