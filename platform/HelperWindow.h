#pragma once

// Windows only: a window of our own that is never shown, for messages.
#include <windows.h>

// Registers the class (once; a second registration fails harmlessly) and
// creates the window. `parent` HWND_MESSAGE makes it message-only (posted
// messages, no broadcasts); null makes it top-level, which broadcasts reach.
inline HWND CreateHelperWindow(const wchar_t* className, WNDPROC procedure, HWND parent) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = procedure;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = className;
  RegisterClassW(&wc);
  return CreateWindowExW(0, className, L"", parent == nullptr ? WS_POPUP : 0, 0, 0, 0, 0, parent, nullptr,
                         wc.hInstance, nullptr);
}
