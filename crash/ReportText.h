#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/LocalTime.h"
#include "records/DevEntry.h"
#include "platform/ThreadTags.h"

class TReportBuffer;

// The parts of a crash report that do not depend on Windows.

// Codes of the crashes that are not processor exceptions; they are also the
// exit code of a process that ends with such a crash.
inline constexpr std::uint32_t kCrashTerminate = 0xE0565801;         // std::terminate
inline constexpr std::uint32_t kCrashPureCall = 0xE0565802;          // call of a pure virtual function
inline constexpr std::uint32_t kCrashInvalidParameter = 0xE0565803;  // C runtime refused a parameter
// The exit code of a crash whose own code is one of 0 to 3.
inline constexpr std::uint32_t kCrashLowCode = 0xE0565800;

// The exit code of a process that a crash ends: the crash's code, but never
// one of 0 to 3, which the console flasher's callers read as its results.
[[nodiscard]] std::uint32_t CrashExitCode(std::uint32_t code);

// "crash-YYYYMMDD-HHMMSS" for `now`, with "-N" appended for N > 1 (a second
// report within the same second). False when it does not fit.
bool ReportFolderName(const TLocalTime& now, int attempt, char* out, std::size_t size);

// The name of an exception code ("EXCEPTION_ACCESS_VIOLATION"), or null when
// the code is not one we know.
[[nodiscard]] const char* ExceptionCodeName(std::uint32_t code);

// A Russian description of what happened, for the dialog and the report.
[[nodiscard]] const char* ExceptionCodeDescription(std::uint32_t code);

// "name+0x1a2b" for an address inside a module, "0x..." when outside of all.
void AppendCodeAddress(TReportBuffer& out, std::uint64_t address, const char* moduleName, std::uint64_t moduleBase);

// The access of an access violation: information[0] is 0 for a read, 1 for a
// write, 8 for execution; information[1] the address.
void AppendAccessViolation(TReportBuffer& out, std::uint64_t kind, std::uint64_t address);

// One line naming the thread: its number, its kind and, for a flash, the
// device. `tag` null when the thread carries no tag.
void AppendThreadDescription(TReportBuffer& out, std::uint64_t thread, const TThreadTagInfo* tag);

// One line per device of a front end's list, read only when no other thread
// holds DeviceListLock: the crashed thread may be the one holding it.
void AppendDeviceList(TReportBuffer& out, const TDeviceList& devices);

// The crashes a development build can provoke: "<kind>[:<where>[:<trouble>]]".
enum class TCrashTestKind {
  None,
  AccessViolation,   // av
  CppException,      // cpp: a C++ exception nothing catches
  StackOverflow,     // stack
  Terminate,         // terminate
  PureCall,          // purecall
  InvalidParameter,  // invalidparam
  DivideByZero,      // divzero
  IllegalInstruction // illegal
};

// A trouble of the reporter's own, to try its bounds: "<kind>:<where>:<trouble>".
enum class TReportTrouble {
  None,
  SectionFault,  // report-fault: an access violation while the devices are described
  SectionHang,   // report-hang: the devices' section never ends
  DialogHang,    // dialog-hang: the dialog never appears
};

struct TCrashTest {
  TCrashTestKind Kind = TCrashTestKind::None;
  char Where[16] = "window";  // "window" (the default) or "flash"
  TReportTrouble Trouble = TReportTrouble::None;
};

// False, with Kind None, for a text that names no known kind, place or trouble.
bool ParseCrashTest(const char* text, TCrashTest& test);
