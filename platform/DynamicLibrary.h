#pragma once

// Run-time loading of shared libraries. On Windows a library is searched for
// in the application's directory and System32 only (never the current
// directory or PATH); elsewhere a name with a "/" is taken as a path and a
// bare name is looked up next to the executable, then by the system's rules.
using TModuleHandle = void*;

[[nodiscard]] TModuleHandle LoadDynamicLibrary(const char* fileName);
[[nodiscard]] void* FindLibrarySymbol(TModuleHandle module, const char* name);
void FreeDynamicLibrary(TModuleHandle module);
