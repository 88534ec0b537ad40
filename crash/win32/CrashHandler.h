#pragma once

#include <windows.h>

#include <cstdint>

#include "crash/ReportText.h"

class TReportBuffer;

// Catches what nothing else handles on every thread of the process (processor
// exceptions through the unhandled-exception filter, std::terminate, calls of
// pure virtual functions, parameters the C runtime refuses), writes a report
// into Logs\crash-YYYYMMDD-HHMMSS\ next to the executable, or into the same
// in the user's local application data when that cannot be written
// (crash.dmp, report.txt, window.bmp), shows what happened, which flashes it
// cut short and where the report is (in a dialog, or as the program that
// installs it chooses), and ends the process with the crash's code as exit
// code.
//
// The filter itself only records the crash and wakes two threads that were
// started with stacks of their own at installation (a stack overflow leaves
// the crashed thread none to work with): the reporter writes the files, the
// guard bounds that, shows the dialog and ends the process. report.txt is
// written section by section; a fault or a stall of the reporter costs only
// the section it was making, which the report names. Every buffer is
// reserved at installation too.
struct TCrashSetup {
  const char* ProgramVersion = "";  // the updater's version and build
  const char* BuildKind = "";
  const char* DialogCaption = "";
  // Both run on the reporter thread while the crashed thread is stopped; they
  // must not wait for any lock or for the window thread. Either may be null.
  HWND (*MainWindow)() = nullptr;
  void (*DescribeDevices)(TReportBuffer& out) = nullptr;
  // Set for a program without a window (a bench runs it unattended): called
  // instead of the dialog (on the thread that bounds the report, or the
  // crashed one when that could not be started), with the report's folder (null when no report could be written), the crash's
  // code and the devices whose flash it cut short. It must use no heap: the
  // crashed thread may hold its lock.
  void (*Announce)(const wchar_t* reportFolder, std::uint32_t code, const std::int32_t* unfinished,
                   int unfinishedCount) = nullptr;
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

// Development builds: makes the reporter itself fault or stall (see
// TReportTrouble), with a stall's and the dialog's bounds cut to 3 s.
void SetCrashReportTrouble(TReportTrouble trouble);
