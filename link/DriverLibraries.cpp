#include "link/DriverLibraries.h"

#include <cstddef>

TFtdiApi FtdiApi{};
TVxUsbApi VxUsbApi{};
std::atomic<TModuleHandle> hFtdiLib{nullptr};
std::atomic<TModuleHandle> hVxUsbLib{nullptr};

namespace {

struct TEntryPoint {
  const char* name;
  void** slot;
};

template <typename F>
void** Slot(F*& pointer) {
  return reinterpret_cast<void**>(&pointer);
}

TModuleHandle LoadWithTable(const char* fileName, const TEntryPoint* table, std::size_t count) {
  TModuleHandle module = LoadDynamicLibrary(fileName);
  if (module == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    void* symbol = FindLibrarySymbol(module, table[i].name);
    if (symbol == nullptr) {
      FreeDynamicLibrary(module);
      return nullptr;
    }
    *table[i].slot = symbol;
  }
  return module;
}

}  // namespace

TModuleHandle LoadFtdiLibrary(const char* fileName) {
  // Resolved into a copy: a failed load leaves the table of a library loaded
  // before untouched.
  TFtdiApi a{};
  const TEntryPoint table[] = {
      {"FT_ListDevices", Slot(a.ListDevices)},
      {"FT_Open", Slot(a.Open)},
      {"FT_Close", Slot(a.Close)},
      {"FT_ResetDevice", Slot(a.ResetDevice)},
      {"FT_Purge", Slot(a.Purge)},
      {"FT_Read", Slot(a.Read)},
      {"FT_Write", Slot(a.Write)},
      {"FT_SetDivisor", Slot(a.SetDivisor)},
      {"FT_SetTimeouts", Slot(a.SetTimeouts)},
      {"FT_SetBaudRate", Slot(a.SetBaudRate)},
      {"FT_GetDeviceInfo", Slot(a.GetDeviceInfo)},
      {"FT_GetStatus", Slot(a.GetStatus)},
      {"FT_GetQueueStatus", Slot(a.GetQueueStatus)},
      {"FT_SetRts", Slot(a.SetRts)},
      {"FT_SetDataCharacteristics", Slot(a.SetDataCharacteristics)},
      {"FT_SetFlowControl", Slot(a.SetFlowControl)},
      {"FT_SetLatencyTimer", Slot(a.SetLatencyTimer)},
      {"FT_CreateDeviceInfoList", Slot(a.CreateDeviceInfoList)},
      {"FT_GetDeviceInfoList", Slot(a.GetDeviceInfoList)},
      {"FT_OpenEx", Slot(a.OpenEx)},
      {"FT_Rescan", Slot(a.Rescan)},
  };
  TModuleHandle module = LoadWithTable(fileName, table, std::size(table));
  if (module != nullptr) FtdiApi = a;
  return module;
}

TModuleHandle LoadVxUsbLibrary(const char* fileName) {
  TVxUsbApi a{};
  const TEntryPoint table[] = {
      {"RQ_GetListDevices", Slot(a.GetListDevices)},
      {"RQ_OpenDevice", Slot(a.OpenDevice)},
      {"RQ_CloseDevice", Slot(a.CloseDevice)},
      {"RQ_ReadNotTimeOut", Slot(a.ReadNotTimeOut)},
      {"RQ_Write", Slot(a.Write)},
      {"RQ_Purge", Slot(a.Purge)},
      {"RQ_SetTimeouts", Slot(a.SetTimeouts)},
  };
  TModuleHandle module = LoadWithTable(fileName, table, std::size(table));
  if (module != nullptr) VxUsbApi = a;
  return module;
}
