#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/LocalTime.h"

// One line of the record of finished flashes (Logs/flashes.csv next to the
// executable): which unit got which firmware, how it ended and how the link
// held up. Texts are Windows-1251 like every text of the updater; the file is
// UTF-8 with a byte-order mark, fields separated by ';', so that a spreadsheet
// on a Russian-locale Windows opens it as it is: hex values are written with
// "0x" and the texts from a device or a file name that begin with '=', '+',
// '-', '@', TAB, CR or an apostrophe with an apostrophe in front, so that
// none of them opens as a number or a formula.
struct TFlashRecord {
  TLocalTime Time;               // when the flash ended
  std::string Program;           // the program that flashed: "vxfwloader", "vxflash"
  std::int32_t Serial = 0;
  std::string Library;           // the driver library the device was reached through
  std::uint32_t ProcessorId = 0;
  std::string FirmwareBefore;    // the version the device reported before the flash
  std::string LoaderVersion;
  std::string ImageVersion;
  std::uint32_t ImageChecksum = 0;  // CRC-32 of the payload (ImageCrc32)
  std::string ImageFile;         // empty for the image built into the program
  std::int32_t Result = 0;
  std::string ResultText;
  std::int32_t LastAnswer = 0;
  std::int32_t ElapsedMs = 0;
  std::int32_t BlocksWritten = 0;
  std::int32_t Retries = 0;
  std::int32_t Timeouts = 0;
  std::int32_t LongestAnswerMs = 0;
  std::int32_t MeanAnswerMs = 0;
};

// The first line of a new file: the byte-order mark and the column names, CR LF.
[[nodiscard]] std::string FlashRecordHeader();

// The record as one line of the file: UTF-8, ';'-separated, CR LF. The
// version texts are taken as given (TFirmwareVersion::VersionText has
// escaped what came from the device).
[[nodiscard]] std::string FlashRecordLine(const TFlashRecord& record);

// One field as the file holds it: UTF-8 `text` as it is, or in double quotes
// (inner quotes doubled) when it holds ';', '"', CR or LF or begins or ends
// with a blank, which a spreadsheet would otherwise split or trim.
[[nodiscard]] std::string CsvField(std::string_view text);

// CRC-32 (the common reflected polynomial 0xEDB88320) of `size` bytes,
// continuing from `crc` (0 to begin).
[[nodiscard]] std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// <appDir>Logs<sep>flashes.csv.
[[nodiscard]] std::string FlashRecordPath(const std::string& appDir);

// Appends the record to the file, creating the Logs directory and the file
// (with its header) as needed. Several programs and threads may append at
// once: each line arrives whole. A last line left torn by a program killed
// while writing stays as it is, closed (with its open quote, if any) so that
// the new row and every later one parse. False when the file could not be
// written within about a second; the caller logs that, the flash stands.
[[nodiscard]] bool AppendFlashRecord(const std::string& path, const TFlashRecord& record);
