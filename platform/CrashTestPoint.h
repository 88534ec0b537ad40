#pragma once

// Places where development builds can be made to crash on purpose, to try the
// crash reporter. Does nothing unless a hook was installed (release builds
// never install one).
using TCrashTestHook = void (*)(const char* where);
void InstallCrashTestHook(TCrashTestHook hook);
void CrashTestPoint(const char* where);
