#pragma once

// The driver interfaces as the simulated libraries present them, written from
// the public D2XX documentation and from what the updater expects of the
// maker's library. Deliberately not shared with the updater's own
// declarations, so that a mistake there shows up against these.

#include <stdint.h>

#include "platform/CallingConvention.h"
#include "sim/SimApi.h"

typedef uint32_t FT_STATUS;  // ULONG
typedef void* FT_HANDLE;
typedef uint32_t FT_ULONG;

inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

inline constexpr FT_ULONG FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr FT_ULONG FT_OPEN_BY_DESCRIPTION = 2;
inline constexpr FT_ULONG FT_LIST_NUMBER_ONLY = 0x80000000u;
inline constexpr FT_ULONG FT_FLAGS_OPENED = 1;
inline constexpr FT_ULONG FT_DEVICE_232R = 5;

typedef struct {
  FT_ULONG Flags;
  FT_ULONG Type;
  FT_ULONG ID;
  FT_ULONG LocId;
  char SerialNumber[16];
  char Description[64];
  FT_HANDLE ftHandle;
} FT_DEVICE_LIST_INFO_NODE;

// Result codes of the simulated maker's library.
inline constexpr int32_t RQ_OK = 0;
inline constexpr int32_t RQ_ERROR_PARAMETER = 1;
inline constexpr int32_t RQ_ERROR_NOT_FOUND = 2;
inline constexpr int32_t RQ_ERROR_BUSY = 3;
inline constexpr int32_t RQ_ERROR_IO = 4;
inline constexpr int32_t RQ_ERROR_HANDLE = 5;
inline constexpr int32_t RQ_TIMEOUT = 6;
inline constexpr uint32_t kRqRecordSize = 25;
// What the model answers a D2XX write that a `write_fault` fault hits: the
// front-end library then faults inside FT_Write, as a broken driver would.
inline constexpr uint32_t kVxSimWriteFault = 0x5F5F0001;
inline constexpr uint32_t kRqSerialSize = 21;

// The model's side of every driver entry point, exported by vxsim with the C
// calling convention; the two front-end libraries forward to them.
#ifdef __cplusplus
extern "C" {
#endif
VXSIM_API FT_STATUS VxSimFt_ListDevices(void* arg1, void* arg2, FT_ULONG flags);
VXSIM_API FT_STATUS VxSimFt_Open(int deviceNumber, FT_HANDLE* handle);
VXSIM_API FT_STATUS VxSimFt_OpenEx(void* arg1, FT_ULONG flags, FT_HANDLE* handle);
VXSIM_API FT_STATUS VxSimFt_Close(FT_HANDLE handle);
VXSIM_API FT_STATUS VxSimFt_ResetDevice(FT_HANDLE handle);
VXSIM_API FT_STATUS VxSimFt_Purge(FT_HANDLE handle, FT_ULONG mask);
VXSIM_API FT_STATUS VxSimFt_Read(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* returned);
VXSIM_API FT_STATUS VxSimFt_Write(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* written);
VXSIM_API FT_STATUS VxSimFt_Setting(const char* function, FT_HANDLE handle, FT_ULONG a, FT_ULONG b, FT_ULONG c);
VXSIM_API FT_STATUS VxSimFt_SetTimeouts(FT_HANDLE handle, FT_ULONG readTimeout, FT_ULONG writeTimeout);
VXSIM_API FT_STATUS VxSimFt_GetDeviceInfo(FT_HANDLE handle, FT_ULONG* type, FT_ULONG* id, char* serial,
                                          char* description, void* dummy);
VXSIM_API FT_STATUS VxSimFt_GetStatus(FT_HANDLE handle, FT_ULONG* rx, FT_ULONG* tx, FT_ULONG* events);
VXSIM_API FT_STATUS VxSimFt_GetQueueStatus(FT_HANDLE handle, FT_ULONG* rx);
VXSIM_API FT_STATUS VxSimFt_CreateDeviceInfoList(FT_ULONG* count);
VXSIM_API FT_STATUS VxSimFt_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, FT_ULONG* count);
VXSIM_API FT_STATUS VxSimFt_Rescan(void);

VXSIM_API int32_t VxSimRq_GetListDevices(uint16_t selector, void* records, uint32_t* count);
VXSIM_API int32_t VxSimRq_OpenDevice(uint16_t deviceCode, const char* serial, void** handle);
VXSIM_API int32_t VxSimRq_CloseDevice(void** handle);
VXSIM_API int32_t VxSimRq_ReadNotTimeOut(void* handle, void* buffer, uint32_t maxCount, uint32_t* countRead);
VXSIM_API int32_t VxSimRq_Write(void* handle, const void* data, uint32_t count, uint32_t* written);
VXSIM_API int32_t VxSimRq_Purge(void* handle);
VXSIM_API int32_t VxSimRq_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t writeTimeout);
#ifdef __cplusplus
}
#endif
