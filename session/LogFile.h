#pragma once

#include <string>

#include "platform/LocalTime.h"
#include "platform/SharedAppendFile.h"

// The line format of the operation log and its daily file.

// "Прибор %7d\t" for a device, "Прибор -------\t" for serial 0 (no device).
[[nodiscard]] std::string DeviceLinePrefix(int serial);

// <appDir>Logs<sep>YYYYMMDD.log for the local date `now`.
[[nodiscard]] std::string LogFilePath(const std::string& appDir, const TLocalTime& now);

// "[dd.mm.yyyy hh:mm:ss.zzz]\t" + line + CR LF.
[[nodiscard]] std::string LogFileRecord(const TLocalTime& now, const std::string& line);

// Appends one line to the day's file, creating the directory as needed, in
// one open, write and close. False when it could not be written; the caller
// shows the line in the window all the same.
bool AppendLogFileLine(const std::string& appDir, const TLocalTime& now, const std::string& line);

// Appends lines to the day's file like AppendLogFileLine, but keeps the file
// open from one line to the next until Close: the window closes it a second
// after it opened it, the console flasher at the end of every turn of
// hand-overs, so between those the file is as free for other programs as
// with one open per line. Each line goes to the file of its own
// date; a file another program deleted meanwhile is made afresh for the line.
class TLogFileWriter {
public:
  bool Append(const std::string& appDir, const TLocalTime& now, const std::string& line);
  void Close();
  [[nodiscard]] bool IsOpen() const { return FFile.IsOpen(); }

private:
  std::string FPath;  // of the open file
  TSharedAppendFile FFile;
};
