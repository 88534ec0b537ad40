#pragma once

#include <string>

#include "records/DevEntry.h"
#include "records/MessageKind.h"
#include "records/OperationLog.h"

// The texts every front end shows for a device: its lines in the operation
// log and the words for a flash's result, so that the window and the console
// flasher say the same things.

// "Загрузчик" or "Прошивка".
[[nodiscard]] const char* DeviceModeText(const TDevEntry& entry);

void LogDeviceConnected(TOperationLog& log, const TDevEntry& entry);
// Firmware and loader version, processor identifier and mode of a device just
// identified.
void LogDeviceIdentity(TOperationLog& log, const TDevEntry& entry);
void LogDeviceDisconnected(TOperationLog& log, int serial);
void LogFlashStarting(TOperationLog& log, int serial);
// Holding DeviceListLock: takes out of the list every device that has gone
// and is not being flashed (a flash's end removes its own), each with its
// line.
void RemoveVanishedDevices(TDeviceList& list, TOperationLog& log);
// A discovery run that failed as a whole.
void LogDiscoveryFailed(TOperationLog& log, int elapsed, int result, int lastAnswer);

// A finished flash in words: the short message of the device's panel and the
// line of the log, each with its kind.
struct TFlashResultText {
  std::string Message;
  TMessageKind MessageKind = mkInfo;
  std::string LogLine;
  TMessageKind LogKind = mkInfo;
};
// The panel's message is the record's result in words (FlashResultText).
[[nodiscard]] TFlashResultText DescribeFlashResult(int result, int lastAnswer, int elapsed);
