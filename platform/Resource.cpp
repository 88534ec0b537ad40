#include "platform/Resource.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstring>
#include <mutex>
#include <string>
#endif

#ifdef _WIN32

bool LoadApplicationResource(const char* name, const char* type, std::vector<std::uint8_t>& data) {
  HRSRC info = FindResourceA(nullptr, name, type);
  if (info == nullptr) return false;
  const DWORD size = SizeofResource(nullptr, info);
  HGLOBAL loaded = LoadResource(nullptr, info);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr || size == 0) return false;
  const auto* begin = static_cast<const std::uint8_t*>(bytes);
  data.assign(begin, begin + size);
  return true;
}

#else

namespace {

struct Entry {
  std::string name, type;
  const std::uint8_t* data;
  std::size_t size;
};

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}
std::vector<Entry>& Registry() {
  static std::vector<Entry> entries;
  return entries;
}

}  // namespace

void RegisterEmbeddedResource(const char* name, const char* type, const std::uint8_t* data, std::size_t size) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry().push_back({name, type, data, size});
}

void ClearEmbeddedResources() {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry().clear();
}

bool LoadApplicationResource(const char* name, const char* type, std::vector<std::uint8_t>& data) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  for (const Entry& e : Registry()) {
    if (e.name == name && e.type == type) {
      if (e.size == 0) return false;
      data.assign(e.data, e.data + e.size);
      return true;
    }
  }
  return false;
}

#endif
