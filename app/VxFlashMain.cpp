// The console flasher: the updater's core behind a command line.
#include <exception>
#include <string>
#include <vector>

#include "console/Arguments.h"
#include "console/ConsoleFlasher.h"
#include "console/ConsoleOutput.h"
#include "platform/CodePage.h"
#include "platform/ConsoleHost.h"
#include "platform/Process.h"

int main(int argc, char** argv) {
#ifndef _WIN32
  SetCommandLineArguments(std::vector<std::string>(argv + 1, argv + argc));
#else
  (void)argc;
  (void)argv;
#endif
  TConsoleOptions options;
  std::string error;
  std::vector<bool> exact;
  const std::vector<std::string> arguments = CommandLineArguments(exact);
  if (!ParseConsoleArguments(arguments, options, error, exact)) {
    (void)WriteStdText(TStdStream::Error, "vxflash: " + Cp1251ToUtf8(error) + "\n");
    return ceUsage;
  }
  if (options.Command == TConsoleCommand::Help) {
    (void)WriteStdText(TStdStream::Output, ConsoleUsage());
    return ceDone;
  }
  try {
    TConsoleOutput output(options.Json);
    TConsoleFlasher flasher(options, output);
    InstallInterruptHandler(&flasher.FInterrupted);
    const int status = flasher.Run();
    InstallInterruptHandler(nullptr);
    return status;
  } catch (const std::exception& e) {
    (void)WriteStdText(TStdStream::Error, "vxflash: unexpected error: " + Cp1251ToUtf8(e.what()) + "\n");
  } catch (...) {
    (void)WriteStdText(TStdStream::Error, "vxflash: unexpected error\n");
  }
  return ceFailed;
}
