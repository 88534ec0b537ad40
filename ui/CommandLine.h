#pragma once

#include <string>
#include <vector>

// What the command line chooses: external firmware mode, and the image file
// named on it (lower case), if any.
struct TCommandLineChoice {
  bool ExternalFirmware = false;
  std::string FirmwareFile;  // empty when no existing ".eraw" file was named
};

// `arguments` are the arguments after the program's own path, as 8-bit text.
// "externfirmware" (after one optional "/" or "-", any letter case) and the
// path of an existing ".eraw" file switch external firmware mode on; the last
// such path names the file. Everything else is ignored.
[[nodiscard]] TCommandLineChoice ReadCommandLine(const std::vector<std::string>& arguments);
