#include "flashing/WriteResult.h"

#include "flashing/WriteThread.h"
#include "link/Packets.h"
#include "records/TextFormat.h"

std::string FlashResultText(std::int32_t result, std::int32_t lastAnswer) {
  if (result == wrSuccess) return "Обновление прошивки завершено успешно";
  if (lastAnswer == asLocked) return "Прибор заблокирован";
  if (result == wrIncompatible) return "Прошивка и прибор не совместимы";
  return FormatText("Ошибка %d при обновлении прошивки", result);
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

TFlashRecord FlashRecordOf(const TWriteThread& thread, const std::string& program, const TLocalTime& time) {
  const TDevEntry& device = *thread.FDevice;
  TFlashRecord r;
  r.Time = time;
  r.Program = program;
  r.Serial = device.Serial;
  r.Library = BackendName(device.Backend);
  r.ProcessorId = device.ProcessorId;
  r.FirmwareBefore = device.FirmwareVersion.VersionText();
  r.LoaderVersion = device.LoaderVersion.VersionText();
  r.ImageVersion = thread.FImageVersion.VersionText();
  r.ImageChecksum = thread.FImageChecksum;
  r.ImageFile = thread.FImageFile;
  r.Result = thread.FResult;
  r.ResultText = FlashResultText(thread.FResult, thread.FLastAnswer);
  r.LastAnswer = thread.FLastAnswer;
  r.ElapsedMs = thread.FElapsed;
  r.BlocksWritten = thread.FHealth.BlocksWritten;
  r.Retries = thread.FHealth.Retries;
  r.Timeouts = thread.FHealth.Timeouts;
  r.LongestAnswerMs = thread.FHealth.LongestAnswerMs;
  r.MeanAnswerMs = thread.FHealth.MeanAnswerMs();
  return r;
}
