#include <algorithm>
#include <climits>
#include <cstring>

#include "link/DeviceLink.h"
#include "link/DriverLibraries.h"
#include "platform/Ticks.h"
#include "records/TextFormat.h"

namespace {
bool FtdiLoaded() { return hFtdiLib.load(std::memory_order_acquire) != nullptr; }
}  // namespace

bool FtdiOpen(TDevEntry& entry) {
  if (!FtdiLoaded()) return false;
  std::string serial = FormatText("%d", entry.Serial);
  FT_HANDLE handle = nullptr;
  const FT_STATUS status = FtdiApi.OpenEx(serial.data(), FT_OPEN_BY_SERIAL_NUMBER, &handle);
  // Whatever a failed open left in the handle is no handle of ours: closing
  // or using it later would reach some other device, or none.
  entry.FtHandle = nullptr;
  if (status != FT_OK || handle == nullptr) return false;
  entry.FtHandle = handle;
  (void)FtdiApi.SetTimeouts(handle, kFtdiReadTimeout, kFtdiWriteTimeout);
  return true;
}

void FtdiClose(TDevEntry& entry) {
  if (!FtdiLoaded()) return;
  if (entry.FtHandle != nullptr) {
    (void)FtdiApi.ResetDevice(entry.FtHandle);
    (void)FtdiApi.Close(entry.FtHandle);
  }
  entry.FtHandle = nullptr;
}

bool FtdiWrite(TDevEntry& entry, const void* data, std::uint32_t* written, std::uint32_t count) {
  if (!FtdiLoaded() || entry.FtHandle == nullptr) return false;
  FT_DWORD done = 0;
  const FT_STATUS status = FtdiApi.Write(entry.FtHandle, const_cast<void*>(data), count, &done);
  if (written != nullptr) *written = done;
  return status == FT_OK;
}

int FtdiRead(TDevEntry& entry, void* buffer, std::uint32_t timeoutMs, std::uint32_t maximum) {
  if (!FtdiLoaded()) return 0;
  const std::uint32_t start = TickCount();
  if (entry.FtHandle == nullptr) return 0;
  maximum = std::min<std::uint32_t>(maximum, INT_MAX);
  std::memset(buffer, 0, maximum);
  const auto queued = [&entry]() -> FT_DWORD {
    FT_DWORD rx = 0, tx = 0, events = 0;
    return FtdiApi.GetStatus(entry.FtHandle, &rx, &tx, &events) == FT_OK ? rx : 0;
  };
  while (TickCount() - start <= timeoutMs) {
    if (queued() == 0) {
      SleepMs(1);
      continue;
    }
    // Let the rest of the answer arrive, then take what is there.
    SleepMs(1);
    const FT_DWORD count = std::min<FT_DWORD>(queued(), maximum);
    if (count == 0) return 0;
    FT_DWORD got = 0;
    if (FtdiApi.Read(entry.FtHandle, buffer, count, &got) != FT_OK) return 0;
    // A driver never returns more than asked; should one, the buffer ends here.
    return static_cast<int>(std::min(got, count));
  }
  return 0;
}
