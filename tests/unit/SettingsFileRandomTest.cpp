// Random and damaged settings files through the real settings code and the
// platform's own ini-file functions (the profile-string functions on Windows,
// our own reader elsewhere). The seed is fixed so that a failure repeats;
// VX_RANDOM_SEED picks another.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "ui/SettingsFile.h"

namespace {

std::uint32_t Seed() {
  const char* text = std::getenv("VX_RANDOM_SEED");
  return text != nullptr && *text != '\0' ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 20261209u;
}

class TRandom {
public:
  explicit TRandom(std::uint32_t seed) : FEngine(seed) {}
  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(FEngine); }
  bool Chance(int percent) { return Below(100) < percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(Below(static_cast<int>(items.size())))];
  }
  int Integer() {
    static const std::vector<int> edges{0, 1, -1, 99, 100, 679, 680, 1819, 1820, 1821, 979, 980, INT32_MAX, INT32_MIN};
    return Chance(30) ? Pick(edges) : Below(4000) - 1000;
  }

private:
  std::mt19937 FEngine;
};

// A name or a value the settings could hold: printable ASCII without white
// space or quotation marks at either end and without the characters that
// open sections, comments or values.
std::string CleanText(TRandom& r, bool name) {
  static const std::string inner = "abcXYZ019_.-:\\/ ,()+!@$%^&";
  std::string text;
  const int length = 1 + r.Below(12);
  for (int i = 0; i < length; ++i) text += inner[static_cast<std::size_t>(r.Below(static_cast<int>(inner.size())))];
  if (!name && r.Chance(20)) text += "=x;[y]#";
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  if (name) {
    for (char& c : text)
      if (c == ' ' || c == '=' || c == ';' || c == '[') c = '_';
  }
  return text.empty() ? "v" : text;
}

std::string PlacementText(TRandom& r, std::vector<int>& numbers) {
  numbers.clear();
  const int count = r.Below(9);
  std::string text;
  for (int i = 0; i < count; ++i) {
    numbers.push_back(r.Integer());
    text += (i > 0 ? "," : "") + std::to_string(numbers.back());
  }
  return text;
}

std::string CaseOf(TRandom& r, std::string name) {
  for (char& c : name)
    if (r.Chance(30) && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// One section of a file that we know the contents of.
struct TModelSection {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Entries;
};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool HasKey(const TModelSection& s, const std::string& key) {
  for (const auto& e : s.Entries)
    if (Lower(e.first) == Lower(key)) return true;
  return false;
}

struct TModelFile {
  std::vector<TModelSection> Sections;
  std::string Text;
  std::vector<int> Placement;  // the MainForm numbers, when there is a MainForm
  bool HasMainForm = false;

  const TModelSection* Find(const std::string& name) const {
    for (const auto& s : Sections)
      if (Lower(s.Name) == Lower(name)) return &s;
    return nullptr;
  }
  std::string Value(const std::string& section, const std::string& key, const std::string& otherwise) const {
    if (const TModelSection* s = Find(section))
      for (const auto& e : s->Entries)
        if (Lower(e.first) == Lower(key)) return e.second;
    return otherwise;
  }
};

TModelFile RandomModel(TRandom& r) {
  TModelFile m;
  std::vector<std::string> names{"COMMON", "FILES", "OTHER"};
  std::shuffle(names.begin(), names.end(), std::mt19937(static_cast<std::uint32_t>(r.Below(1000))));
  const std::string end = r.Chance(10) ? "\r" : r.Chance(50) ? "\r\n" : "\n";
  for (const std::string& name : names) {
    if (r.Chance(15)) continue;
    TModelSection s{CaseOf(r, name), {}};
    std::vector<std::string> keys;
    if (name == "COMMON") keys = {"MainForm", "BDURL", "LastFile", "Other"};
    if (name == "FILES") keys = {"0", "1", "2", "10", "a", "x.y"};
    if (name == "OTHER") keys = {"MainForm", "0"};
    const int extra = r.Below(3);
    for (int i = 0; i < extra; ++i) keys.push_back(CleanText(r, true));
    std::shuffle(keys.begin(), keys.end(), std::mt19937(static_cast<std::uint32_t>(r.Below(1000))));
    for (const std::string& key : keys) {
      if (r.Chance(25) || HasKey(s, key)) continue;
      std::string value;
      if (name == "COMMON" && key == "MainForm") {
        value = PlacementText(r, m.Placement);
        m.HasMainForm = true;
      } else if (!r.Chance(15)) {
        value = CleanText(r, false);
      }
      s.Entries.emplace_back(CaseOf(r, key), value);
    }
    m.Text += (r.Chance(20) ? " [ " + s.Name + " ] " : "[" + s.Name + "]") + end;
    for (const auto& [key, value] : s.Entries) {
      if (r.Chance(10)) m.Text += "; a comment" + end;
      if (r.Chance(10)) m.Text += end;
      const bool spaced = r.Chance(30);
      const bool quoted = !value.empty() && r.Chance(15);
      m.Text += (spaced ? "  " : "") + key + (spaced ? " = " : "=") + (quoted ? "\"" + value + "\"" : value) +
                (spaced ? "\t" : "") + end;
    }
    m.Sections.push_back(std::move(s));
  }
  // A second section of a name adds nothing.
  if (!m.Sections.empty() && r.Chance(30)) {
    const TModelSection& first = m.Sections[static_cast<std::size_t>(r.Below(static_cast<int>(m.Sections.size())))];
    m.Text += "[" + CaseOf(r, first.Name) + "]" + end;
    m.Text += "MainForm=1,2,3,4" + end + "0=later.eraw" + end + "LastFile=later.eraw" + end;
  }
  if (r.Chance(30) && !m.Text.empty()) m.Text.resize(m.Text.size() - end.size());  // no line end at the end
  return m;
}

// Damage of every kind: bytes changed, inserted and removed, lines doubled
// and cut, bytes beyond ASCII.
std::string Damaged(TRandom& r, std::string text) {
  const int edits = 1 + r.Below(8);
  static const std::vector<std::string> pieces{"[", "]", "=", ";", "\"", "\r", "\n", "\r\n", "[FILES]\n",
                                               "[COMMON]\n", "MainForm=", ",", "-", "99999999999", " ", "\t",
                                               "\xC0\xE1\xE2", "\xFF", "\x80", "\n=nameless\n"};
  for (int i = 0; i < edits; ++i) {
    const std::size_t at = text.empty() ? 0 : static_cast<std::size_t>(r.Below(static_cast<int>(text.size()) + 1));
    switch (r.Below(4)) {
      case 0: text.insert(at, r.Pick(pieces)); break;
      case 1:
        if (at < text.size()) text.erase(at, static_cast<std::size_t>(1 + r.Below(6)));
        break;
      case 2:
        if (at < text.size()) text[at] = static_cast<char>(1 + r.Below(255));
        break;
      default: text.insert(at, text.substr(at, static_cast<std::size_t>(r.Below(40)))); break;
    }
  }
  return text;
}

// What the settings rules make of the numbers: each value applies only under
// its condition, none with fewer than four numbers.
void ExpectPlacement(const std::vector<int>& given, const TWindowPlacement& p, int width, int height) {
  std::vector<int> v(7, -1);
  for (std::size_t i = 0; i < given.size() && i < 7; ++i) v[i] = given[i];
  if (given.size() < 4) {
    EXPECT_FALSE(p.Left || p.Top || p.Width || p.Height || p.AutoWrite || p.LogHeight || p.WriteLogToFile);
    return;
  }
  auto expect = [](const std::optional<int>& got, bool applies, int value, const char* what) {
    if (applies)
      EXPECT_EQ(got, std::optional<int>(value)) << what;
    else
      EXPECT_FALSE(got) << what;
  };
  expect(p.Left, v[0] >= 0 && v[0] < width - 100, v[0], "left");
  expect(p.Top, v[1] >= 0 && v[1] < height - 100, v[1], "top");
  expect(p.Width, v[2] >= 0, v[2], "width");
  expect(p.Height, v[3] >= 0, v[3], "height");
  expect(p.LogHeight, v[5] >= 0, v[5], "log height");
  EXPECT_EQ(p.AutoWrite, v[4] >= 0 ? std::optional<bool>(v[4] != 0) : std::nullopt);
  EXPECT_EQ(p.WriteLogToFile, v[6] >= 0 ? std::optional<bool>(v[6] != 0) : std::nullopt);
}

// The rules every reading obeys, whatever the file held.
void ExpectSound(const TStoredSettings& s) {
  for (const std::string& file : s.RecentFiles) EXPECT_FALSE(file.empty());
  for (const int width : {800, 1920, 5760}) {
    const TWindowPlacement p = ParsePlacement(s.MainForm, width, 1080);
    EXPECT_TRUE(!p.Left || (*p.Left >= 0 && *p.Left < width - 100)) << p.Left.value_or(0);
    EXPECT_TRUE(!p.Top || (*p.Top >= 0 && *p.Top < 980)) << p.Top.value_or(0);
    EXPECT_TRUE(!p.Width || *p.Width >= 0);
    EXPECT_TRUE(!p.Height || *p.Height >= 0);
    EXPECT_TRUE(!p.LogHeight || *p.LogHeight >= 0);
  }
}

TEST(SettingsFileRandom, FilesOfKnownContentReadAsTheyWereWritten) {
  TRandom r(Seed());
  TempDir dir;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("seed " + std::to_string(Seed()) + ", round " + std::to_string(round));
    const TModelFile m = RandomModel(r);
    // A file of its own each round: the profile functions may keep a file
    // they have read in memory.
    const std::string name = "read" + std::to_string(round) + ".ini";
    dir.Write(name, m.Text);
    SCOPED_TRACE(m.Text);
    const TIniFile ini(dir.File(name));
    const TStoredSettings s = ReadStoredSettings(ini);

    EXPECT_EQ(s.MainForm, m.Value("COMMON", "MainForm", ""));
    EXPECT_EQ(s.BdUrl, m.Value("COMMON", "BDURL", kDefaultBdUrl));
    EXPECT_EQ(s.LastFile, m.Value("COMMON", "LastFile", ""));
    std::vector<std::string> recent;
    if (const TModelSection* files = m.Find("FILES"))
      for (const auto& e : files->Entries)
        if (!e.second.empty()) recent.push_back(e.second);
    EXPECT_EQ(s.RecentFiles, recent);
    ExpectPlacement(m.HasMainForm ? m.Placement : std::vector<int>{}, ParsePlacement(s.MainForm, 1920, 1080), 1920,
                    1080);
  }
}

TEST(SettingsFileRandom, DamagedFilesStillGiveSoundSettings) {
  TRandom r(Seed() + 1);
  TempDir dir;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("seed " + std::to_string(Seed() + 1) + ", round " + std::to_string(round));
    const std::string text = Damaged(r, RandomModel(r).Text);
    const std::string name = "damaged" + std::to_string(round) + ".ini";
    dir.Write(name, text);
    const TIniFile ini(dir.File(name));
    ExpectSound(ReadStoredSettings(ini));
  }
}

TEST(SettingsFileRandom, WrittenSettingsReadBackAndTheRestOfTheFileStays) {
  TRandom r(Seed() + 2);
  TempDir dir;
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE("seed " + std::to_string(Seed() + 2) + ", round " + std::to_string(round));
    const TModelFile m = RandomModel(r);
    const std::string name = "write" + std::to_string(round) + ".ini";
    dir.Write(name, m.Text);
    SCOPED_TRACE(m.Text);
    TIniFile ini(dir.File(name));
    std::vector<int> numbers;
    const std::string mainForm = PlacementText(r, numbers);
    const std::string lastFile = r.Chance(20) ? "" : "C:\\fw\\" + CleanText(r, true) + ".eraw";
    std::vector<std::string> recent;
    const int items = r.Below(4);
    for (int i = 0; i < items; ++i) recent.push_back("D:\\" + CleanText(r, true) + ".eraw");
    ASSERT_NO_THROW(WriteStoredSettings(ini, mainForm, lastFile, recent));

    const TIniFile again(dir.File(name));
    EXPECT_EQ(again.ReadString("COMMON", "MainForm", "\x01"), mainForm);
    EXPECT_EQ(again.ReadString("COMMON", "LastFile", "\x01"), lastFile);
    for (std::size_t i = 0; i < recent.size(); ++i)
      EXPECT_EQ(again.ReadString("FILES", std::to_string(i), "\x01"), recent[i]) << i;
    /* everything not written reads as before: keys, their order, values */
    for (const TModelSection& section : m.Sections) {
      for (const auto& [key, value] : section.Entries) {
        const bool written = (Lower(section.Name) == "common" && (Lower(key) == "mainform" || Lower(key) == "lastfile")) ||
                             (Lower(section.Name) == "files" && key.size() == 1 && key[0] >= '0' &&
                              static_cast<std::size_t>(key[0] - '0') < recent.size());
        if (!written) {
          EXPECT_EQ(again.ReadString(section.Name, key, "\x01"), value) << section.Name << "/" << key;
        }
      }
    }
    const TStoredSettings s = ReadStoredSettings(again);
    EXPECT_EQ(s.BdUrl, m.Value("COMMON", "BDURL", kDefaultBdUrl));
    ExpectPlacement(numbers, ParsePlacement(s.MainForm, 1920, 1080), 1920, 1080);
  }
}

}  // namespace
