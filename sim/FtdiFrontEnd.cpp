// The simulated ftd2xx library: the D2XX entry points, each forwarding to the
// shared device model. Built once with every entry point and once without
// FT_Rescan.

#include "sim/DriverTypes.h"

#if defined(_WIN32)
#define FT_EXPORT extern "C" __attribute__((dllexport)) FT_STATUS VX_WINAPI
#else
#define FT_EXPORT extern "C" __attribute__((visibility("default"))) FT_STATUS
#endif

FT_EXPORT FT_ListDevices(void* arg1, void* arg2, FT_ULONG flags) { return VxSimFt_ListDevices(arg1, arg2, flags); }
FT_EXPORT FT_Open(int deviceNumber, FT_HANDLE* handle) { return VxSimFt_Open(deviceNumber, handle); }
FT_EXPORT FT_Close(FT_HANDLE handle) { return VxSimFt_Close(handle); }
FT_EXPORT FT_ResetDevice(FT_HANDLE handle) { return VxSimFt_ResetDevice(handle); }
FT_EXPORT FT_Purge(FT_HANDLE handle, FT_ULONG mask) { return VxSimFt_Purge(handle, mask); }
FT_EXPORT FT_Read(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* returned) {
  return VxSimFt_Read(handle, buffer, count, returned);
}
namespace {
// Kept out of the optimiser's sight, so that the fault happens in this library.
FT_ULONG* volatile faultTarget = nullptr;
}  // namespace

FT_EXPORT FT_Write(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* written) {
  const FT_STATUS status = VxSimFt_Write(handle, buffer, count, written);
  if (status == kVxSimWriteFault) *faultTarget = count;  // a scenario's write_fault
  return status;
}
FT_EXPORT FT_SetDivisor(FT_HANDLE handle, uint16_t divisor) {
  return VxSimFt_Setting("FT_SetDivisor", handle, divisor, 0, 0);
}
FT_EXPORT FT_SetTimeouts(FT_HANDLE handle, FT_ULONG readTimeout, FT_ULONG writeTimeout) {
  return VxSimFt_SetTimeouts(handle, readTimeout, writeTimeout);
}
FT_EXPORT FT_SetBaudRate(FT_HANDLE handle, FT_ULONG baudRate) {
  return VxSimFt_Setting("FT_SetBaudRate", handle, baudRate, 0, 0);
}
FT_EXPORT FT_GetDeviceInfo(FT_HANDLE handle, FT_ULONG* type, FT_ULONG* id, char* serial, char* description,
                           void* dummy) {
  return VxSimFt_GetDeviceInfo(handle, type, id, serial, description, dummy);
}
FT_EXPORT FT_GetStatus(FT_HANDLE handle, FT_ULONG* rx, FT_ULONG* tx, FT_ULONG* events) {
  return VxSimFt_GetStatus(handle, rx, tx, events);
}
FT_EXPORT FT_GetQueueStatus(FT_HANDLE handle, FT_ULONG* rx) { return VxSimFt_GetQueueStatus(handle, rx); }
FT_EXPORT FT_SetRts(FT_HANDLE handle) { return VxSimFt_Setting("FT_SetRts", handle, 0, 0, 0); }
FT_EXPORT FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits, uint8_t parity) {
  return VxSimFt_Setting("FT_SetDataCharacteristics", handle, wordLength, stopBits, parity);
}
FT_EXPORT FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xon, uint8_t xoff) {
  return VxSimFt_Setting("FT_SetFlowControl", handle, flowControl, xon, xoff);
}
FT_EXPORT FT_SetLatencyTimer(FT_HANDLE handle, uint8_t latency) {
  return VxSimFt_Setting("FT_SetLatencyTimer", handle, latency, 0, 0);
}
FT_EXPORT FT_CreateDeviceInfoList(FT_ULONG* count) { return VxSimFt_CreateDeviceInfoList(count); }
FT_EXPORT FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, FT_ULONG* count) {
  return VxSimFt_GetDeviceInfoList(nodes, count);
}
FT_EXPORT FT_OpenEx(void* arg1, FT_ULONG flags, FT_HANDLE* handle) { return VxSimFt_OpenEx(arg1, flags, handle); }
#ifndef VXSIM_WITHOUT_RESCAN
FT_EXPORT FT_Rescan(void) { return VxSimFt_Rescan(); }
#endif
