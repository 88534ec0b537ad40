#include "discovery/ReadVersion.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <mutex>

#include "link/DriverLibraries.h"
#include "platform/CodePage.h"
#include "platform/ThreadTags.h"
#include "platform/Ticks.h"

TReadVersion* ReadVersionThread = nullptr;

namespace {

// D2XX nodes without their description (a device open elsewhere, or one the
// driver has not finished with) make a listing incomplete; it is taken again.
constexpr int kFtdiListAttempts = 50;
constexpr std::uint32_t kFtdiListPauseMs = 100;
constexpr char kVelmarDescription[] = "Velmar";
// The maker's list call is first asked with this count and no buffer.
constexpr std::uint32_t kVxUsbFirstCount = 5;
// The maker's library lists no snapshot: a device plugged in between the
// count and the fill would take the place of the last one, a device still
// connected that would then count as gone. The buffer holds one record more
// than counted; a buffer the library fills up is taken again, larger.
constexpr std::uint32_t kVxUsbSpareRecords = 1;
constexpr int kVxUsbListAttempts = 3;
// Far beyond what USB can hold; it keeps a count gone wrong from asking for
// gigabytes or overflowing.
constexpr std::uint32_t kVxUsbMaxRecords = 1024;
constexpr std::size_t kVxUsbCodeOffset = 2;
constexpr std::size_t kVxUsbSerialOffset = 4;

constexpr char kDriverError[] = "Ошибка в драйвере";
// What an exception that carries no message of ours is called in the log.
constexpr char kUnknownException[] = "неизвестная ошибка";

// A text field of a driver record that may fill its field without a terminator.
std::string BoundedText(const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); }

// D2XX lists a device another program holds open with its opened flag and
// every other field empty; no wait brings its description. (A device open in
// this program keeps its texts.)
bool OpenElsewhere(const FT_DEVICE_LIST_INFO_NODE& node) {
  return (node.Flags & FT_FLAGS_OPENED) != 0 && node.SerialNumber[0] == '\0' && node.Description[0] == '\0';
}

}  // namespace

TReadVersion::TReadVersion(TDiscoveryOwner& owner) : FOwner(owner) {}

TReadVersion* TReadVersion::Launch(TDiscoveryOwner& owner, std::function<void(TThread*)> onTerminate) {
  auto* run = new TReadVersion(owner);
  run->SetPriority(tpNormal);
  run->FreeOnTerminate = true;
  run->OnTerminate = std::move(onTerminate);
  if (run->Start()) return run;
  delete run;
  return nullptr;
}

// FNewDevices goes with the thread: entries the owner did not take. Their links
// were closed by IdentifyDevice.
TReadVersion::~TReadVersion() = default;

void TReadVersion::Execute() {
  const TThreadTag tag(TThreadKind::Discovery);
  FResult = rvSuccess;
  FLastAnswer = 0;
  FFtdiListingPartial = false;
  FStartTick = TickCount();

  // An exception in the D2XX listing skips the maker's listing as well.
  RunStep([this] {
    ListFtdiDevices();
    ListVxUsbDevices();
  });
  RunStep([this] { MatchKnownDevices(); });
  // Entries after a failing one stay in the list, not identified.
  if (FOwner.DevicesFailAlone()) {
    RunStep([this] { IdentifyEachDeviceAlone(); });
    FResult = rvSuccess;
  } else {
    RunStep([this] {
      for (const auto& entry : FNewDevices) IdentifyDevice(*entry);
    });
  }

  FElapsed = static_cast<std::int32_t>(TickCount() - FStartTick);
}

template <class TStep>
void TReadVersion::RunStep(TStep&& step) {
  // The step's own locks are released while the exception unwinds out of it,
  // before the handler posts: the window thread may be waiting for them.
  try {
    step();
  } catch (const std::exception& e) {
    PostException(e.what());
  } catch (...) {
    PostException(kUnknownException);
  }
}

void TReadVersion::PostException(const char* message) {
  try {
    PostLogText(mkError, 0, std::string("Исключение \"") + message + "\" при поиске устройств");
  } catch (...) {
    // The log itself failed: nothing is left to tell it with.
  }
}

void TReadVersion::ListFtdiDevices() {
  if (hFtdiLib.load(std::memory_order_acquire) == nullptr) return;
  std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
  bool complete = false;
  for (int attempt = 1; attempt <= kFtdiListAttempts && !complete; ++attempt) {
    FT_DWORD count = 0;
    if (FtdiApi.CreateDeviceInfoList(&count) != FT_OK) {
      PostLog(mkError, 0, kDriverError);
      return;
    }
    if (count == 0) return;
    nodes.assign(count, FT_DEVICE_LIST_INFO_NODE{});
    FT_DWORD filled = count;
    if (FtdiApi.GetDeviceInfoList(nodes.data(), &filled) != FT_OK) {
      PostLog(mkError, 0, kDriverError);
      return;
    }
    // Never trust a count beyond the nodes given to the driver.
    if (filled < count) nodes.resize(filled);
    complete = true;
    for (const FT_DEVICE_LIST_INFO_NODE& node : nodes)
      if (node.Description[0] == '\0' && !OpenElsewhere(node)) complete = false;
    if (!complete && attempt < kFtdiListAttempts) SleepMs(kFtdiListPauseMs);
  }
  if (!complete) {
    FFtdiListingPartial = true;
    return;
  }
  for (const FT_DEVICE_LIST_INFO_NODE& node : nodes) {
    if (OpenElsewhere(node)) {
      FFtdiListingPartial = true;  // not ours to take, and maybe one we know
      continue;
    }
    if (BoundedText(node.Description, sizeof node.Description) != kVelmarDescription) continue;
    const std::string serial = BoundedText(node.SerialNumber, sizeof node.SerialNumber);
    FNewDevices.push_back(std::make_unique<TDevEntry>(serial.c_str(), kFtdiDeviceCode, lbFtdi));
  }
}

void TReadVersion::ListVxUsbDevices() {
  if (hVxUsbLib.load(std::memory_order_acquire) == nullptr) return;
  std::uint32_t count = kVxUsbFirstCount;
  if (VxUsbApi.GetListDevices(kVxUsbListSelector, nullptr, &count) != 0) {
    PostLog(mkError, 0, kDriverError);
    return;
  }
  if (count == 0) return;
  std::vector<std::array<char, kVxUsbListRecordSize>> records;
  std::uint32_t filled = 0;
  for (int attempt = 1; attempt <= kVxUsbListAttempts; ++attempt) {
    const std::uint32_t capacity = std::min(count, kVxUsbMaxRecords) + kVxUsbSpareRecords;
    records.assign(capacity, std::array<char, kVxUsbListRecordSize>{});
    filled = capacity;
    if (VxUsbApi.GetListDevices(kVxUsbListSelector, records.data(), &filled) != 0) {
      PostLog(mkError, 0, kDriverError);
      return;
    }
    // Never trust a count beyond the records given to the library.
    filled = std::min(filled, capacity);
    if (filled < capacity) break;
    // Full: more may have come meanwhile. The last try's records are kept.
    count = filled * 2;
  }
  records.resize(filled);
  for (const auto& record : records) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.data());
    const auto code = static_cast<std::uint16_t>(bytes[kVxUsbCodeOffset] | bytes[kVxUsbCodeOffset + 1] << 8);
    const std::string serial =
        BoundedText(record.data() + kVxUsbSerialOffset, kVxUsbListRecordSize - kVxUsbSerialOffset);
    FNewDevices.push_back(std::make_unique<TDevEntry>(serial.c_str(), code, lbVxUsb));
  }
}

void TReadVersion::MatchKnownDevices() {
  std::lock_guard lock(DeviceListLock);
  FDeviceList = &FOwner.KnownDevices();
  for (const auto& known : *FDeviceList) {
    // The same serial on the other library is another device.
    if (const TDevEntry* again = FindSameDevice(FNewDevices, *known)) {
      RemoveDevice(FNewDevices, again);
      continue;
    }
    // An incomplete listing never stops a flash.
    if (known->Backend == lbFtdi && FFtdiListingPartial) continue;
    if (TThread* writer = known->WriteThread.load()) writer->Terminate();
    known->Vanished.store(true);
  }
}

void TReadVersion::PostLog(TMessageKind kind, std::int32_t serial, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = FormatTextV(format, args);
  va_end(args);
  PostLogText(kind, serial, text);
}

void TReadVersion::PostLogText(TMessageKind kind, std::int32_t serial, const std::string& text) {
  FMessage = Cp1251ToUtf16(text);
  FMessageKind = kind;
  FMessageSerial = serial;
  Synchronize([this] { ShowLog(); });
}

void TReadVersion::ShowLog() {
  const std::string text = Utf16ToCp1251(FMessage);
  FOwner.DiscoveryLog().DeviceLog(FMessageKind, FMessageSerial, text.c_str());
}
