// The console flasher's JSON writer, in-process: every escape, and the same
// text without the heap as the crash reporter writes it.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "console/Json.h"

namespace {

TEST(ConsoleJson, EscapesEveryCharacterJsonForbidsAndMendsBrokenUtf8) {
  struct TCase {
    std::string text, json;
  };
  std::vector<TCase> cases = {
      {"", "\"\""},
      {"plain / text", "\"plain / text\""},
      {"\"", "\"\\\"\""},
      {"\\", "\"\\\\\""},
      {"\n", "\"\\n\""},
      {"\r", "\"\\r\""},
      {"\t", "\"\\t\""},
      {"\x7F", "\"\\u007f\""},
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB1\xD0\xBE\xD1\x80 \xE2\x84\x96", "\"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB1\xD0\xBE\xD1\x80 \xE2\x84\x96\""},
      {"\xF0\x9F\x94\x8C", "\"\xF0\x9F\x94\x8C\""},
      /* not UTF-8: a Windows-1251 letter, a cut sequence, an overlong one, a surrogate */
      {"\xCF", "\"\xEF\xBF\xBD\""},
      {"a\xD0", "\"a\xEF\xBF\xBD\""},
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  // Every other control byte as \u00XX.
  for (int c = 0; c < 0x20; ++c) {
    if (c == '\n' || c == '\r' || c == '\t') continue;
    char expected[16];
    std::snprintf(expected, sizeof expected, "\"\\u%04x\"", static_cast<unsigned>(c));
    cases.push_back({std::string(1, static_cast<char>(c)), expected});
  }
  char reserved[64];
  for (const TCase& c : cases) {
    EXPECT_EQ(JsonString(c.text), c.json) << "byte " << (c.text.empty() ? -1 : static_cast<unsigned char>(c.text[0]));
    ASSERT_TRUE(JsonStringInto(c.text, reserved, sizeof reserved));
    EXPECT_EQ(std::string(reserved), c.json);
  }

  /* a reserved buffer too small keeps what fitted and says so */
  char small[6];
  EXPECT_FALSE(JsonStringInto("abc\"def", small, sizeof small));
  EXPECT_EQ(std::string(small), "\"abc");

  /* an object, field by field */
  TJsonObject o;
  o.Add("text", "a\"b").Add("n", -3).Add("rate", 112.44).Add("nan", std::numeric_limits<double>::quiet_NaN()).Add("on", true).AddNull("none");
  o.Add("list", std::vector<std::int32_t>{1, -2});
  EXPECT_EQ(o.Text(), "{\"text\":\"a\\\"b\",\"n\":-3,\"rate\":112.4,\"nan\":null,\"on\":true,\"none\":null,\"list\":[1,-2]}");
}

}  // namespace
