// Crashes provoked on purpose, to try the crash reporter: development builds
// only (the entry point installs them when VX_CRASH_TEST is set).
#include <windows.h>

#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "crash/ReportText.h"
#include "crash/win32/CrashHandler.h"
#include "platform/CrashTestPoint.h"

namespace {

TCrashTest chosen;
std::atomic<bool> fired{false};

// Kept out of the optimiser's sight, so that each fault really happens where
// it is written.
int* volatile nullTarget = nullptr;
volatile int zero = 0;
volatile int dividend = 7;  // GCC turns 1 / x into compares: no division to fault
volatile int sink = 0;

[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  int (*volatile next)(int) = Recurse;
  return next(depth + 1) + frame[0];
}

[[gnu::noinline]] void Throw() { throw std::runtime_error("проверочное исключение"); }
void (*volatile thrower)() = Throw;
// Nothing may leave this function: the exception reaches std::terminate.
[[gnu::noinline]] void ThrowThroughNoexcept() noexcept { thrower(); }

}  // namespace

// A call of a pure virtual function: while the base is being built its own
// (pure) Work is the one called. The classes have external linkage: for
// classes only this file can see GCC knows every override and calls the
// derived one directly, so that nothing would happen.
class TPureCallBase {
public:
  TPureCallBase();
  virtual ~TPureCallBase() = default;
  virtual void Work() = 0;
};
class TPureCallDerived : public TPureCallBase {
public:
  void Work() override;
};
void TPureCallDerived::Work() {}

namespace {
void (*volatile callWork)(TPureCallBase*) = [](TPureCallBase* b) { b->Work(); };
}  // namespace

TPureCallBase::TPureCallBase() { callWork(this); }

namespace {

void InvalidParameter() {
  // A parameter the C runtime checks: the universal runtime reports it to the
  // installed handler. The older msvcrt.dll only returns an error; it is then
  // reported the way a checking runtime reports it.
  FILE* volatile none = nullptr;
  // The null stream is the point: the runtime must refuse it.
  // cppcheck-suppress nullPointer
  sink = std::fclose(none);
  if (_invalid_parameter_handler handler = _get_invalid_parameter_handler())
    handler(L"stream != NULL", L"fclose", nullptr, 0, 0);
}

void Provoke(TCrashTestKind kind) {
  switch (kind) {
    case TCrashTestKind::AccessViolation: *nullTarget = 1; break;
    case TCrashTestKind::CppException: ThrowThroughNoexcept(); break;
    case TCrashTestKind::StackOverflow: sink = Recurse(0); break;
    case TCrashTestKind::Terminate: std::terminate();
    case TCrashTestKind::PureCall: {
      const TPureCallDerived d;
      break;
    }
    case TCrashTestKind::InvalidParameter: InvalidParameter(); break;
    case TCrashTestKind::DivideByZero: sink = dividend / zero; break;
    case TCrashTestKind::IllegalInstruction: __builtin_trap();
    case TCrashTestKind::None: break;
  }
}

void Hook(const char* where) {
  if (std::strcmp(where, chosen.Where) != 0 || fired.exchange(true)) return;
  Provoke(chosen.Kind);
}

}  // namespace

void InstallCrashTests(const char* setting) {
  if (setting == nullptr || *setting == '\0') return;
  if (!ParseCrashTest(setting, chosen)) return;
  SetCrashReportTrouble(chosen.Trouble);
  // "window": on the window thread at the end of the first discovery run,
  // with the devices listed; "flash": in a flashing thread at its first sector.
  InstallCrashTestHook(Hook);
}
