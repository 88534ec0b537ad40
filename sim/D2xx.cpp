// The D2XX library's side of the model: listing, opening, reading and
// writing as the FTDI driver presents them.

#include <algorithm>
#include <cstring>

#include "sim/Handles.h"
#include "sim/Transfers.h"

namespace vxsim {
namespace {

void CopyBounded(char* out, std::size_t size, const std::string& text) {
  std::memset(out, 0, size);
  // No terminator when the text fills the field, as with real devices' fields.
  std::memcpy(out, text.data(), std::min(size, text.size()));  // NOLINT(bugprone-not-null-terminated-result)
}

void BuildFtNodes(TModel& m) {
  m.FtNodes.clear();
  for (std::size_t i = 0; i < m.Devices.size(); ++i) {
    TDevice& d = m.Devices[i];
    if (d.Cfg.Library != VXSIM_FTDI || !d.OnBus || !d.Listed) continue;
    FT_DEVICE_LIST_INFO_NODE node;
    std::memset(&node, 0, sizeof node);
    node.Flags = d.Handle != 0 ? FT_FLAGS_OPENED : 0;
    node.LocId = static_cast<FT_ULONG>(0x1000 + i);
    if (d.Cfg.OpenElsewhere) {
      // Another process's device: its flag, nothing else.
      node.Flags = FT_FLAGS_OPENED;
      m.FtNodes.push_back(node);
      continue;
    }
    node.Type = FT_DEVICE_232R;
    node.ID = 0x04036001;
    CopyBounded(node.SerialNumber, sizeof node.SerialNumber, d.Cfg.Serial);
    if (d.EmptyDescription > 0)
      --d.EmptyDescription;
    else
      CopyBounded(node.Description, sizeof node.Description, d.Cfg.Description);
    node.ftHandle = d.Handle != 0 ? HandleValue(d.Handle) : nullptr;
    m.FtNodes.push_back(node);
  }
  m.HaveFtNodes = true;
}

}  // namespace
}  // namespace vxsim

using namespace vxsim;

extern "C" {

FT_STATUS VxSimFt_ListDevices(void* arg1, void* /*arg2*/, FT_ULONG flags) {
  LoadEnvironmentScenario();
  TCallRecord rec(VXSIM_FTDI, "FT_ListDevices");
  rec.Arg(0, flags);
  TGuard g;
  if ((flags & FT_LIST_NUMBER_ONLY) == 0 || arg1 == nullptr) return rec.Finish(g.m(), FT_INVALID_PARAMETER);
  const auto n = static_cast<FT_ULONG>(ListedDevices(g.m(), VXSIM_FTDI).size());
  *static_cast<FT_ULONG*>(arg1) = n;
  rec.Arg(1, n);
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_Open(int deviceNumber, FT_HANDLE* handle) {
  TCallRecord rec(VXSIM_FTDI, "FT_Open");
  rec.Arg(0, static_cast<std::uint32_t>(deviceNumber));
  TGuard g;
  // An index into the list, as the driver numbers its devices.
  const std::vector<std::uint32_t> bus = ListedDevices(g.m(), VXSIM_FTDI);
  if (handle == nullptr) return rec.Finish(g.m(), FT_INVALID_PARAMETER);
  if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= bus.size())
    return rec.Finish(g.m(), FT_DEVICE_NOT_FOUND);
  const int index = static_cast<int>(bus[static_cast<std::size_t>(deviceNumber)]);
  rec.Device(index);
  const int result = OpenDevice(g.m(), index, handle);
  rec.Arg(1, result == 0 ? HandleId(*handle) : 0);
  return rec.Finish(g.m(), static_cast<FT_STATUS>(result));
}

FT_STATUS VxSimFt_OpenEx(void* arg1, FT_ULONG flags, FT_HANDLE* handle) {
  TCallRecord rec(VXSIM_FTDI, "FT_OpenEx");
  rec.Arg(0, flags);
  TGuard g;
  TModel& m = g.m();
  if (arg1 == nullptr || handle == nullptr ||
      (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION))
    return rec.Finish(m, FT_INVALID_PARAMETER);
  const char* text = static_cast<const char*>(arg1);
  rec.Data(text, std::strlen(text));
  *handle = nullptr;
  for (std::uint32_t index : BusDevices(m, VXSIM_FTDI)) {
    const TDeviceConfig& c = m.Devices[index].Cfg;
    const std::string& key = flags == FT_OPEN_BY_SERIAL_NUMBER ? c.Serial : c.Description;
    if (key != text) continue;
    rec.Device(static_cast<int>(index));
    const int result = OpenDevice(m, static_cast<int>(index), handle);
    rec.Arg(1, result == 0 ? HandleId(*handle) : 0);
    return rec.Finish(m, static_cast<FT_STATUS>(result));
  }
  return rec.Finish(m, FT_DEVICE_NOT_FOUND);
}

FT_STATUS VxSimFt_Close(FT_HANDLE handle) {
  TCallRecord rec(VXSIM_FTDI, "FT_Close");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  int index = -1;
  if (Resolve(g.m(), handle, &index) == THandleState::Invalid) return rec.Finish(g.m(), FT_INVALID_HANDLE);
  rec.Device(index);
  CloseDeviceHandle(g.m(), handle);
  return rec.Finish(g.m(), FT_OK);
}

// Calls that only need a live handle and change nothing the updater sees.
FT_STATUS VxSimFt_Setting(const char* function, FT_HANDLE handle, FT_ULONG a, FT_ULONG b, FT_ULONG c) {
  TCallRecord rec(VXSIM_FTDI, function);
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, a);
  rec.Arg(2, b);
  rec.Arg(3, c);
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_ResetDevice(FT_HANDLE handle) { return VxSimFt_Setting("FT_ResetDevice", handle, 0, 0, 0); }

FT_STATUS VxSimFt_Purge(FT_HANDLE handle, FT_ULONG mask) {
  TCallRecord rec(VXSIM_FTDI, "FT_Purge");
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, mask);
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  if (mask & 1) d->Rx.clear();
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_Read(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* returned) {
  TCallRecord rec(VXSIM_FTDI, "FT_Read");
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, count);
  if (returned == nullptr || (buffer == nullptr && count > 0)) return rec.Done(FT_INVALID_PARAMETER);
  std::uint32_t got = 0;
  const int result = WaitAndTake(rec, handle, static_cast<std::uint8_t*>(buffer), count, true, true, &got);
  *returned = got;
  return static_cast<FT_STATUS>(result);
}

FT_STATUS VxSimFt_Write(FT_HANDLE handle, void* buffer, FT_ULONG count, FT_ULONG* written) {
  return static_cast<FT_STATUS>(WriteBytes(VXSIM_FTDI, "FT_Write", handle, buffer, count, written));
}

FT_STATUS VxSimFt_SetTimeouts(FT_HANDLE handle, FT_ULONG readTimeout, FT_ULONG writeTimeout) {
  return static_cast<FT_STATUS>(SetTimeouts(VXSIM_FTDI, "FT_SetTimeouts", handle, readTimeout, writeTimeout));
}

FT_STATUS VxSimFt_GetDeviceInfo(FT_HANDLE handle, FT_ULONG* type, FT_ULONG* id, char* serial, char* description,
                                void* /*dummy*/) {
  TCallRecord rec(VXSIM_FTDI, "FT_GetDeviceInfo");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  const TDeviceConfig& c = d->Cfg;
  if (type != nullptr) *type = FT_DEVICE_232R;
  if (id != nullptr) *id = 0x04036001;
  if (serial != nullptr) std::snprintf(serial, 16, "%s", c.Serial.c_str());
  if (description != nullptr) std::snprintf(description, 64, "%s", c.Description.c_str());
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_GetStatus(FT_HANDLE handle, FT_ULONG* rx, FT_ULONG* tx, FT_ULONG* events) {
  TCallRecord rec(VXSIM_FTDI, "FT_GetStatus");
  rec.Arg(0, HandleId(handle));
  TGuard g;
  if (rx == nullptr || tx == nullptr || events == nullptr) return rec.Finish(g.m(), FT_INVALID_PARAMETER);
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, VXSIM_FTDI, &error);
  if (d == nullptr) return rec.Finish(g.m(), static_cast<FT_STATUS>(error));
  *rx = Available(*d, g.m().Now());
  *tx = 0;
  *events = 0;
  rec.Arg(1, *rx);
  return rec.Finish(g.m(), FT_OK);
}

FT_STATUS VxSimFt_GetQueueStatus(FT_HANDLE handle, FT_ULONG* rx) {
  FT_ULONG tx = 0, events = 0;
  if (rx == nullptr) return FT_INVALID_PARAMETER;
  return VxSimFt_GetStatus(handle, rx, &tx, &events);
}

FT_STATUS VxSimFt_CreateDeviceInfoList(FT_ULONG* count) {
  LoadEnvironmentScenario();
  TCallRecord rec(VXSIM_FTDI, "FT_CreateDeviceInfoList");
  TGuard g;
  TModel& m = g.m();
  if (count == nullptr) return rec.Finish(m, FT_INVALID_PARAMETER);
  if (m.FailList[VXSIM_FTDI][0] > 0) {
    --m.FailList[VXSIM_FTDI][0];
    return rec.Finish(m, FT_OTHER_ERROR);
  }
  BuildFtNodes(m);
  *count = static_cast<FT_ULONG>(m.FtNodes.size());
  rec.Arg(0, *count);
  return rec.Finish(m, FT_OK);
}

FT_STATUS VxSimFt_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, FT_ULONG* count) {
  TCallRecord rec(VXSIM_FTDI, "FT_GetDeviceInfoList");
  TGuard g;
  TModel& m = g.m();
  if (nodes == nullptr || count == nullptr) return rec.Finish(m, FT_INVALID_PARAMETER);
  if (m.FailList[VXSIM_FTDI][1] > 0) {
    --m.FailList[VXSIM_FTDI][1];
    return rec.Finish(m, FT_OTHER_ERROR);
  }
  if (!m.HaveFtNodes) BuildFtNodes(m);
  // As the real library: the list built by the last FT_CreateDeviceInfoList.
  std::copy(m.FtNodes.begin(), m.FtNodes.end(), nodes);
  *count = static_cast<FT_ULONG>(m.FtNodes.size());
  rec.Arg(0, *count);
  rec.Data(nodes, m.FtNodes.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
  return rec.Finish(m, FT_OK);
}

FT_STATUS VxSimFt_Rescan(void) {
  TCallRecord rec(VXSIM_FTDI, "FT_Rescan");
  return rec.Done(FT_OK);
}
}  // extern "C"
