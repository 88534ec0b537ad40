#include "ui/SettingsFile.h"

#include "records/TextFormat.h"
#include "records/TextScan.h"

TWindowPlacement ParsePlacement(const std::string& text, int desktopWidth, int desktopHeight) {
  int v[7] = {-1, -1, -1, -1, -1, -1, -1};
  TWindowPlacement p;
  if (ScanIntegers(text.c_str(), "%d,%d,%d,%d,%d,%d,%d", v, 7) < 4) return p;
  if (v[0] >= 0 && v[0] < desktopWidth - 100) p.Left = v[0];
  if (v[1] >= 0 && v[1] < desktopHeight - 100) p.Top = v[1];
  if (v[2] >= 0) p.Width = v[2];
  if (v[3] >= 0) p.Height = v[3];
  if (v[4] >= 0) p.AutoWrite = v[4] != 0;
  if (v[5] >= 0) p.LogHeight = v[5];
  if (v[6] >= 0) p.WriteLogToFile = v[6] != 0;
  return p;
}

std::string FormatPlacement(int left, int top, int width, int height, bool autoWrite, int logHeight,
                            bool writeLogToFile) {
  return FormatText("%d,%d,%d,%d,%d,%d,%d", left, top, width, height, autoWrite ? 1 : 0, logHeight,
                    writeLogToFile ? 1 : 0);
}

TStoredSettings ReadStoredSettings(const TIniFile& ini) {
  TStoredSettings s;
  s.MainForm = ini.ReadString("COMMON", "MainForm", "");
  s.BdUrl = ini.ReadString("COMMON", "BDURL", kDefaultBdUrl);
  for (const std::string& key : ini.ReadSectionKeys("FILES")) {
    std::string value = ini.ReadString("FILES", key, "");
    if (!value.empty()) s.RecentFiles.push_back(std::move(value));
  }
  s.LastFile = ini.ReadString("COMMON", "LastFile", "");
  return s;
}

void WriteStoredSettings(TIniFile& ini, const std::string& mainForm, const std::string& lastFile,
                         const std::vector<std::string>& recentFiles) {
  auto write = [&ini](const char* section, const std::string& key, const std::string& value) {
    if (!ini.WriteString(section, key, value))
      throw Exception(FormatText("Не удалось записать настройки в файл %s", ini.FileName().c_str()));
  };
  write("COMMON", "MainForm", mainForm);
  write("COMMON", "LastFile", lastFile);
  for (std::size_t i = 0; i < recentFiles.size(); ++i) write("FILES", std::to_string(i), recentFiles[i]);
}
