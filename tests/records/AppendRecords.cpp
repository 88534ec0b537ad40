// Appends records to a record file as fast as it can, for the tests of
// appenders running at once: AppendRecords FILE PROGRAM COUNT. Record i has
// serial i and the program name given; exits 1 when any append failed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/FlashRecord.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: AppendRecords FILE PROGRAM COUNT\n");
    return 2;
  }
  const std::string path = argv[1];
  const int count = std::atoi(argv[3]);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    TFlashRecord r;
    r.Program = argv[2];
    r.Serial = i;
    r.ImageFile = "файл; с \"кавычками\"\r\nи переводом строки";
    r.ResultText = "Обновление прошивки завершено успешно";
    if (!AppendFlashRecord(path, r)) ++failed;
  }
  return failed == 0 ? 0 : 1;
}
