#include "firmware/FirmwareSource.h"

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
  if (!ReadWholeFileExclusive(fileName, image)) return false;
  return ParseFirmwareImage(log, image.data(), image.size(), version, blocks);
}

bool TFirmwareSources::LoadFirmwareFromResource(TFirmwareBlockList& blocks, TFirmwareVersion& version,
                                                TOperationLog& log) {
  if (FExternalFirmware) return false;
  std::vector<std::uint8_t> image;
  FResourceFirmwareLoaded = false;
  if (LoadApplicationResource("FRMV", "RC_DATA", image))
    FResourceFirmwareLoaded = ParseFirmwareImage(log, image.data(), image.size(), version, blocks);
  return FResourceFirmwareLoaded;
}
