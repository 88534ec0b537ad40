#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/IniFile.h"
#include "records/Exception.h"

// The settings file VXFWLoader.ini next to the executable: window placement
// and switches, recent firmware files, the last file, and the server address
// that is kept but not used.
inline constexpr const char* kSettingsFileName = "VXFWLoader.ini";
inline constexpr const char* kDefaultBdUrl = "http://velmar.example/firmware/";

// The seven MainForm values as far as they apply: each is set only when it
// passes its check; none when fewer than four numbers were given.
struct TWindowPlacement {
  std::optional<int> Left, Top, Width, Height;
  std::optional<bool> AutoWrite;
  std::optional<int> LogHeight;
  std::optional<bool> WriteLogToFile;
};

[[nodiscard]] TWindowPlacement ParsePlacement(const std::string& text, int desktopWidth, int desktopHeight);
[[nodiscard]] std::string FormatPlacement(int left, int top, int width, int height, bool autoWrite, int logHeight,
                                          bool writeLogToFile);

struct TStoredSettings {
  std::string MainForm;                  // the placement text, unparsed
  std::string BdUrl;
  std::string LastFile;
  std::vector<std::string> RecentFiles;  // non-empty [FILES] values in file order
};

[[nodiscard]] TStoredSettings ReadStoredSettings(const TIniFile& ini);

// Writes MainForm, LastFile and FILES/0..n-1 (higher keys stay as they are;
// BDURL is never written). Raises Exception naming the file at the first
// value that cannot be written; the values before it stay written.
void WriteStoredSettings(TIniFile& ini, const std::string& mainForm, const std::string& lastFile,
                         const std::vector<std::string>& recentFiles);
