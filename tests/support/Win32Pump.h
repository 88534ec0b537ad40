#pragma once

// The real window's tests: a message pump of their own, and what they read
// off real windows.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/CodePage.h"
#include "platform/Ticks.h"

inline std::wstring W(const std::string& text) {
  const std::u16string u = Cp1251ToUtf16(text);
  return std::wstring(u.begin(), u.end());
}

inline std::wstring WindowsPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return W(path.rfind("/", 0) == 0 || path.rfind("\\", 0) == 0 ? "Z:" + path : path);
}

inline void Pump(std::uint32_t ms) {
  const std::uint32_t start = TickCount();
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  } while (TickCount() - start < ms);
}

inline bool PumpUntil(const std::function<bool()>& done, std::uint32_t ms) {
  const std::uint32_t start = TickCount();
  while (!done()) {
    if (TickCount() - start > ms) return false;
    Pump(5);
  }
  return true;
}

inline std::wstring ClassOf(HWND hwnd) {
  wchar_t name[128] = {};
  GetClassNameW(hwnd, name, 128);
  return name;
}

inline std::wstring TextOf(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

inline RECT RectInParent(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}
