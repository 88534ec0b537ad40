#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// `text` (UTF-8) as a JSON string, quotes included: quote, backslash and
// every control character escaped; bytes that are not valid UTF-8 become
// U+FFFD so that the line stays valid JSON.
[[nodiscard]] std::string JsonString(std::string_view text);
// The same into `out` (`size` bytes, zero-terminated) without the heap, for
// the crash reporter; false, with as much as fitted, when it does not fit.
bool JsonStringInto(std::string_view text, char* out, std::size_t size);

// One JSON object built field by field, in the order added.
class TJsonObject {
public:
  TJsonObject& Add(std::string_view key, std::string_view utf8);
  TJsonObject& Add(std::string_view key, const char* utf8) { return Add(key, std::string_view(utf8)); }
  TJsonObject& Add(std::string_view key, std::int64_t value);
  TJsonObject& Add(std::string_view key, int value) { return Add(key, static_cast<std::int64_t>(value)); }
  TJsonObject& Add(std::string_view key, double value);
  TJsonObject& Add(std::string_view key, bool value);
  TJsonObject& AddNull(std::string_view key);
  TJsonObject& Add(std::string_view key, const std::vector<std::int32_t>& values);
  [[nodiscard]] std::string Text() const { return "{" + FBody + "}"; }

private:
  TJsonObject& Field(std::string_view key, const std::string& value);
  std::string FBody;
};
