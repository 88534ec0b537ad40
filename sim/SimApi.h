#pragma once

// Control interface of the simulated Velmar devices (the vxsim library that
// the simulated ftd2xx and VXUSB libraries share). Plain C functions with the
// C calling convention, so that any program can reach them: tests link the
// library, other programs may GetProcAddress / dlsym them by these names.
// Every function is safe to call from any thread.

#include <stdint.h>

#if defined(_WIN32)
#if defined(VXSIM_BUILDING)
#define VXSIM_API __attribute__((dllexport))
#else
#define VXSIM_API __attribute__((dllimport))
#endif
#else
#define VXSIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Which driver library a call or a device belongs to.
enum { VXSIM_FTDI = 0, VXSIM_VXUSB = 1 };

// Removes every device, event, fault and transcript entry and goes back to the
// real clock. The notification callback stays installed.
VXSIM_API void VxSim_Reset(void);

// Adds what a scenario text describes (format in sim/README.md) to the current
// state. Returns 0, or the number of the first bad line with a message in
// `error` (which may be null).
VXSIM_API int VxSim_LoadScenario(const char* text, char* error, uint32_t errorSize);
VXSIM_API int VxSim_LoadScenarioFile(const char* path, char* error, uint32_t errorSize);

VXSIM_API int VxSim_DeviceCount(void);

// The clock every simulated device runs on. A virtual clock stands still until
// somebody sleeps on it (VxSim_ClockSleep, or a waiting driver call), so that
// time-outs cost no real time; the real clock is the system's.
VXSIM_API void VxSim_UseVirtualClock(uint32_t startTick);
VXSIM_API void VxSim_UseRealClock(void);
VXSIM_API uint32_t VxSim_ClockNow(void);
VXSIM_API void VxSim_ClockSleep(uint32_t ms);

// Takes a device off the bus or puts it back (as a new plug: handles of the
// old one are dead). Both raise the device-change notification.
VXSIM_API int VxSim_Unplug(int device);
VXSIM_API int VxSim_Plug(int device);

// Called after every plug and unplug, from the thread that caused it or the
// simulator's timer thread, never while the simulator holds its lock. On
// Windows the process's top-level windows are also posted WM_DEVICECHANGE
// with DBT_DEVNODES_CHANGED.
typedef void (*VxSimNotify)(void* context, int device, int plugged);
VXSIM_API void VxSim_SetNotify(VxSimNotify callback, void* context);

// Bytes placed in the device's receive queue `delay` ms from now, as if the
// device had sent them.
VXSIM_API int VxSim_QueueAnswer(int device, const void* bytes, uint32_t count, uint32_t delay);

// What a device is doing.
typedef struct VxSimDeviceState {
  int32_t OnBus;
  int32_t BootLoader;
  int32_t Open;
  int32_t Library;
  uint32_t Requests;      // framed requests carried out
  uint32_t BadRequests;   // framed requests dropped for their framing or checksum
  uint32_t FinishCode;    // code of the last cmWriteDone / cmWriteAborted, 0 if none
  uint32_t QueuedBytes;   // bytes in the receive queue, due or not
  uint32_t FlashSize;
  uint32_t Plugs;         // times plugged in, counting the first
  uint32_t RefusedRequests;  // framed requests answered with a refusal (129 or 132)
} VxSimDeviceState;
VXSIM_API int VxSim_GetDeviceState(int device, VxSimDeviceState* state);

// Copies flash contents; returns the number of bytes copied.
VXSIM_API uint32_t VxSim_ReadFlash(int device, uint32_t offset, void* buffer, uint32_t count);

// The device's own tables, for tests that hold the updater's against them.
// VxSim_KnownProcessor stores the identifier of known processor `index` and
// returns 0, or -1 past the last one. VxSim_SectorMap gives the sector map a
// device with this processor identifier and boot loader version text (for
// example "VXBL-1.04TR") has: it fills at most `capacity` sectors and returns
// the number of sectors of the map. VxSim_Checksum is the packet checksum as
// the boot loader computes it.
typedef struct VxSimSector {
  uint32_t Offset;
  uint32_t Size;
} VxSimSector;
VXSIM_API int VxSim_KnownProcessor(uint32_t index, uint32_t* processorId);
VXSIM_API uint32_t VxSim_SectorMap(uint32_t processorId, const char* loaderVersion, VxSimSector* sectors,
                                   uint32_t capacity);
VXSIM_API uint16_t VxSim_Checksum(const void* bytes, uint32_t count);

// The transcript: one entry per driver call, in call order.
typedef struct VxSimCall {
  uint32_t Tick;          // clock at the call's start
  uint32_t EndTick;       // clock at its return
  uint64_t Micros;        // real microseconds since the simulator started, at the start
  int32_t Library;        // VXSIM_FTDI or VXSIM_VXUSB
  int32_t Device;         // device index, -1 when the call reached none
  char Function[32];      // the entry point's name, for example "FT_Write"
  uint32_t Args[4];       // integer arguments, by entry point (README)
  int32_t Result;         // the value returned to the caller
  uint32_t DataLength;    // bytes the host wrote, or received
} VxSimCall;
VXSIM_API void VxSim_EnableTranscript(int on);
VXSIM_API uint32_t VxSim_TranscriptCount(void);
// Fills `call` and copies at most `capacity` of its data bytes; returns 0, or
// -1 for an index past the end.
VXSIM_API int VxSim_GetCall(uint32_t index, VxSimCall* call, void* data, uint32_t capacity);
VXSIM_API void VxSim_ClearTranscript(void);
VXSIM_API int VxSim_SaveTranscript(const char* path);

#ifdef __cplusplus
}
#endif
