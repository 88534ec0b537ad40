#include "console/Json.h"

#include <cmath>
#include <cstdio>
#include <cstring>

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

// The escaped text, quotes included, handed to `put` piece by piece.
template <class TPut>
void EscapeJson(std::string_view text, TPut put) {
  put("\"", 1);
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t n = Utf8SequenceLength(text, i);
    if (n == 0) {
      put("\xEF\xBF\xBD", 3);
      ++i;
      continue;
    }
    if (n > 1) {
      put(text.data() + i, n);
      i += n;
      continue;
    }
    switch (c) {
      case '"': put("\\\"", 2); break;
      case '\\': put("\\\\", 2); break;
      case '\n': put("\\n", 2); break;
      case '\r': put("\\r", 2); break;
      case '\t': put("\\t", 2); break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[8];
          const int length =
              std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          put(escaped, static_cast<std::size_t>(length));
        } else {
          put(&c, 1);
        }
    }
    ++i;
  }
  put("\"", 1);
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out;
  EscapeJson(text, [&out](const char* piece, std::size_t size) { out.append(piece, size); });
  return out;
}

bool JsonStringInto(std::string_view text, char* out, std::size_t size) {
  if (size == 0) return false;
  std::size_t used = 0;
  bool fits = true;
  EscapeJson(text, [&](const char* piece, std::size_t length) {
    if (!fits || length >= size - used) {
      fits = false;
      return;
    }
    std::memcpy(out + used, piece, length);
    used += length;
  });
  out[used] = '\0';
  return fits;
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
