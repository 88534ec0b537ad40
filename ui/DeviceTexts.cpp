#include "ui/DeviceTexts.h"

#include "flashing/WriteResult.h"
#include "link/Packets.h"
#include "records/TextFormat.h"

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

void RemoveVanishedDevices(TDeviceList& list, TOperationLog& log) {
  for (auto it = list.begin(); it != list.end();) {
    TDevEntry& entry = **it;
    if (entry.Vanished.load() && entry.WriteThread.load() == nullptr) {
      LogDeviceDisconnected(log, entry.Serial);
      it = list.erase(it);  // a panel goes with its entry
    } else {
      ++it;
    }
  }
}

void LogFlashStarting(TOperationLog& log, int serial) {
  log.DeviceLogFmt(mkInfo, serial, "Начинаем прошивку прибора");
}

void LogDiscoveryFailed(TOperationLog& log, int elapsed, int result, int lastAnswer) {
  log.DeviceLogFmt(mkError, 0, "(% 6d)Ошибка %d поиске новых устройств. Последний код ответа прибора %d", elapsed,
                   result, lastAnswer);
}

TFlashResultText DescribeFlashResult(int result, int lastAnswer, int elapsed) {
  const std::string message = FlashResultText(result, lastAnswer);
  if (result == wrSuccess) return {message, mkSuccess, FormatText("(% 6d)Прошивка завершена успешно", elapsed), mkInfo};
  if (lastAnswer == asLocked) return {message, mkError, "Установлена блокировка изменения настроек", mkError};
  if (result == wrIncompatible) return {message, mkError, "Прибор не совместим с данной версией прошивки", mkError};
  return {message, mkError,
          FormatText("(% 6d)Ошибка %d при прошивке. Последний код ответа прибора %d", elapsed, result, lastAnswer),
          mkError};
}
