#include "platform/CrashTestPoint.h"

#include <atomic>

namespace {
std::atomic<TCrashTestHook> crashTestHook{nullptr};
}

void InstallCrashTestHook(TCrashTestHook hook) { crashTestHook.store(hook); }

void CrashTestPoint(const char* where) {
  if (const TCrashTestHook hook = crashTestHook.load()) hook(where);
}
