#include "firmware/FirmwareSource.h"

#include <new>
#include <string>

#include "firmware/FirmwareImage.h"
#include "platform/Files.h"
#include "platform/Resource.h"

bool TFirmwareSources::LoadFirmware(const std::string& fileName, TFirmwareBlockList& blocks,
                                    TFirmwareVersion& version, TOperationLog& log,
                                    const std::function<void(const TFirmwareVersion&)>& shown) {
  FreeFirmwareBlocks(blocks);
  const bool ok = FExternalFirmware ? LoadFirmwareFromFile(fileName, blocks, version, log)
                                    : LoadFirmwareFromResource(blocks, version, log);
  if (!ok) {
    log.LogFmt(mkError, "Ошибка загрузки прошивки");
    return false;
  }
  if (shown) shown(version);
  if (FExternalFirmware) {
    log.LogFmt(mkInfo, "Загружена прошивка из %s", ("файла \"" + fileName + "\"").c_str());
  } else {
    log.LogFmt(mkInfo, "Загружена прошивка из %s", "ресурсов");
  }
  log.LogFmt(mkInfo, "Версия прошивки \"%s\"", version.VersionText().c_str());
  log.LogFmt(mkInfo, "Дата компиляции \"%s\"", version.DateText().c_str());
  return true;
}

bool TFirmwareSources::LoadFirmwareFromFile(const std::string& fileName, TFirmwareBlockList& blocks,
                                            TFirmwareVersion& version, TOperationLog& log) {
  if (!FExternalFirmware) return false;
  if (!FileExists(fileName)) {
    log.LogFmt(mkError, "Загрузка прошивки: Файл %s не найден", fileName.c_str());
    return false;
  }
  std::vector<std::uint8_t> image;
  std::uint64_t size = 0;
  try {
    // Refused by its size before it is read: a file of gigabytes chosen by
    // mistake must not exhaust the memory (a 32-bit process has 2 GB at most).
    const TFileRead read = ReadWholeFileExclusive(fileName, kMaxFirmwareImageSize, image, size);
    if (read == TFileRead::TooLarge) {
      log.LogFmt(mkError, "Загрузка прошивки: Файл %s слишком большой (%s байт), образ прошивки не больше %s байт",
                 fileName.c_str(), std::to_string(size).c_str(), std::to_string(kMaxFirmwareImageSize).c_str());
      return false;
    }
    if (read != TFileRead::Done) return false;
    return ParseFirmwareImage(log, image.data(), image.size(), version, blocks);
  } catch (const std::bad_alloc&) {
    log.LogFmt(mkError, "Загрузка прошивки: Недостаточно памяти для чтения файла %s", fileName.c_str());
    return false;
  }
}

bool TFirmwareSources::LoadFirmwareFromResource(TFirmwareBlockList& blocks, TFirmwareVersion& version,
                                                TOperationLog& log) {
  if (FExternalFirmware) return false;
  std::vector<std::uint8_t> image;
  FResourceFirmwareLoaded = false;
  try {
    if (LoadApplicationResource("FRMV", "RC_DATA", image))
      FResourceFirmwareLoaded = ParseFirmwareImage(log, image.data(), image.size(), version, blocks);
  } catch (const std::bad_alloc&) {
    log.LogFmt(mkError, "Загрузка прошивки: Недостаточно памяти для чтения образа из ресурсов");
  }
  return FResourceFirmwareLoaded;
}
