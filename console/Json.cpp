#include "console/Json.h"

#include <cmath>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `i`, 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  std::uint32_t min = 0;
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  std::uint32_t code = b & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    code = (code << 6) | (c & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t n = Utf8SequenceLength(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escaped;
        } else {
          out += c;
        }
    }
    ++i;
  }
  return out + "\"";
}

TJsonObject& TJsonObject::Field(std::string_view key, const std::string& value) {
  if (!FBody.empty()) FBody += ",";
  FBody += JsonString(key);
  FBody += ":";
  FBody += value;
  return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, std::string_view utf8) { return Field(key, JsonString(utf8)); }

TJsonObject& TJsonObject::Add(std::string_view key, std::int64_t value) { return Field(key, std::to_string(value)); }

TJsonObject& TJsonObject::Add(std::string_view key, double value) {
  if (!std::isfinite(value)) return AddNull(key);
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return Field(key, text);
}

TJsonObject& TJsonObject::Add(std::string_view key, bool value) { return Field(key, value ? "true" : "false"); }

TJsonObject& TJsonObject::AddNull(std::string_view key) { return Field(key, "null"); }

TJsonObject& TJsonObject::Add(std::string_view key, const std::vector<std::int32_t>& values) {
  std::string list = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) list += ',';
    list += std::to_string(values[i]);
  }
  return Field(key, list + "]");
}
