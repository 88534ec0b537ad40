#pragma once

// Bytes between host and device, as both libraries' write, read and time-out
// calls move them: the device's input, which its boot loader or firmware
// reads, and its receive queue of answers with the tick each is due.

#include <cstdint>
#include <vector>

#include "sim/Transcript.h"

namespace vxsim {

// Queues bytes the device sends; an answer never overtakes one sent before it.
void QueueBytes(TDevice& d, std::uint32_t due, std::vector<std::uint8_t> bytes);

// Bytes of the receive queue that are due.
std::uint32_t Available(const TDevice& d, std::uint32_t now);

// Waits on the simulator's clock until enough queue bytes are due (the whole
// `maximum` with `whole`, else any) or the read time-out passes, then takes
// what is due, at most `maximum`. Returns the driver's status.
int WaitAndTake(TCallRecord& rec, void* handle, std::uint8_t* buffer, std::uint32_t maximum, bool ftdi, bool whole,
                std::uint32_t* got);

// One driver write: the bytes reach the device's input at once.
int WriteBytes(int library, const char* name, void* handle, const void* data, std::uint32_t count,
               std::uint32_t* written);

int SetTimeouts(int library, const char* name, void* handle, std::uint32_t readTimeout, std::uint32_t writeTimeout);

}  // namespace vxsim
