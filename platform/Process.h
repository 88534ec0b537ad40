#pragma once

#include <string>
#include <vector>

// Facts about the running process.

// Full path of the running executable (8-bit, Windows-1251 on Windows).
[[nodiscard]] std::string ExecutablePath();

// Directory of the running executable with its trailing separator ("\" on
// Windows, "/" elsewhere).
[[nodiscard]] std::string ExecutableDirectory();

// The arguments after the executable's own path, as 8-bit text (converted
// from the UTF-16 command line with Windows-1251 on Windows).
[[nodiscard]] std::vector<std::string> CommandLineArguments();

// Elsewhere than Windows the arguments come from main(); tests set them too.
void SetCommandLineArguments(std::vector<std::string> arguments);
