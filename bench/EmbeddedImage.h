#pragma once

// The embedded default image as the benchmarks flash it: one block that
// starts at the first sector of the device's range.
#include "firmware/FirmwareSource.h"
#include "records/OperationLog.h"

namespace bench {

// False when it did not load, or not as that one block.
inline bool LoadEmbeddedImage(TFirmwareBlockList& blocks, TFirmwareVersion& version) {
  TFirmwareSources sources;
  struct : TOperationLog {
    void DeviceLog(TMessageKind, int, const char*) override {}
  } quiet;
  return sources.LoadFirmwareFromResource(blocks, version, quiet) && blocks.size() == 1 && blocks[0]->Address < 0;
}

}  // namespace bench
