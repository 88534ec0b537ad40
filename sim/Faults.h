#pragma once

// The faults a scenario schedules on a device's requests and answers.

#include <cstdint>
#include <vector>

#include "sim/ModelState.h"

namespace vxsim {

// The faults that act on this request (or, with `writes`, on this driver
// write), counted off their schedule.
std::vector<TFault> TakeFaults(TDevice& d, std::uint16_t code, bool writes);

// Queues an answer, changed or held back by the faults of its request.
void Deliver(TModel& m, int index, std::vector<std::uint8_t> answer, const std::vector<TFault>& faults, bool framed);

// Carries out an unplug fault; true when the device left the bus.
bool UnplugFault(TModel& m, int index, const std::vector<TFault>& faults);

// Carries out a list drop-out fault: the request is still carried out and
// answered.
void ListDropoutFault(TModel& m, int index, const std::vector<TFault>& faults);

}  // namespace vxsim
