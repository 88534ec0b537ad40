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

namespace {
// How long a line waits for another program's turn at the file: about a
// turn of its hand-overs; a line that waits longer is kept for the next try.
constexpr std::uint32_t kLockWaitMs = 200;
// What is kept at most while the file takes no lines: some hours of a busy
// bench.
constexpr std::size_t kKeepLimit = 8u << 20;
}  // namespace

bool AppendLogFileLine(const std::string& appDir, const TLocalTime& now, const std::string& line) {
  TLogFileWriter writer;
  return writer.Append(appDir, now, line);
}

bool TLogFileWriter::Append(const std::string& appDir, const TLocalTime& now, const std::string& line) {
  const std::string path = LogFilePath(appDir, now);
  const std::string record = LogFileRecord(now, line);
  if (FKeptLines > 0 && FKeptPath != path) {
    // The date changed while lines were kept: they belong to the old file.
    Close();
    if (FKeptLines > 0) {
      FLostLines += FKeptLines;
      FKept.clear();
      FKeptLines = 0;
    }
  }
  if (Write(appDir, path, FKeptLines > 0 ? FKept + record : record)) {
    FKept.clear();
    FKeptLines = 0;
    return true;
  }
  Keep(path, record);
  return false;
}

bool TLogFileWriter::Write(const std::string& appDir, const std::string& path, const std::string& bytes) {
  if (FFile.IsOpen() && (path != FPath || FFile.Deleted())) {
    FFile.Close();
    FPath.clear();
  }
  if (!FFile.IsOpen()) {
    if (!CreateDirectories(appDir + "Logs") || !FFile.Open(path)) return false;
    FPath = path;
  }
  if (FInTurn && !FFile.Hold(kLockWaitMs)) return false;
  if (FFile.Append(bytes, kLockWaitMs)) return true;
  FFile.Close();  // the next line tries a fresh open
  FPath.clear();
  return false;
}

void TLogFileWriter::Keep(const std::string& path, const std::string& record) {
  if (FKept.size() + record.size() > kKeepLimit) {
    ++FLostLines;
    return;
  }
  FKeptPath = path;
  FKept += record;
  ++FKeptLines;
}

void TLogFileWriter::EndTurn() {
  FInTurn = false;
  FFile.Release();
}

void TLogFileWriter::Close() {
  FInTurn = false;
  FFile.Close();
  FPath.clear();
  if (FKeptLines == 0) return;
  TSharedAppendFile file;
  if (file.Open(FKeptPath) && file.Append(FKept, kLockWaitMs)) {
    FKept.clear();
    FKeptLines = 0;
  }
}
