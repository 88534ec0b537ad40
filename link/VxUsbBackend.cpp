#include <algorithm>
#include <climits>

#include "link/DeviceLink.h"
#include "link/DriverLibraries.h"
#include "records/TextFormat.h"

namespace {
bool VxUsbLoaded() { return hVxUsbLib.load(std::memory_order_acquire) != nullptr; }
}  // namespace

bool VxUsbOpen(TDevEntry& entry) {
  if (!VxUsbLoaded()) return false;
  const std::string serial = FormatText("%d", entry.Serial);
  VX_HANDLE handle = nullptr;
  const std::int32_t result = VxUsbApi.OpenDevice(entry.DeviceCode, serial.c_str(), &handle);
  // A failed open's handle is no handle of ours (see FtdiOpen).
  entry.VxHandle = nullptr;
  if (result != 0 || handle == nullptr) return false;
  entry.VxHandle = handle;
  (void)VxUsbApi.SetTimeouts(handle, kVxUsbReadTimeout, kVxUsbWriteTimeout);
  return true;
}

void VxUsbClose(TDevEntry& entry) {
  if (!VxUsbLoaded()) return;
  if (entry.VxHandle != nullptr) (void)VxUsbApi.CloseDevice(&entry.VxHandle);
  entry.VxHandle = nullptr;
}

bool VxUsbWrite(TDevEntry& entry, const void* data, std::uint32_t* written, std::uint32_t count) {
  if (!VxUsbLoaded() || entry.VxHandle == nullptr) return false;
  std::uint32_t done = 0;
  const std::int32_t result = VxUsbApi.Write(entry.VxHandle, data, count, &done);
  if (written != nullptr) *written = done;
  return result == 0;
}

int VxUsbRead(TDevEntry& entry, void* buffer, std::uint32_t /*timeoutMs*/, std::uint32_t maximum) {
  if (!VxUsbLoaded() || entry.VxHandle == nullptr) return 0;
  maximum = std::min<std::uint32_t>(maximum, INT_MAX);
  std::uint32_t count = 0;
  (void)VxUsbApi.ReadNotTimeOut(entry.VxHandle, buffer, maximum, &count);
  // The count comes from outside this program: never report more than fits.
  return static_cast<int>(std::min(count, maximum));
}
