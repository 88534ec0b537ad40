#pragma once

// The window thread's message loop for the benchmarks that run the main
// window: the real one on Windows, the headless one elsewhere (its timers
// driven by the real clock, device-change notifications from the simulated
// libraries dispatched to the window). It keeps the longest time between two
// of its turns: how long the window could not answer the user.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include "gui/headless/Headless.h"
#endif

#include "Figures.h"
#include "platform/Files.h"
#include "platform/MainThread.h"
#include "sim/SimApi.h"
#include "ui/MainForm.h"

namespace bench {

#ifndef _WIN32
inline std::atomic<int> pendingChanges{0};
inline void CountChange(void*, int, int) { ++pendingChanges; }
#endif

// Gives the benchmark a fresh directory of its own for the settings and logs,
// and readies the window thread and the simulated devices (with their
// device-change notifications reaching the headless window). Returns the
// directory, which the benchmark removes at its end.
inline std::filesystem::path PrepareWindowBench(const std::string& name) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir);
  SetExecutableDirectory((dir / "").string());
  Application.Initialize();
  VxSim_Reset();
#ifndef _WIN32
  headless::Reset();
  VxSim_SetNotify(&CountChange, nullptr);
#endif
  return dir;
}

class TWindowLoop {
public:
  explicit TWindowLoop(TMainForm& form) : FForm(form) {}

  // Every message waiting, or up to a millisecond of waiting for one.
  void Turn() {
    Mark();
#ifdef _WIN32
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      Mark();
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
#else
    // The timers catch up with the real clock before a notification re-arms
    // one, so that its delay counts from now.
    const auto now = TClock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - FTimersAt).count();
    if (ms > 0) {
      headless::AdvanceTime(static_cast<std::uint32_t>(ms));
      FTimersAt += std::chrono::milliseconds(ms);
    }
    for (; pendingChanges > 0; --pendingChanges) {
      TMessage m{WM_DEVICECHANGE_MSG, DBT_DEVNODES_CHANGED_CODE, 0, 0};
      FForm.Dispatch(m);
    }
    Mark();
    CheckSynchronize(1);
#endif
  }

  bool Until(const std::function<bool()>& done, double limitMs) {
    const auto start = TClock::now();
    while (!done()) {
      if (MsBetween(start, TClock::now()) > limitMs) return false;
      Turn();
    }
    return true;
  }

  // The longest time between two turns since the last reset, in ms.
  [[nodiscard]] double LongestGap() const { return FLongest; }
  void ResetGap() {
    FLongest = 0;
    FLast = TClock::now();
  }

private:
  // The loop is back where it looks for input.
  void Mark() {
    const auto now = TClock::now();
    FLongest = std::max(FLongest, MsBetween(FLast, now));
    FLast = now;
  }

  TMainForm& FForm;
  TClock::time_point FTimersAt = TClock::now();
  TClock::time_point FLast = TClock::now();
  double FLongest = 0;
};

}  // namespace bench
