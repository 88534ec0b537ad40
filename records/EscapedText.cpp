#include "records/EscapedText.h"

namespace {

bool Escaped(unsigned char c) { return c < 0x20 || c == 0x7F || c == 0x98; }

}  // namespace

std::string EscapedText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (Escaped(c)) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}
