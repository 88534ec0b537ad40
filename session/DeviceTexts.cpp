#include "session/DeviceTexts.h"

const char* DeviceModeText(const TDevEntry& entry) { return entry.InBootLoader ? "Загрузчик" : "Прошивка"; }

void LogDeviceConnected(TOperationLog& log, const TDevEntry& entry) {
  log.DeviceLogFmt(mkInfo, entry.Serial, "Прибор подключен");
}

void LogDeviceIdentity(TOperationLog& log, const TDevEntry& entry) {
  log.DeviceLogFmt(mkInfo, entry.Serial, "Версия прошивки %s", entry.FirmwareVersion.VersionText().c_str());
  // This line carries no device's prefix.
  if (entry.InBootLoader) log.LogFmt(mkInfo, "Версия загрузчика %s", entry.LoaderVersion.VersionText().c_str());
  log.DeviceLogFmt(mkInfo, entry.Serial, "Идентификатор процессора 0x%08X", static_cast<unsigned>(entry.ProcessorId));
  log.DeviceLogFmt(mkInfo, entry.Serial, "Режим работы - %s", DeviceModeText(entry));
}

void LogDeviceDisconnected(TOperationLog& log, int serial) { log.DeviceLogFmt(mkInfo, serial, "Прибор отключен"); }

void LogFlashStarting(TOperationLog& log, int serial) {
  log.DeviceLogFmt(mkInfo, serial, "Начинаем прошивку прибора");
}

void LogDiscoveryFailed(TOperationLog& log, int elapsed, int result, int lastAnswer) {
  log.DeviceLogFmt(mkError, 0, "(% 6d)Ошибка %d поиске новых устройств. Последний код ответа прибора %d", elapsed,
                   result, lastAnswer);
}
