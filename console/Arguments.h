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

// The arguments after the program's own path, Windows-1251. Returns false
// with a message for the user in `error` on anything it does not understand;
// the options are only meaningful when it returns true. `exact[i]` false says
// that argument i held letters Windows-1251 has no place for (they became
// "?"); arguments beyond `exact` count as exact.
[[nodiscard]] bool ParseConsoleArguments(const std::vector<std::string>& arguments, TConsoleOptions& options,
                                         std::string& error, const std::vector<bool>& exact = {});

// The usage text of --help.
[[nodiscard]] const char* ConsoleUsage();
