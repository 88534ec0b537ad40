#include "records/FlashRecord.h"

#include <algorithm>
#include <array>

#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/LockedAppend.h"
#include "records/TextFormat.h"

namespace {

// How long a line waits for a file that another program holds or another
// appender has locked, before the line is given up (and logged as lost).
constexpr std::uint32_t kAppendWaitMs = 1000;

// The column names, in the order of the fields of a line.
constexpr const char* kColumns[] = {
    "Дата и время", "Программа", "Серийный номер", "Библиотека", "Процессор", "Прошивка до",
    "Загрузчик", "Версия образа", "CRC-32 образа", "Файл образа", "Код результата", "Результат",
    "Последний код ответа", "Время, мс", "Записано блоков", "Повторов", "Тайм-аутов",
    "Наибольшее время ответа, мс", "Среднее время ответа, мс"};

std::string JoinLine(const std::string* fields, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ';';
    out += CsvField(Cp1251ToUtf8(fields[i]));
  }
  return out + "\r\n";
}

std::string Number(std::int32_t value) { return FormatText("%d", value); }

// With its "0x" a spreadsheet keeps a hex value as text: bare, 123456E7 would
// open as the number 1.23456E+12 and 00012345 lose its zeros.
std::string Hex(std::uint32_t value) { return FormatText("0x%08X", value); }

// A text from a device or a file name that a spreadsheet would take for a
// formula gets an apostrophe in front, which keeps it text. One that begins
// with an apostrophe of its own gets one too, so that a reader can always
// drop a first apostrophe.
std::string NoFormula(const std::string& text) {
  if (text.empty() || std::string_view("=+-@\t\r'").find(text.front()) == std::string_view::npos) return text;
  return "'" + text;
}

// A row cut short by a program killed while writing it: CR LF ends it, after
// a closing quote when the file stops inside a quoted field (an odd count of
// quotes in the file, as a spreadsheet reads it), which would otherwise take
// every later row into that field.
std::string CloseTornRow(std::string_view file) {
  const auto quotes = std::count(file.begin(), file.end(), '"');
  return quotes % 2 != 0 ? "\"\r\n" : "\r\n";
}

}  // namespace

std::string CsvField(std::string_view text) {
  const bool quoted = text.find_first_of(";\"\r\n") != std::string_view::npos ||
                      (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quoted) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string FlashRecordHeader() {
  constexpr std::size_t count = std::size(kColumns);
  std::array<std::string, count> names;
  for (std::size_t i = 0; i < count; ++i) names[i] = kColumns[i];
  return "\xEF\xBB\xBF" + JoinLine(names.data(), count);
}

std::string FlashRecordLine(const TFlashRecord& r) {
  const TLocalTime& t = r.Time;
  const std::string fields[] = {
      FormatText("%02d.%02d.%04d %02d:%02d:%02d", t.Day, t.Month, t.Year, t.Hour, t.Minute, t.Second),
      r.Program,
      Number(r.Serial),
      r.Library,
      Hex(r.ProcessorId),
      NoFormula(r.FirmwareBefore),
      NoFormula(r.LoaderVersion),
      NoFormula(r.ImageVersion),
      Hex(r.ImageChecksum),
      r.ImageFile.empty() ? std::string("embedded") : NoFormula(r.ImageFile),
      Number(r.Result),
      r.ResultText,
      Number(r.LastAnswer),
      Number(r.ElapsedMs),
      Number(r.BlocksWritten),
      Number(r.Retries),
      Number(r.Timeouts),
      Number(r.LongestAnswerMs),
      Number(r.MeanAnswerMs),
  };
  static_assert(std::size(fields) == std::size(kColumns));
  return JoinLine(fields, std::size(fields));
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string FlashRecordPath(const std::string& appDir) { return appDir + "Logs" + kPathSeparator + "flashes.csv"; }

bool AppendFlashRecord(const std::string& path, const TFlashRecord& record) {
  const std::size_t cut = path.find_last_of(kPathSeparator);
  if (cut != std::string::npos && !CreateDirectories(path.substr(0, cut))) return false;
  return AppendLineClosingTorn(path, FlashRecordHeader(), FlashRecordLine(record), kAppendWaitMs, CloseTornRow);
}
