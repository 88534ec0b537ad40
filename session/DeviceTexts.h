#pragma once

#include "records/DevEntry.h"
#include "records/OperationLog.h"

// The lines every front end logs for a device, so that the window and the
// console flasher say the same things.

// "Загрузчик" or "Прошивка".
[[nodiscard]] const char* DeviceModeText(const TDevEntry& entry);

void LogDeviceConnected(TOperationLog& log, const TDevEntry& entry);
// Firmware and loader version, processor identifier and mode of a device just
// identified.
void LogDeviceIdentity(TOperationLog& log, const TDevEntry& entry);
void LogDeviceDisconnected(TOperationLog& log, int serial);
void LogFlashStarting(TOperationLog& log, int serial);
// A discovery run that failed as a whole.
void LogDiscoveryFailed(TOperationLog& log, int elapsed, int result, int lastAnswer);
