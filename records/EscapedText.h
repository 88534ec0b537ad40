#pragma once

#include <string>
#include <string_view>

// A text that came from a device or a file (a version text, an answer the
// updater does not know) as every front end shows it: in the window, the
// day's log file, on the console, in JSON and in the record of flashes, so
// that all of them carry the same line and none of them can be split or
// steered by it. Escaped as \xNN (two upper-case hex digits):
// - the control characters 0x00-0x1F and 0x7F: a CR or LF would split a log
//   line, an ESC would act on a terminal;
// - 0x98, the one byte Windows-1251 leaves unassigned: it converts to U+0098,
//   a C1 control that terminals may act on as well.
// A backslash becomes \\, so that in the shown text a backslash always begins
// an escape and the original bytes can be read back. Every other byte stays:
// 0x80-0xFF are Windows-1251 letters and signs.
[[nodiscard]] std::string EscapedText(std::string_view text);
