#include "session/LogFile.h"

#include "platform/Files.h"
#include "records/TextFormat.h"

std::string DeviceLinePrefix(int serial) {
  if (serial == 0) return "Прибор -------\t";
  return FormatText("Прибор %7d\t", serial);
}

std::string LogFilePath(const std::string& appDir, const TLocalTime& now) {
  return appDir + "Logs" + kPathSeparator + FormatText("%04d%02d%02d.log", now.Year, now.Month, now.Day);
}

std::string LogFileRecord(const TLocalTime& now, const std::string& line) {
  const std::string stamp = FormatText("%02d.%02d.%04d %02d:%02d:%02d.%03d", now.Day, now.Month, now.Year, now.Hour,
                                       now.Minute, now.Second, now.Millisecond);
  return FormatText("[%s]\t", stamp.c_str()) + line + "\r\n";
}

bool AppendLogFileLine(const std::string& appDir, const TLocalTime& now, const std::string& line) {
  if (!CreateDirectories(appDir + "Logs")) return false;
  return AppendToSharedFile(LogFilePath(appDir, now), LogFileRecord(now, line));
}

bool TLogFileWriter::Append(const std::string& appDir, const TLocalTime& now, const std::string& line) {
  const std::string path = LogFilePath(appDir, now);
  if (FFile.IsOpen() && (path != FPath || FFile.Deleted())) Close();
  if (!FFile.IsOpen()) {
    if (!CreateDirectories(appDir + "Logs") || !FFile.Open(path)) return false;
    FPath = path;
  }
  if (FFile.Append(LogFileRecord(now, line))) return true;
  Close();  // the next line tries a fresh open
  return false;
}

void TLogFileWriter::Close() {
  FFile.Close();
  FPath.clear();
}
