#include "platform/DynamicLibrary.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <string>
#endif

#ifdef _WIN32

TModuleHandle LoadDynamicLibrary(const char* fileName) {
  return LoadLibraryExA(fileName, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void* FindLibrarySymbol(TModuleHandle module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void FreeDynamicLibrary(TModuleHandle module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

#else

TModuleHandle LoadDynamicLibrary(const char* fileName) {
  if (std::strchr(fileName, '/') == nullptr) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
      std::string path(self, static_cast<std::size_t>(n));
      path.erase(path.rfind('/') + 1);
      path += fileName;
      if (void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    }
  }
  return dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
}

void* FindLibrarySymbol(TModuleHandle module, const char* name) { return dlsym(module, name); }

void FreeDynamicLibrary(TModuleHandle module) {
  if (module != nullptr) dlclose(module);
}

#endif
