#include "sim/Handles.h"

namespace vxsim {
namespace {

constexpr std::uintptr_t kHandleBase = 0x5A000;
constexpr std::uint32_t kRqDefaultReadTimeout = 1000;
// A handle number that is never given to an open device.
constexpr std::uint32_t kNeverIssued = 0xFFFFFFu;

}  // namespace

void* HandleValue(std::uint32_t id) { return reinterpret_cast<void*>(kHandleBase + std::uintptr_t{id} * 16); }

std::uint32_t HandleId(void* handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  return value >= kHandleBase ? static_cast<std::uint32_t>((value - kHandleBase) / 16) : 0;
}

THandleState Resolve(TModel& m, void* handle, int* device) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < kHandleBase || (value - kHandleBase) % 16 != 0) return THandleState::Invalid;
  const auto it = m.Handles.find(static_cast<std::uint32_t>((value - kHandleBase) / 16));
  if (it == m.Handles.end() || it->second.Device >= static_cast<int>(m.Devices.size())) return THandleState::Invalid;
  *device = it->second.Device;
  const TDevice& d = m.At(*device);
  if (!d.OnBus || d.Generation != it->second.Generation || d.Handle != it->first) return THandleState::Dead;
  return THandleState::Live;
}

int OpenDevice(TModel& m, int index, void** handle) {
  TDevice& d = m.At(index);
  const bool ftdi = d.Cfg.Library == VXSIM_FTDI;
  // The two libraries' codes for a busy device happen to be equal; each is named.
  // cppcheck-suppress duplicateValueTernary
  // A refused open leaves a value in the handle that names no open device, as
  // a careless driver may: a caller that keeps it shows in the transcript.
  if (d.Handle != 0) {
    *handle = HandleValue(kNeverIssued);
    return ftdi ? static_cast<int>(FT_DEVICE_NOT_OPENED) : RQ_ERROR_BUSY;
  }
  if (d.RefuseOpenSkip > 0) {
    --d.RefuseOpenSkip;
  } else if (d.RefuseOpen > 0) {
    --d.RefuseOpen;
    *handle = HandleValue(kNeverIssued);
    // cppcheck-suppress duplicateValueTernary
    return ftdi ? static_cast<int>(FT_DEVICE_NOT_OPENED) : RQ_ERROR_BUSY;
  }
  const std::uint32_t id = m.NextHandle++;
  m.Handles[id] = {index, d.Generation};
  d.Handle = id;
  d.TimeoutsSet = false;
  d.ReadTimeout = ftdi ? 0 : kRqDefaultReadTimeout;
  d.Input.clear();
  *handle = HandleValue(id);
  return 0;
}

void CloseDeviceHandle(TModel& m, void* handle) {
  const std::uint32_t id = HandleId(handle);
  const auto it = m.Handles.find(id);
  if (it == m.Handles.end()) return;
  TDevice& d = m.At(it->second.Device);
  if (d.Handle == id) d.Handle = 0;
  m.Handles.erase(it);
}

TDevice* LiveDevice(TModel& m, TCallRecord& rec, void* handle, int library, int* error) {
  int index = -1;
  const THandleState state = Resolve(m, handle, &index);
  rec.Device(index);
  if (state == THandleState::Live) return &m.At(index);
  const bool dead = state == THandleState::Dead;
  *error = library == VXSIM_FTDI ? static_cast<int>(dead ? FT_IO_ERROR : FT_INVALID_HANDLE)
                                 : (dead ? RQ_ERROR_IO : RQ_ERROR_HANDLE);
  return nullptr;
}

}  // namespace vxsim
