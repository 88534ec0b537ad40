#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TConsoleCommand { Help, List, Flash };

// What the console flasher's command line asks for.
struct TConsoleOptions {
  TConsoleCommand Command = TConsoleCommand::Help;
  bool Json = false;
  std::string ImageFile;          // empty: the embedded image
  bool All = false;
  std::vector<std::int32_t> Serials;
  int Expect = -1;                // -1: not given
  std::uint32_t TimeoutSeconds = 60;
  bool SkipSame = false;
};

// The arguments after the program's own path. Returns false with a message
// for the user in `error` on anything it does not understand; the options are
// only meaningful when it returns true.
[[nodiscard]] bool ParseConsoleArguments(const std::vector<std::string>& arguments, TConsoleOptions& options,
                                         std::string& error);

// The usage text of --help.
[[nodiscard]] const char* ConsoleUsage();
