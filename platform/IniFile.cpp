#include "platform/IniFile.h"

#include "platform/Files.h"

// The file is read and written byte for byte, on Windows as well: the
// system's profile functions convert an 8-bit file with the system's code
// page, which on a Windows that is not Russian would turn the Windows-1251
// texts (file paths with Cyrillic letters) into "?" as they are written.

namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Lines end at CR LF, LF or a lone CR, as the system's profile functions read
// them; a missing or unreadable file has none.
std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text;
  if (!ReadWholeFileShared(path, text)) return lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return lines;
}

// "[name]" lines open sections; returns the section name or false.
bool SectionName(const std::string& line, std::string& name) {
  const std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const std::size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

// "key=value" lines; comments and other lines are not entries.
bool Entry(const std::string& line, std::string& key, std::string& value) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == ';') return false;
  const std::size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return true;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) return v.substr(1, v.size() - 2);
  return v;
}

// The entries of a section. Only the first section of a name counts: a later
// one of the same name is not read, and writes go to the first.
std::vector<std::pair<std::string, std::string>> SectionEntries(const std::string& path, const std::string& section) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string current, k, v;
  bool inSection = false;
  for (const std::string& line : ReadLines(path)) {
    if (SectionName(line, current)) {
      if (inSection) break;
      inSection = SameName(current, section);
    } else if (inSection && Entry(line, k, v)) {
      entries.emplace_back(k, v);
    }
  }
  return entries;
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  for (const auto& [k, v] : SectionEntries(path_, section))
    if (SameName(k, key)) return Unquote(v);
  return defaultValue;
}

std::vector<std::string> TIniFile::ReadSectionKeys(const std::string& section) const {
  // A line "=value" has no name to list.
  std::vector<std::string> keys;
  for (const auto& entry : SectionEntries(path_, section))
    if (!entry.first.empty()) keys.push_back(entry.first);
  return keys;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  std::vector<std::string> lines = ReadLines(path_);
  const std::string entry = key + "=" + value;
  std::string current, k, v;
  bool inSection = false, sectionFound = false, done = false;
  std::size_t insertAt = lines.size();
  for (std::size_t i = 0; i < lines.size() && !done; ++i) {
    if (SectionName(lines[i], current)) {
      if (inSection) break;  // end of the wanted section
      inSection = SameName(current, section);
      if (inSection) {
        sectionFound = true;
        insertAt = i + 1;
      }
    } else if (inSection) {
      if (Entry(lines[i], k, v) && SameName(k, key)) {
        lines[i] = entry;
        done = true;
      } else if (!Trim(lines[i]).empty()) {
        insertAt = i + 1;
      }
    }
  }
  if (!done) {
    if (sectionFound) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    }
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  // A failed write never leaves half a settings file.
  return ReplaceFileContents(path_, text);
}
