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

// Appends lines to the day's file, which other programs (a second window, any
// number of console flashers, a viewer) may read and append to at the same
// time: every line arrives whole at the end of the file, in the order it was
// given. The file is kept open from one line to the next until Close (the
// window closes it a second after it opened it, the console flasher at the end
// of every turn of hand-overs). The lines of one turn (BeginTurn ... EndTurn)
// share one take of the lock all appenders write under, which under Wine
// costs about as much as the rest of a line; a line outside a turn takes it
// for itself. Each line goes to the file of its own date; a file another
// program deleted meanwhile is made afresh for the line.
//
// A line that cannot be written when it comes (another program holds the
// file without letting others write, or holds the lock too long, or the disk
// is full) is kept, and written before the next line as soon as the file
// takes lines again: so a reader that blocks the file delays lines and loses
// none, as long as the program runs.
class TLogFileWriter {
public:
  ~TLogFileWriter() { Close(); }
  // False when the line could not be written yet (it is kept).
  bool Append(const std::string& appDir, const TLocalTime& now, const std::string& line);
  void BeginTurn() { FInTurn = true; }
  // Lets go of the lock; the file stays open.
  void EndTurn();
  // Closes the file, trying once more to write the lines kept.
  void Close();
  [[nodiscard]] bool IsOpen() const { return FFile.IsOpen(); }
  // Lines given that are not in the file yet.
  [[nodiscard]] int KeptLines() const { return FKeptLines; }
  // Lines given up: kept beyond the limit, or left behind by a change of date.
  [[nodiscard]] int LostLines() const { return FLostLines; }

private:
  [[nodiscard]] bool Write(const std::string& appDir, const std::string& path, const std::string& bytes);
  void Keep(const std::string& path, const std::string& record);

  std::string FPath;  // of the open file
  TSharedAppendFile FFile;
  bool FInTurn = false;
  std::string FKeptPath, FKept;  // lines not written yet, all of one file
  int FKeptLines = 0;
  int FLostLines = 0;
};
