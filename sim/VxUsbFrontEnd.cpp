// The simulated VXUSB library: the maker's entry points, each forwarding to
// the shared device model. Built once with every entry point and once without
// RQ_Purge.

#include "sim/DriverTypes.h"

#if defined(_WIN32)
#define RQ_EXPORT extern "C" __attribute__((dllexport)) int32_t VX_WINAPI
#else
#define RQ_EXPORT extern "C" __attribute__((visibility("default"))) int32_t
#endif

RQ_EXPORT RQ_GetListDevices(uint16_t selector, void* records, uint32_t* count) {
  return VxSimRq_GetListDevices(selector, records, count);
}
RQ_EXPORT RQ_OpenDevice(uint16_t deviceCode, const char* serial, void** handle) {
  return VxSimRq_OpenDevice(deviceCode, serial, handle);
}
RQ_EXPORT RQ_CloseDevice(void** handle) { return VxSimRq_CloseDevice(handle); }
RQ_EXPORT RQ_ReadNotTimeOut(void* handle, void* buffer, uint32_t maxCount, uint32_t* countRead) {
  return VxSimRq_ReadNotTimeOut(handle, buffer, maxCount, countRead);
}
RQ_EXPORT RQ_Write(void* handle, const void* data, uint32_t count, uint32_t* written) {
  return VxSimRq_Write(handle, data, count, written);
}
#ifndef VXSIM_WITHOUT_PURGE
RQ_EXPORT RQ_Purge(void* handle) { return VxSimRq_Purge(handle); }
#endif
RQ_EXPORT RQ_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t writeTimeout) {
  return VxSimRq_SetTimeouts(handle, readTimeout, writeTimeout);
}
