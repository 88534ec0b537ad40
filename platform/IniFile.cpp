#include "platform/IniFile.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#include <fstream>
#endif

#ifdef _WIN32

namespace {

// Calls a profile reader with a growing buffer until the result fits. The
// readers return size - 1 (or size - 2 for lists) when they had to cut.
template <typename Read>
std::string ReadGrowing(Read read, DWORD slack) {
  std::string buffer(1024, '\0');
  for (;;) {
    const DWORD n = read(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n + slack < buffer.size() || buffer.size() >= (1u << 24)) {
      buffer.resize(n);
      return buffer;
    }
    buffer.assign(buffer.size() * 4, '\0');
  }
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  return ReadGrowing(
      [&](char* out, DWORD size) {
        return GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), out, size,
                                        path_.c_str());
      },
      1);
}

std::vector<std::string> TIniFile::ReadSectionKeys(const std::string& section) const {
  const std::string list = ReadGrowing(
      [&](char* out, DWORD size) {
        return GetPrivateProfileStringA(section.c_str(), nullptr, "", out, size, path_.c_str());
      },
      2);
  // Names, each with its terminator; parsed by the returned length only.
  std::vector<std::string> keys;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find('\0', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) keys.emplace_back(list, start, end - start);
    start = end + 1;
  }
  return keys;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str()) != 0;
}

#else

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

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
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

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  std::string current, k, v;
  bool inSection = false;
  for (const std::string& line : ReadLines(path_)) {
    if (SectionName(line, current)) {
      inSection = SameName(current, section);
    } else if (inSection && Entry(line, k, v) && SameName(k, key)) {
      return Unquote(v);
    }
  }
  return defaultValue;
}

std::vector<std::string> TIniFile::ReadSectionKeys(const std::string& section) const {
  std::vector<std::string> keys;
  std::string current, k, v;
  bool inSection = false;
  for (const std::string& line : ReadLines(path_)) {
    if (SectionName(line, current)) {
      inSection = SameName(current, section);
    } else if (inSection && Entry(line, k, v)) {
      keys.push_back(k);
    }
  }
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
  // Written to a new file and moved over the old one, so that a failed write
  // never leaves half a settings file.
  const std::string temporary = path_ + ".tmp";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << text;
  out.close();
  if (!out || std::rename(temporary.c_str(), path_.c_str()) != 0) {
    (void)std::remove(temporary.c_str());  // a leftover only; the result says it failed
    return false;
  }
  return true;
}

#endif
