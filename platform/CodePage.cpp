#include "platform/CodePage.h"

#include <cstdint>

namespace {

// Code points of the bytes 0x80-0xFF; 0x98 has none and keeps its own value,
// as Windows converts it.
constexpr char16_t kUpperHalf[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,};

char Cp1251FromCodePoint(char32_t c) {
  if (c < 0x80) return static_cast<char>(c);
  for (int i = 0; i < 128; ++i)
    if (kUpperHalf[i] == c) return static_cast<char>(0x80 + i);
  return '?';
}

char16_t CodePointOf(char byte) {
  const auto b = static_cast<unsigned char>(byte);
  return b < 0x80 ? static_cast<char16_t>(b) : kUpperHalf[b - 0x80];
}

}  // namespace

std::u16string Cp1251ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(CodePointOf(c));
  return out;
}

bool Utf16ToCp1251Exact(std::u16string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  bool exact = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ++i;
    // "?" itself converts exactly; only a replacement makes the text inexact.
    const char byte = c >= 0xD800 && c <= 0xDFFF ? '?' : Cp1251FromCodePoint(c);
    if (byte == '?' && c != u'?') exact = false;
    out.push_back(byte);
  }
  return exact;
}

std::string Utf16ToCp1251(std::u16string_view text) {
  std::string out;
  (void)Utf16ToCp1251Exact(text, out);
  return out;
}

std::string Cp1251ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char byte : text) {
    const char16_t c = CodePointOf(byte);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Utf8ToCp1251(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || text.size() - i <= static_cast<std::size_t>(extra)) {
      out.push_back('?');
      ++i;
      continue;
    }
    char32_t c = extra == 0 ? b : static_cast<char32_t>(b & (0x3F >> extra));
    bool valid = true;
    for (int k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((cont & 0xC0) != 0x80) valid = false;
      c = c << 6 | (cont & 0x3F);
    }
    if (!valid) {
      out.push_back('?');
      ++i;
      continue;
    }
    out.push_back(Cp1251FromCodePoint(c));
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

std::string AnsiLowerCase(std::string_view text) {
  std::string out(text);
  for (char& byte : out) {
    const char16_t c = CodePointOf(byte);
    char16_t lower = c;
    if ((c >= u'A' && c <= u'Z') || (c >= 0x0410 && c <= 0x042F)) {
      lower = static_cast<char16_t>(c + 0x20);
    } else if (c >= 0x0400 && c <= 0x040F) {
      lower = static_cast<char16_t>(c + 0x50);
    } else if (c == 0x0490) {
      lower = 0x0491;
    }
    if (lower != c) byte = Cp1251FromCodePoint(lower);
  }
  return out;
}
