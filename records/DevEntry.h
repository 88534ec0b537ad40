#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/CriticalSection.h"
#include "records/FirmwareVersion.h"

// The device's panel (ui/) lives in a layer above this one; the flashing
// thread working on it is known here as a thread only.
class TFWLoaderDevGroup;
class TThread;

enum TLinkBackend : std::int32_t {
  lbFtdi = 0,   // the FTDI D2XX library
  lbVxUsb = 1,  // the device maker's USB library
};

inline constexpr std::uint16_t kFtdiDeviceCode = 0xFFFF;

// The library's name as the record of flashes and the console's JSON give it.
[[nodiscard]] inline const char* BackendName(TLinkBackend backend) { return backend == lbFtdi ? "ftd2xx" : "VXUSB"; }

// Deletes a panel. The window installs it once, before it gives an entry its
// first panel; records/ cannot see the panel's type.
using TPanelDeleter = void (*)(TFWLoaderDevGroup* panel);
void InstallPanelDeleter(TPanelDeleter deleter);

// One connected device, keyed by its numeric serial number. Not copyable: it
// owns its panel.
class TDevEntry {
public:
  // `serialText` is the zero-terminated serial text of a driver list entry.
  TDevEntry(const char* serialText, std::uint16_t deviceCode, TLinkBackend backend);
  // Deletes the panel. Does not close the link: callers LinkClose first.
  ~TDevEntry();
  TDevEntry(const TDevEntry&) = delete;
  TDevEntry& operator=(const TDevEntry&) = delete;

  std::int32_t Serial;        // -1 when the text is not a decimal number that fits
  std::uint16_t DeviceCode;   // the maker's library's code; kFtdiDeviceCode for D2XX
  std::uint32_t ProcessorId = 0;
  bool InBootLoader = false;
  bool RestartRequested = false;
  // Set by the discovery thread under DeviceListLock, read by the window
  // thread also outside it; never cleared.
  std::atomic<bool> Vanished{false};
  TFWLoaderDevGroup* Panel = nullptr;     // owned
  // Written by the window thread, read by the discovery thread under
  // DeviceListLock while the window may be starting a flash: atomic.
  std::atomic<TThread*> WriteThread{nullptr};  // the flashing thread; not owned
  TFirmwareVersion FirmwareVersion;
  TFirmwareVersion LoaderVersion;
  TLinkBackend Backend;
  void* FtHandle = nullptr;   // D2XX handle while the link is open
  void* VxHandle = nullptr;   // maker's library handle while the link is open
};

// A serial text read as a decimal 32-bit signed number (an optional sign, then
// digits only, leading zeros allowed); -1 for anything else or out of range.
[[nodiscard]] std::int32_t SerialFromText(const char* text);

// The window's device list and the discovery thread's list of new devices.
// The list owns its entries.
using TDeviceList = std::vector<std::unique_ptr<TDevEntry>>;

// Guards additions to and removals from the window's device list, and the
// discovery thread's matching step. One per process, alive for all of it
// (a static object, so it exists before the window and after it).
extern TCriticalSection DeviceListLock;

// The first entry, in list order, with this serial; null if none. Takes no lock.
[[nodiscard]] TDevEntry* FindDevice(const TDeviceList& list, std::int32_t serial);

// Whether two entries stand for the same device: the same serial on the same
// driver library. A device of each library may carry the same serial.
[[nodiscard]] bool SameDevice(const TDevEntry& a, const TDevEntry& b);
// The first entry, in list order, that stands for the same device as `entry`;
// null if none. Takes no lock.
[[nodiscard]] TDevEntry* FindSameDevice(const TDeviceList& list, const TDevEntry& entry);

// Destroys this very entry and takes it out of the list; does nothing if the
// list does not hold it. Takes no lock.
void RemoveDevice(TDeviceList& list, const TDevEntry* entry);
