#pragma once

#include "sim/ModelState.h"

namespace vxsim {

// The normal firmware: answers the two text commands found at the end of the
// device's input.
void ProcessText(TModel& m, int index);

}  // namespace vxsim
