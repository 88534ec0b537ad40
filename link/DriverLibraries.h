#pragma once

#include <atomic>
#include <cstdint>

#include "platform/CallingConvention.h"
#include "platform/DynamicLibrary.h"

// ---- FTDI D2XX (public vendor interface; only the types we pass) ----
using FT_STATUS = std::uint32_t;  // ULONG: 32 bits on Windows and in the Linux library
using FT_HANDLE = void*;
using FT_DWORD = std::uint32_t;
inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
// Bit 0 of a device-info node's Flags: the device is open (in any program).
inline constexpr FT_DWORD FT_FLAGS_OPENED = 1;

// 100 bytes on x86, 104 on x64: the handle is pointer-sized. Serial and
// description may lack their terminator.
struct FT_DEVICE_LIST_INFO_NODE {
  FT_DWORD Flags;
  FT_DWORD Type;
  FT_DWORD ID;
  FT_DWORD LocId;
  char SerialNumber[16];
  char Description[64];
  FT_HANDLE ftHandle;
};

struct TFtdiApi {
  FT_STATUS(VX_WINAPI* ListDevices)(void* arg1, void* arg2, FT_DWORD flags);
  FT_STATUS(VX_WINAPI* Open)(int deviceNumber, FT_HANDLE* handle);
  FT_STATUS(VX_WINAPI* Close)(FT_HANDLE handle);
  FT_STATUS(VX_WINAPI* ResetDevice)(FT_HANDLE handle);
  FT_STATUS(VX_WINAPI* Purge)(FT_HANDLE handle, std::uint32_t mask);
  FT_STATUS(VX_WINAPI* Read)(FT_HANDLE handle, void* buffer, FT_DWORD bytesToRead, FT_DWORD* bytesReturned);
  FT_STATUS(VX_WINAPI* Write)(FT_HANDLE handle, void* buffer, FT_DWORD bytesToWrite, FT_DWORD* bytesWritten);
  FT_STATUS(VX_WINAPI* SetDivisor)(FT_HANDLE handle, std::uint16_t divisor);
  FT_STATUS(VX_WINAPI* SetTimeouts)(FT_HANDLE handle, std::uint32_t readTimeout, std::uint32_t writeTimeout);
  FT_STATUS(VX_WINAPI* SetBaudRate)(FT_HANDLE handle, std::uint32_t baudRate);
  FT_STATUS(VX_WINAPI* GetDeviceInfo)(FT_HANDLE handle, std::uint32_t* device, FT_DWORD* id, char* serialNumber,
                                      char* description, void* dummy);
  FT_STATUS(VX_WINAPI* GetStatus)(FT_HANDLE handle, FT_DWORD* rxBytes, FT_DWORD* txBytes, FT_DWORD* eventDWord);
  FT_STATUS(VX_WINAPI* GetQueueStatus)(FT_HANDLE handle, FT_DWORD* rxBytes);
  FT_STATUS(VX_WINAPI* SetRts)(FT_HANDLE handle);
  FT_STATUS(VX_WINAPI* SetDataCharacteristics)(FT_HANDLE handle, std::uint8_t wordLength, std::uint8_t stopBits,
                                               std::uint8_t parity);
  FT_STATUS(VX_WINAPI* SetFlowControl)(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t xon,
                                       std::uint8_t xoff);
  FT_STATUS(VX_WINAPI* SetLatencyTimer)(FT_HANDLE handle, std::uint8_t latency);
  FT_STATUS(VX_WINAPI* CreateDeviceInfoList)(FT_DWORD* numDevs);
  FT_STATUS(VX_WINAPI* GetDeviceInfoList)(FT_DEVICE_LIST_INFO_NODE* dest, FT_DWORD* numDevs);
  FT_STATUS(VX_WINAPI* OpenEx)(void* arg1, FT_DWORD flags, FT_HANDLE* handle);
  FT_STATUS(VX_WINAPI* Rescan)();
};

// ---- The device maker's USB library ----
using VX_HANDLE = void*;
inline constexpr std::uint16_t kVxUsbListSelector = 0xFFFF;
inline constexpr std::size_t kVxUsbListRecordSize = 25;

struct TVxUsbApi {
  std::int32_t(VX_WINAPI* GetListDevices)(std::uint16_t selector, void* records, std::uint32_t* count);
  std::int32_t(VX_WINAPI* OpenDevice)(std::uint16_t deviceCode, const char* serial, VX_HANDLE* handle);
  std::int32_t(VX_WINAPI* CloseDevice)(VX_HANDLE* handle);
  std::int32_t(VX_WINAPI* ReadNotTimeOut)(VX_HANDLE handle, void* buffer, std::uint32_t maxCount,
                                          std::uint32_t* countRead);
  std::int32_t(VX_WINAPI* Write)(VX_HANDLE handle, const void* data, std::uint32_t count, std::uint32_t* written);
  std::int32_t(VX_WINAPI* Purge)(VX_HANDLE handle);
  std::int32_t(VX_WINAPI* SetTimeouts)(VX_HANDLE handle, std::uint32_t readTimeout, std::uint32_t writeTimeout);
};

#ifdef _WIN32
inline constexpr const char* kFtdiLibraryName = "ftd2xx.dll";
inline constexpr const char* kVxUsbLibraryName = "VXUSB.dll";
#else
inline constexpr const char* kFtdiLibraryName = "libftd2xx.so";
inline constexpr const char* kVxUsbLibraryName = "libVXUSB.so";
#endif

// Entry points of the loaded libraries. Written on the window thread before
// the library's handle is published; valid exactly while the handle is set.
extern TFtdiApi FtdiApi;
extern TVxUsbApi VxUsbApi;

// Loaded libraries, null until every entry point was found. Stored with
// release order after the table above, so a worker that sees a handle sees
// every pointer.
extern std::atomic<TModuleHandle> hFtdiLib;
extern std::atomic<TModuleHandle> hVxUsbLib;

// Load the library and resolve every entry point in table order; at the first
// missing one the library is freed again and null returned. The caller stores
// the result in hFtdiLib / hVxUsbLib.
[[nodiscard]] TModuleHandle LoadFtdiLibrary(const char* fileName = kFtdiLibraryName);
[[nodiscard]] TModuleHandle LoadVxUsbLibrary(const char* fileName = kVxUsbLibraryName);
