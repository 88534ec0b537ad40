#pragma once

#include <functional>
#include <string>

#include "records/FirmwareBlock.h"
#include "records/FirmwareVersion.h"
#include "records/OperationLog.h"

// Where images come from: by default the image embedded in the executable
// (resource "FRMV" of type "RC_DATA"), in external firmware mode the file the
// user names. The mode is fixed for the run.
class TFirmwareSources {
public:
  bool FExternalFirmware = false;
  // Result of the latest load from the embedded image.
  bool FResourceFirmwareLoaded = false;

  // Loads the image of the current source into `blocks` (emptied first) and
  // `version`. On success `shown` gets the version to display and three info
  // lines are logged; on failure an error line. The block-size refusal
  // (Exception) passes to the caller.
  [[nodiscard]] bool LoadFirmware(const std::string& fileName, TFirmwareBlockList& blocks, TFirmwareVersion& version,
                                  TOperationLog& log, const std::function<void(const TFirmwareVersion&)>& shown);

  // Each does nothing and returns false when the mode is not its own.
  [[nodiscard]] bool LoadFirmwareFromFile(const std::string& fileName, TFirmwareBlockList& blocks,
                                          TFirmwareVersion& version, TOperationLog& log);
  [[nodiscard]] bool LoadFirmwareFromResource(TFirmwareBlockList& blocks, TFirmwareVersion& version,
                                              TOperationLog& log);
};
