#include "records/DevEntry.h"

#include <atomic>
#include <cassert>
#include <limits>

TCriticalSection DeviceListLock;

namespace {
std::atomic<TPanelDeleter> panelDeleter{nullptr};
}

void InstallPanelDeleter(TPanelDeleter deleter) { panelDeleter.store(deleter); }

std::int32_t SerialFromText(const char* text) {
  if (text == nullptr) return -1;
  const char* p = text;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p == '\0') return -1;
  std::int64_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return -1;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max() || value < std::numeric_limits<std::int32_t>::min())
    return -1;
  return static_cast<std::int32_t>(value);
}

TDevEntry::TDevEntry(const char* serialText, std::uint16_t deviceCode, TLinkBackend backend)
    : Serial(SerialFromText(serialText)), DeviceCode(deviceCode), Backend(backend) {}

TDevEntry::~TDevEntry() {
  if (Panel == nullptr) return;
  const TPanelDeleter deleter = panelDeleter.load();
  assert(deleter != nullptr && "a panel was given to an entry before the window installed its deleter");
  if (deleter != nullptr) deleter(Panel);
}

TDevEntry* FindDevice(const TDeviceList& list, std::int32_t serial) {
  for (const auto& entry : list)
    if (entry->Serial == serial) return entry.get();
  return nullptr;
}

bool SameDevice(const TDevEntry& a, const TDevEntry& b) { return a.Serial == b.Serial && a.Backend == b.Backend; }

TDevEntry* FindSameDevice(const TDeviceList& list, const TDevEntry& entry) {
  for (const auto& listed : list)
    if (SameDevice(*listed, entry)) return listed.get();
  return nullptr;
}

void RemoveDevice(TDeviceList& list, const TDevEntry* entry) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->get() == entry) {
      list.erase(it);
      return;
    }
  }
}
