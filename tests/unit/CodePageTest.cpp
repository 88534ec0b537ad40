#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace {

TEST(CodePage, Windows1251) {
  /* the Russian texts of the updater survive both ways */
  const std::string cp = "Прибор подключен Ёё №";  // compiled as Windows-1251
  EXPECT_EQ(static_cast<unsigned char>(cp[0]), 0xCF);
  EXPECT_EQ(Cp1251ToUtf16(cp), u"Прибор подключен Ёё №");
  EXPECT_EQ(Utf16ToCp1251(u"Прибор подключен Ёё №"), cp);
  EXPECT_EQ(Cp1251ToUtf8(cp), reinterpret_cast<const char*>(u8"Прибор подключен Ёё №"));
  EXPECT_EQ(Utf8ToCp1251(reinterpret_cast<const char*>(u8"Прибор подключен Ёё №")), cp);
  /* every byte maps to a code point and back */
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Utf16ToCp1251(Cp1251ToUtf16(one)), one) << b;
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << b;
  }
  /* characters outside the code page, broken UTF-8 and lone surrogates */
  EXPECT_EQ(Utf16ToCp1251(u"a\u4E2Db"), "a?b");
  EXPECT_EQ(Utf16ToCp1251(std::u16string(1, u'\xD800')), "?");
  EXPECT_EQ(Utf8ToCp1251("a\xC3"), "a?");
  EXPECT_EQ(Utf8ToCp1251("\xE2\x82"), "??");
  EXPECT_EQ(Utf8ToCp1251("\xF0\x9F\x98\x80"), "?");
}

}  // namespace
