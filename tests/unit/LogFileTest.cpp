#include "session/LogFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#endif

#include "TempDir.h"
#include "platform/Files.h"

namespace {

TLocalTime At(int y, int mo, int d, int h, int mi, int s, int ms) { return {y, mo, d, h, mi, s, ms}; }

TEST(LogFile, LinePrefix) {
  EXPECT_EQ(DeviceLinePrefix(0), "Прибор -------\t");
  EXPECT_EQ(DeviceLinePrefix(1234567), "Прибор 1234567\t");
  EXPECT_EQ(DeviceLinePrefix(42), "Прибор      42\t");
  EXPECT_EQ(DeviceLinePrefix(-1), "Прибор      -1\t");
  EXPECT_EQ(DeviceLinePrefix(123456789), "Прибор 123456789\t");
}

TEST(LogFile, DailyFiles) {
  TempDir dir;
  const std::string app = dir.Dir();
  EXPECT_EQ(LogFilePath(app, At(2014, 3, 5, 1, 2, 3, 4)), app + "Logs" + kPathSeparator + "20140305.log");
  EXPECT_EQ(LogFileRecord(At(2014, 3, 5, 1, 2, 3, 4), "x"), "[05.03.2014 01:02:03.004]\tx\r\n");

  /* lines around midnight go to the files of their own dates; the directory
     is created; lines are appended, Windows-1251, no byte-order mark */
  ASSERT_TRUE(AppendLogFileLine(app, At(2014, 3, 5, 23, 59, 59, 999), "Прибор -------\tодин"));
  ASSERT_TRUE(AppendLogFileLine(app, At(2014, 3, 6, 0, 0, 0, 1), "два"));
  ASSERT_TRUE(AppendLogFileLine(app, At(2014, 3, 6, 0, 0, 0, 2), "три"));
  const std::string sep(1, kPathSeparator);
  EXPECT_EQ(dir.Read("Logs" + sep + "20140305.log"), "[05.03.2014 23:59:59.999]\tПрибор -------\tодин\r\n");
  EXPECT_EQ(dir.Read("Logs" + sep + "20140306.log"),
            "[06.03.2014 00:00:00.001]\tдва\r\n[06.03.2014 00:00:00.002]\tтри\r\n");
  EXPECT_EQ(static_cast<unsigned char>(dir.Read("Logs" + sep + "20140306.log")[26]), 0xE4);  // "д"

  /* a directory that cannot be made: nothing written, no crash */
  dir.Write("file", "x");
  EXPECT_FALSE(AppendLogFileLine(dir.File("file") + sep, At(2014, 3, 6, 0, 0, 0, 0), "lost"));
}

TEST(LogFile, AWriterKeepsTheDaysFileOpenForABurstOnly) {
  TempDir dir;
  const std::string app = dir.Dir();
  const std::string sep(1, kPathSeparator);
  const std::string day5 = "Logs" + sep + "20140305.log", day6 = "Logs" + sep + "20140306.log";
  TLogFileWriter writer;

  /* a burst across midnight: each line in the file of its own date, each
     readable by another program as soon as it is written */
  ASSERT_TRUE(writer.Append(app, At(2014, 3, 5, 23, 59, 59, 999), "один"));
  EXPECT_TRUE(writer.IsOpen());
  EXPECT_EQ(dir.Read(day5), "[05.03.2014 23:59:59.999]\tодин\r\n");
  ASSERT_TRUE(writer.Append(app, At(2014, 3, 6, 0, 0, 0, 1), "два"));
  EXPECT_EQ(dir.Read(day6), "[06.03.2014 00:00:00.001]\tдва\r\n");
  EXPECT_EQ(dir.Read(day5), "[05.03.2014 23:59:59.999]\tодин\r\n");
  writer.Close();
  EXPECT_FALSE(writer.IsOpen());

  /* the next burst appends to the same day's file */
  ASSERT_TRUE(writer.Append(app, At(2014, 3, 6, 0, 0, 1, 0), "три"));
  EXPECT_EQ(dir.Read(day6), "[06.03.2014 00:00:00.001]\tдва\r\n[06.03.2014 00:00:01.000]\tтри\r\n");

  /* another program deletes the file while it is open: the deletion
     succeeds, and the lines are not lost with the file but start a fresh one
     (within the burst where the system reports the deletion on the open
     file, as Linux and Windows do; Wine does not, so there the burst's later
     lines go with the deleted file and the next burst starts the fresh one) */
  std::error_code error;
  ASSERT_TRUE(std::filesystem::remove(dir.File(day6), error)) << error.message();
  ASSERT_TRUE(writer.Append(app, At(2014, 3, 6, 0, 0, 2, 0), "четыре"));
  writer.Close();
  ASSERT_TRUE(writer.Append(app, At(2014, 3, 6, 0, 0, 3, 0), "пять"));
  writer.Close();
  const std::string fresh = dir.Read(day6);
  EXPECT_NE(fresh.find("[06.03.2014 00:00:03.000]\tпять\r\n"), std::string::npos) << fresh;
  EXPECT_EQ(fresh.find("три"), std::string::npos);
#ifndef _WIN32
  EXPECT_EQ(fresh, "[06.03.2014 00:00:02.000]\tчетыре\r\n[06.03.2014 00:00:03.000]\tпять\r\n");
#endif

  /* a directory that cannot be made: nothing written, nothing left open */
  dir.Write("file", "x");
  EXPECT_FALSE(writer.Append(dir.File("file") + sep, At(2014, 3, 6, 0, 0, 0, 0), "lost"));
  EXPECT_FALSE(writer.IsOpen());
}

#ifdef _WIN32
// Share modes exist on Windows only.
TEST(LogFile, AProgramThatLetsNobodyWriteDelaysLinesAndLosesNone) {
  TempDir dir;
  const std::string app = dir.Dir();
  const std::string sep(1, kPathSeparator);
  const std::string day = "Logs" + sep + "20140306.log";
  TLogFileWriter writer;
  ASSERT_TRUE(writer.Append(app, At(2014, 3, 6, 0, 0, 0, 0), "один"));
  writer.Close();
  const auto block = [&] {
    return CreateFileW(WidePath(dir.File(day)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };

  /* lines while a viewer holds the file: kept, written in their order
     before the first line after it lets go */
  HANDLE viewer = block();
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(writer.Append(app, At(2014, 3, 6, 0, 0, 1, 0), "два"));
  EXPECT_FALSE(writer.Append(app, At(2014, 3, 6, 0, 0, 2, 0), "три"));
  CloseHandle(viewer);
  EXPECT_TRUE(writer.Append(app, At(2014, 3, 6, 0, 0, 3, 0), "четыре"));
  writer.Close();

  /* the last lines before a close are written by the close once it can */
  viewer = block();
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(writer.Append(app, At(2014, 3, 6, 0, 0, 4, 0), "пять"));
  writer.Close();
  CloseHandle(viewer);
  writer.Close();
  EXPECT_EQ(dir.Read(day),
            "[06.03.2014 00:00:00.000]\tодин\r\n[06.03.2014 00:00:01.000]\tдва\r\n[06.03.2014 00:00:02.000]\tтри\r\n"
            "[06.03.2014 00:00:03.000]\tчетыре\r\n[06.03.2014 00:00:04.000]\tпять\r\n");
}
#endif

}  // namespace

#include "RecordingLog.h"

namespace {

TEST(OperationLog, LongFormattedLinesAreKeptWhole) {
  // A text far longer than any fixed buffer (a deep path through "%s") comes
  // through whole, neither overflowed nor cut.
  RecordingLog log;
  const std::string path(5000, 'p');
  log.LogFmt(mkError, "Загрузка прошивки: Файл %s не найден", path.c_str());
  log.DeviceLogFmt(mkInfo, 42, "(% 6d)%s|", 7, path.c_str());
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0].text, "Загрузка прошивки: Файл " + path + " не найден");
  EXPECT_EQ(log.lines[0].serial, 0);
  EXPECT_EQ(log.lines[1].text, "(     7)" + path + "|");
  EXPECT_EQ(log.lines[1].serial, 42);
  /* a text from a device is an argument, never a format */
  log.LogFmt(mkInfo, "%s", "100%d %s %n");
  EXPECT_EQ(log.lines[2].text, "100%d %s %n");
}

}  // namespace
