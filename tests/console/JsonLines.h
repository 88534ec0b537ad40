#pragma once

// A small reader of JSON lines: one flat object per line whose values are
// strings, numbers, true/false/null or arrays of those. Strict about what it
// reads, so that a malformed line fails the test.
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

struct TJsonValue {
  enum TKind { Null, Bool, Number, String, Array } Kind = Null;
  bool Flag = false;
  double Num = 0;
  std::string Text;
  std::vector<TJsonValue> Items;
  [[nodiscard]] long long Int() const { return static_cast<long long>(Num); }
};
using TJson = std::map<std::string, TJsonValue>;

class TJsonReader {
public:
  explicit TJsonReader(const std::string& text) : s(text) {}

  std::optional<TJson> Object() {
    TJson object;
    if (!Eat('{')) return std::nullopt;
    if (Eat('}')) return End(object);
    do {
      TJsonValue key;
      if (!StringValue(key)) return std::nullopt;
      if (!Eat(':')) return std::nullopt;
      TJsonValue value;
      if (!Value(value)) return std::nullopt;
      if (object.count(key.Text) != 0) return std::nullopt;  // a key twice
      object[key.Text] = value;
    } while (Eat(','));
    if (!Eat('}')) return std::nullopt;
    return End(object);
  }

private:
  std::optional<TJson> End(const TJson& o) { return i == s.size() ? std::optional<TJson>(o) : std::nullopt; }
  bool Eat(char c) {
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (s.compare(i, w.size(), w) != 0) return false;
    i += w.size();
    return true;
  }
  bool Value(TJsonValue& v) {
    if (i >= s.size()) return false;
    if (s[i] == '"') return StringValue(v);
    if (Literal("null")) {
      v.Kind = TJsonValue::Null;
      return true;
    }
    for (const bool flag : {true, false})
      if (Literal(flag ? "true" : "false")) {
        v.Kind = TJsonValue::Bool;
        v.Flag = flag;
        return true;
      }
    if (Eat('[')) {
      v.Kind = TJsonValue::Array;
      if (Eat(']')) return true;
      do {
        TJsonValue item;
        if (!Value(item)) return false;
        v.Items.push_back(item);
      } while (Eat(','));
      return Eat(']');
    }
    const std::size_t start = i;
    if (s[i] == '-') ++i;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.' || s[i] == 'e' || s[i] == 'E' || s[i] == '+'))
      ++i;
    if (i == start) return false;
    v.Kind = TJsonValue::Number;
    char* end = nullptr;
    const std::string number = s.substr(start, i - start);
    v.Num = std::strtod(number.c_str(), &end);
    return *end == '\0';
  }
  bool StringValue(TJsonValue& v) {
    if (!Eat('"')) return false;
    v.Kind = TJsonValue::String;
    while (i < s.size() && s[i] != '"') {
      const char c = s[i++];
      if (static_cast<unsigned char>(c) < 0x20) return false;  // must be escaped
      if (c != '\\') {
        v.Text += c;
        continue;
      }
      if (i >= s.size()) return false;
      const char e = s[i++];
      switch (e) {
        case '"': v.Text += '"'; break;
        case '\\': v.Text += '\\'; break;
        case '/': v.Text += '/'; break;
        case 'n': v.Text += '\n'; break;
        case 'r': v.Text += '\r'; break;
        case 't': v.Text += '\t'; break;
        case 'b': v.Text += '\b'; break;
        case 'f': v.Text += '\f'; break;
        case 'u': {
          if (i + 4 > s.size()) return false;
          const unsigned code = static_cast<unsigned>(std::strtoul(s.substr(i, 4).c_str(), nullptr, 16));
          i += 4;
          if (code < 0x80) {
            v.Text += static_cast<char>(code);
          } else if (code < 0x800) {
            v.Text += static_cast<char>(0xC0 | (code >> 6));
            v.Text += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            v.Text += static_cast<char>(0xE0 | (code >> 12));
            v.Text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            v.Text += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default: return false;
      }
    }
    return Eat('"');
  }
  const std::string& s;
  std::size_t i = 0;
};

// Every line of `text` as an object; a line that is not one is returned as
// an empty object with the key "!bad" holding the line.
inline std::vector<TJson> JsonLines(const std::string& text) {
  std::vector<TJson> objects;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::optional<TJson> o = TJsonReader(line).Object();
    if (!o) {
      TJsonValue bad;
      bad.Kind = TJsonValue::String;
      bad.Text = line;
      o = TJson{{"!bad", bad}};
    }
    objects.push_back(*o);
  }
  return objects;
}
