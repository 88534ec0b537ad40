#include "records/EscapedText.h"

#include <gtest/gtest.h>

namespace {

TEST(EscapedText, ControlsTheUnassignedByteAndTheBackslashAreEscapedLettersStay) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"", ""},
      {"VXCR-1.9 test", "VXCR-1.9 test"},
      {"a\r\nb", "a\\x0D\\x0Ab"},
      {"\x1B[2J\x1B]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
      {"tab\tdel\x7F", "tab\\x09del\\x7F"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1F \x20", "\\x1F  "},
      {"C:\\x41", "C:\\\\x41"},  // a backslash never passes for an escape
      {"\x80\x97\x98\x99\xC0\xFF", "\x80\x97\\x98\x99\xC0\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapedText(c.text), c.shown) << c.shown;
}

}  // namespace
