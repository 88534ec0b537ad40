#pragma once

// Device handles as both libraries hand them out: small numbers dressed as
// pointers, dead once their device leaves the bus.

#include <cstdint>

#include "sim/Transcript.h"

namespace vxsim {

enum class THandleState { Invalid, Dead, Live };

void* HandleValue(std::uint32_t id);
// The small number of a handle as the transcript shows it; 0 for none.
std::uint32_t HandleId(void* handle);
THandleState Resolve(TModel& m, void* handle, int* device);

// Opens device `index` if it can be; the driver's result code by library.
int OpenDevice(TModel& m, int index, void** handle);
void CloseDeviceHandle(TModel& m, void* handle);

// The device behind a live handle; null with the library's error code.
TDevice* LiveDevice(TModel& m, TCallRecord& rec, void* handle, int library, int* error);

}  // namespace vxsim
