// The maker's library's side of the model: its device list records, opening
// by code and serial, reading and writing.

#include <algorithm>
#include <cstring>

#include "sim/Bytes.h"
#include "sim/Handles.h"
#include "sim/Transfers.h"

using namespace vxsim;

extern "C" {

int32_t VxSimRq_GetListDevices(uint16_t selector, void* records, uint32_t* count) {
  LoadEnvironmentScenario();
  TCallRecord rec(VXSIM_VXUSB, "RQ_GetListDevices");
  rec.Arg(0, selector);
  rec.Arg(3, records != nullptr);
  TGuard g;
  TModel& m = g.m();
  if (count == nullptr) return rec.Finish(m, RQ_ERROR_PARAMETER);
  rec.Arg(1, *count);
  std::uint32_t& fail = m.FailList[VXSIM_VXUSB][records == nullptr ? 0 : 1];
  if (fail > 0) {
    --fail;
    return rec.Finish(m, RQ_ERROR_IO);
  }
  std::vector<std::uint32_t> found;
  for (std::uint32_t index : ListedDevices(m, VXSIM_VXUSB))
    if (selector == 0xFFFF || m.Devices[index].Cfg.DeviceCode == selector) found.push_back(index);
  if (records == nullptr) {
    *count = static_cast<uint32_t>(found.size());
  } else {
    const std::uint32_t n = std::min<std::uint32_t>(*count, static_cast<std::uint32_t>(found.size()));
    auto* out = static_cast<std::uint8_t*>(records);
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint8_t* r = out + static_cast<std::size_t>(i) * kRqRecordSize;
      std::memset(r, 0, kRqRecordSize);
      const TDeviceConfig& c = m.Devices[found[i]].Cfg;
      Put16(r, found[i]);
      Put16(r + 2, c.DeviceCode);
      // The record is zeroed above and the copy leaves its last byte: it is terminated.
      // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
      std::memcpy(r + 4, c.Serial.data(), std::min<std::size_t>(c.Serial.size(), kRqSerialSize - 1));
    }
    *count = n;
    rec.Data(records, static_cast<std::size_t>(n) * kRqRecordSize);
  }
  rec.Arg(2, *count);
  return rec.Finish(m, RQ_OK);
}

int32_t VxSimRq_OpenDevice(uint16_t deviceCode, const char* serial, void** handle) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_OpenDevice");
  rec.Arg(0, deviceCode);
  TGuard g;
  TModel& m = g.m();
  if (serial == nullptr || handle == nullptr) return rec.Finish(m, RQ_ERROR_PARAMETER);
  rec.Data(serial, std::strlen(serial));
  *handle = nullptr;
  for (std::uint32_t index : BusDevices(m, VXSIM_VXUSB)) {
    const TDeviceConfig& c = m.Devices[index].Cfg;
    if (c.DeviceCode != deviceCode || c.Serial != serial) continue;
    rec.Device(static_cast<int>(index));
    const int result = OpenDevice(m, static_cast<int>(index), handle);
    rec.Arg(1, result == 0 ? HandleId(*handle) : 0);
    return rec.Finish(m, result);
  }
  return rec.Finish(m, RQ_ERROR_NOT_FOUND);
}

int32_t VxSimRq_CloseDevice(void** handle) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_CloseDevice");
  TGuard g;
  if (handle == nullptr) return rec.Finish(g.m(), RQ_ERROR_PARAMETER);
  rec.Arg(0, HandleId(*handle));
  int index = -1;
  if (Resolve(g.m(), *handle, &index) == THandleState::Invalid) return rec.Finish(g.m(), RQ_ERROR_HANDLE);
  rec.Device(index);
  CloseDeviceHandle(g.m(), *handle);
  *handle = nullptr;
  return rec.Finish(g.m(), RQ_OK);
}

int32_t VxSimRq_ReadNotTimeOut(void* handle, void* buffer, uint32_t maxCount, uint32_t* countRead) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_ReadNotTimeOut");
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, maxCount);
  if (countRead == nullptr || (buffer == nullptr && maxCount > 0)) return rec.Done(RQ_ERROR_PARAMETER);
  std::uint32_t got = 0;
  const int result = WaitAndTake(rec, handle, static_cast<std::uint8_t*>(buffer), maxCount, false, false, &got);
  *countRead = got;
  return result;
}

int32_t VxSimRq_Write(void* handle, const void* data, uint32_t count, uint32_t* written) {
  return WriteBytes(VXSIM_VXUSB, "RQ_Write", handle, data, count, written);
}

int32_t VxSimRq_Purge(void* handle) {
  TCallRecord rec(VXSIM_VXUSB, "RQ_Purge");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_VXUSB, &error);
  if (d == nullptr) return rec.Finish(g.m(), error);
  d->Rx.clear();
  d->Input.clear();
  return rec.Finish(g.m(), RQ_OK);
}

int32_t VxSimRq_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t writeTimeout) {
  return SetTimeouts(VXSIM_VXUSB, "RQ_SetTimeouts", handle, readTimeout, writeTimeout);
}

}  // extern "C"
