// On Windows a plug or unplug reaches the process's top-level windows as
// WM_DEVICECHANGE with DBT_DEVNODES_CHANGED, which is what the window listens
// for.
#ifdef _WIN32

#include <windows.h>

#include "SimFixture.h"

namespace {

int deviceChanges = 0;

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && wParam == 0x0007 && lParam == 0) ++deviceChanges;
  return DefWindowProcW(window, message, wParam, lParam);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

TEST_F(SimTest, PlugAndUnplugPostDeviceChangeToTheTopLevelWindows) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = CountingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VxSimDeviceChangeProbe";
  ASSERT_NE(RegisterClassW(&wc), 0);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  Pump();
  deviceChanges = 0;

  const int device = vxsim::AddDevice(Device(VXSIM_FTDI));
  Pump();
  EXPECT_EQ(deviceChanges, 1) << "plugged";
  VxSim_Unplug(device);
  Pump();
  EXPECT_EQ(deviceChanges, 2) << "unplugged";
  VxSim_Unplug(device);
  Pump();
  EXPECT_EQ(deviceChanges, 2) << "already gone: nothing changed";

  DestroyWindow(window);
  UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

}  // namespace

#endif
