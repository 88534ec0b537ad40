#pragma once

#include <string>
#include <vector>

#include "platform/CodePage.h"

// The file's lines as a spreadsheet reads them: fields split at ';' outside
// quotes, records at CR LF outside quotes, quotes undone, UTF-8 read (and
// given back in Windows-1251, as the literals here are). `whole` is false
// when the text does not end with a complete record.
inline std::vector<std::vector<std::string>> ParseCsv(const std::string& text, bool& whole) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false;
  whole = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ';') {
      row.push_back(Utf8ToCp1251(field));
      field.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      row.push_back(Utf8ToCp1251(field));
      field.clear();
      rows.push_back(row);
      row.clear();
      ++i;
    } else {
      field += c;
    }
  }
  if (quoted || !field.empty() || !row.empty()) whole = false;
  return rows;
}
