#pragma once

#include <windows.h>

#include <cstdint>

class TReportBuffer;

// Catches what nothing else handles on every thread of the process (processor
// exceptions through the unhandled-exception filter, std::terminate, calls of
// pure virtual functions, parameters the C runtime refuses), writes a report
// into Logs\crash-YYYYMMDD-HHMMSS\ next to the executable (crash.dmp,
// report.txt, window.bmp), shows what happened and where the report is, and
// ends the process with the crash's code as exit code.
//
// The filter itself only records the crash and wakes a reporter thread that
// was started with a stack of its own at installation (a stack overflow
// leaves the crashed thread none to work with); every buffer is reserved
// then too.
struct TCrashSetup {
  const char* ProgramVersion = "";  // the updater's version and build
  const char* BuildKind = "";
  const char* DialogCaption = "";
  // Both run on the reporter thread while the crashed thread is stopped; they
  // must not wait for any lock or for the window thread. Either may be null.
  HWND (*MainWindow)() = nullptr;
  void (*DescribeDevices)(TReportBuffer& out) = nullptr;
};

// Once, on the window thread, before other threads start. False when the
// reporter thread cannot be started (crashes are then reported from the
// crashed thread itself, a stack overflow not at all).
bool InstallCrashHandler(const TCrashSetup& setup);

// Reports a crash that is not a processor exception (code kCrash...) from the
// calling thread and ends the process.
[[noreturn]] void ReportSoftwareCrash(std::uint32_t code, const char* detail);

// Provokes the crash VX_CRASH_TEST names, at the place it names (development
// builds only).
void InstallCrashTests(const char* setting);
