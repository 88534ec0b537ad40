#pragma once

// The real-window test programs need a display (an X server under Wine).
// Without one every window fails to appear and each test would fail on its
// own, far from the cause: this check runs before the first test and, when no
// window can be made, fails the program with the cause instead.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

class TDisplayCheck : public ::testing::Environment {
public:
  void SetUp() override {
    const HWND probe = CreateWindowExW(0, L"STATIC", L"display check", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                       GetModuleHandleW(nullptr), nullptr);
    const DWORD error = probe == nullptr ? GetLastError() : 0;
    if (probe != nullptr) DestroyWindow(probe);
    const char* display = std::getenv("DISPLAY");
    ASSERT_NE(probe, nullptr) << "no window can be made (error " << error << "): these tests need a display; "
                              << (display == nullptr || *display == '\0'
                                      ? std::string("DISPLAY is not set (run them under xvfb-run)")
                                      : "the X server at DISPLAY=" + std::string(display) + " does not answer");
  }
};

inline ::testing::Environment* const displayCheck = ::testing::AddGlobalTestEnvironment(new TDisplayCheck);
