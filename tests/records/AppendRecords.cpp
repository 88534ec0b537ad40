// Appends to a shared file as fast as it can, for the tests of programs
// appending at once:
//   AppendRecords record FILE PROGRAM COUNT   record i of the record of flashes has serial i
//   AppendRecords log DIR PROGRAM COUNT       line i of the day's log file in DIR reads "PROGRAM i",
//                                             in turns of 1 to 7 lines, the file held open for 50
//                                             lines at a time
// The program name is given; exits 1 when any append failed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Files.h"
#include "platform/LocalTime.h"
#include "records/FlashRecord.h"
#include "session/LogFile.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: AppendRecords record|log FILE|DIR PROGRAM COUNT\n");
    return 2;
  }
  const std::string mode = argv[1];
  std::string path = argv[2];
  // The folder comes without its last separator (a quoted "...\" would
  // escape the quote on Windows).
  if (mode == "log") path += kPathSeparator;
  const std::string program = argv[3];
  const int count = std::atoi(argv[4]);
  int failed = 0;
  TLogFileWriter log;
  for (int i = 0; i < count; ++i) {
    if (mode == "log") {
      // A line that had to be kept for later is no failure; one lost is.
      log.BeginTurn();
      (void)log.Append(path, LocalTimeNow(), program + " " + std::to_string(i));
      if (i % 7 == i / 7 % 7) log.EndTurn();
      if (i % 50 == 49) log.Close();
      continue;
    }
    TFlashRecord r;
    r.Program = program;
    r.Serial = i;
    r.ImageFile = "файл; с \"кавычками\"\r\nи переводом строки";
    r.ResultText = "Обновление прошивки завершено успешно";
    if (!AppendFlashRecord(path, r)) ++failed;
  }
  log.Close();
  if (log.KeptLines() + log.LostLines() > 0) {
    std::fprintf(stderr, "%d lines kept, %d lost\n", log.KeptLines(), log.LostLines());
    ++failed;
  }
  return failed == 0 ? 0 : 1;
}
