// Feeds arbitrary settings files to the ini-file reader and to the settings
// reading on top of it, then writes the updater's values into the same file
// and checks the ini-file rules: every value written reads back as written,
// and every other value of the file reads as it did before the write.
//
// Input: the file's bytes. The values written are taken from the file's last
// line, so the fuzzer steers them too.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "records/Exception.h"
#include "ui/SettingsFile.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// One directory for the whole run, removed when the fuzzer exits.
std::filesystem::path directory;

void RemoveDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

std::string FilePath() {
  static const std::string path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxfuzz-settings-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    directory = pattern;
    std::atexit(RemoveDirectory);
    return (directory / "VXFWLoader.ini").string();
  }();
  return path;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Names compare without regard to the case of the letters A to Z.
std::string Folded(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
  return name;
}
bool SameName(const std::string& a, const std::string& b) { return Folded(a) == Folded(b); }

// A value as the settings write them: a file path or the placement numbers,
// never with a line break or white space at either end, never quoted.
std::string AsValue(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\0') c = '_';
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.erase(text.begin());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (!text.empty() && (text.front() == '"' || text.front() == '\'')) text.front() = '_';
  return text;
}

// Every section name and key the file holds, as the reader lists them, with
// the value each reads as. Sections are found by the lines that open them.
std::map<std::pair<std::string, std::string>, std::string> Snapshot(const TIniFile& ini,
                                                                   const std::vector<std::string>& sections) {
  std::map<std::pair<std::string, std::string>, std::string> values;
  for (const std::string& section : sections)
    for (const std::string& key : ini.ReadSectionKeys(section))
      values.emplace(std::make_pair(section, key), ini.ReadString(section, key, "\x01missing"));
  return values;
}

// Section names as lines of the form "[name]" open them (trimmed); names of
// other case denote the same section and are listed once by their first form.
std::vector<std::string> SectionsOf(const std::string& text) {
  std::vector<std::string> sections;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const auto b = line.find_first_not_of(" \t\r");
    if (b != std::string::npos && line[b] == '[') {
      const auto close = line.find(']', b);
      if (close != std::string::npos) {
        std::string name = line.substr(b + 1, close - b - 1);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t' || name.front() == '\r'))
          name.erase(name.begin());
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r')) name.pop_back();
        sections.push_back(name);
      }
    }
    start = end + 1;
  }
  sections.push_back("COMMON");
  sections.push_back("FILES");
  return sections;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = FilePath();
  WriteFile(path, data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);
  TIniFile ini(path);

  /* reading: whatever the file holds, the values obey the settings rules */
  const TStoredSettings stored = ReadStoredSettings(ini);
  for (const std::string& file : stored.RecentFiles) Check(!file.empty());
  const TWindowPlacement p = ParsePlacement(stored.MainForm, 1920, 1080);
  if (p.Left) Check(*p.Left >= 0 && *p.Left < 1820);
  if (p.Top) Check(*p.Top >= 0 && *p.Top < 980);
  if (p.Width) Check(*p.Width >= 0);
  if (p.Height) Check(*p.Height >= 0);
  if (p.LogHeight) Check(*p.LogHeight >= 0);
  // Fewer than four numbers apply nothing; four or more apply Width at least
  // when it is not negative.
  const bool any = p.Left || p.Top || p.Width || p.Height || p.AutoWrite || p.LogHeight || p.WriteLogToFile;
  if (any) Check(p.Width || p.Height || p.Left || p.Top);

  /* the placement the window writes reads back whole */
  if (p.Left && p.Top && p.Width && p.Height && p.AutoWrite && p.LogHeight && p.WriteLogToFile) {
    const std::string again =
        FormatPlacement(*p.Left, *p.Top, *p.Width, *p.Height, *p.AutoWrite, *p.LogHeight, *p.WriteLogToFile);
    const TWindowPlacement q = ParsePlacement(again, 1920, 1080);
    Check(q.Left == p.Left && q.Top == p.Top && q.Width == p.Width && q.Height == p.Height &&
          q.AutoWrite == p.AutoWrite && q.LogHeight == p.LogHeight && q.WriteLogToFile == p.WriteLogToFile);
  }

  /* writing: the updater's values read back, nothing else changes */
  const std::vector<std::string> sections = SectionsOf(text);
  const auto before = Snapshot(ini, sections);
  const std::size_t lastLine = text.rfind('\n');
  const std::string seed = AsValue(lastLine == std::string::npos ? text : text.substr(lastLine + 1));
  const std::string mainForm = AsValue("10,20," + seed);
  const std::string lastFile = AsValue("C:\\fw\\" + seed);
  const std::vector<std::string> recent{lastFile, AsValue(seed + ".eraw")};
  try {
    WriteStoredSettings(ini, mainForm, lastFile, recent);
  } catch (const Exception&) {
    __builtin_trap();  // the directory is ours and writable
  }
  Check(ini.ReadString("COMMON", "MainForm", "\x01") == mainForm);
  Check(ini.ReadString("COMMON", "LastFile", "\x01") == lastFile);
  for (std::size_t i = 0; i < recent.size(); ++i)
    Check(ini.ReadString("FILES", std::to_string(i), "\x01") == recent[i]);
  for (const auto& [name, value] : before) {
    const auto& [section, key] = name;
    const bool written = (SameName(section, "COMMON") &&
                          (SameName(key, "MainForm") || SameName(key, "LastFile"))) ||
                         (SameName(section, "FILES") && (key == "0" || key == "1"));
    if (!written) Check(ini.ReadString(section, key, "\x01missing") == value);
  }
  return 0;
}
