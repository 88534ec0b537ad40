#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "gui/Controls.h"

// The headless backend's controls for tests: virtual time drives the timers,
// and message boxes and the file dialog are answered by the test.
namespace headless {

struct TMessageBoxCall {
  std::string Text;
  std::string Caption;
  unsigned Flags;
};

// Every message box shown since the last Reset, in order.
const std::vector<TMessageBoxCall>& MessageBoxes();
// Answers the next boxes (kIdOk when no handler is set). The handler runs
// while the box is "open": it may serve hand-overs from workers.
void SetMessageBoxHandler(std::function<int(const TMessageBoxCall&)> handler);

// Answers the file dialog: return true and set FileName to choose a file.
void SetOpenDialogHandler(std::function<bool(TOpenDialog&)> handler);

// Virtual milliseconds since Reset.
std::uint32_t Now();
// Moves virtual time on, firing each timer at its due time, in order.
void AdvanceTime(std::uint32_t ms);
// Times the main form's close asked the message loop to end.
int QuitRequests();

// Text measuring for AutoSize labels: none by default (labels keep their
// size); a test may supply one.
void SetTextMeasure(std::function<bool(const TFont&, const std::string&, int&, int&)> measure);

// The virtual desktop the settings are checked against (1920 x 1080 after Reset).
void SetVirtualDesktop(int width, int height);

// Backend peers alive now (one per realised control).
int PeerCount();

// Forgets boxes, handlers and quit requests and sets virtual time to 0.
void Reset();

}  // namespace headless
