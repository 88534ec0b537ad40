#pragma once

#include <string>
#include <vector>

// The command line of the running process.

// The arguments after the executable's own path, as 8-bit text (converted
// from the UTF-16 command line with Windows-1251 on Windows).
[[nodiscard]] std::vector<std::string> CommandLineArguments();
// The same, with `exact[i]` false where Windows-1251 had no place for some
// letter of argument i (it became "?").
[[nodiscard]] std::vector<std::string> CommandLineArguments(std::vector<bool>& exact);

// Elsewhere than Windows the arguments come from main(); tests set them too.
void SetCommandLineArguments(std::vector<std::string> arguments);
