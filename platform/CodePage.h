#pragma once

#include <string>
#include <string_view>

// Windows-1251 conversions, the same on every platform so that the Russian
// texts never depend on the system's code page. Characters with no place in
// Windows-1251 become "?".
std::u16string Cp1251ToUtf16(std::string_view text);
std::string Utf16ToCp1251(std::u16string_view text);
// The same without best fit or replacement: false when a character has no
// place in Windows-1251 (`out` then holds the text with "?" for it, for
// messages only). A file name must never be opened through such a "?".
[[nodiscard]] bool Utf16ToCp1251Exact(std::u16string_view text, std::string& out);
std::string Cp1251ToUtf8(std::string_view text);
std::string Utf8ToCp1251(std::string_view text);

// Lower case of Windows-1251 text: Latin and Cyrillic letters.
std::string AnsiLowerCase(std::string_view text);
