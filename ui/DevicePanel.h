#pragma once

#include <memory>
#include <string>

#include "gui/Controls.h"

// The panel of one listed device in the window's device area: a framed box
// with the serial number, the firmware and boot loader versions, a one-line
// message, the flash progress bar and the button that starts the flash. The
// device entry owns it; it owns its ten controls. Window thread only.
//
// Panels are aligned to the top of the device area and stack in the order of
// their tops; each takes 96 px (90 and a 3 px margin above and below).
class TFWLoaderDevGroup {
public:
  // Builds the panel in `devPanel` with the given top, which places it among
  // the panels already there (below them while it is larger than the last
  // one's). The texts are Windows-1251.
  TFWLoaderDevGroup(TWinControl& devPanel, int top, const std::string& serialText,
                    const std::string& loaderVersionText, const std::string& firmwareVersionText);
  // Takes the panel off the device area (the panels below move up) and
  // deletes its controls.
  ~TFWLoaderDevGroup();
  TFWLoaderDevGroup(const TFWLoaderDevGroup&) = delete;
  TFWLoaderDevGroup& operator=(const TFWLoaderDevGroup&) = delete;

  std::unique_ptr<TGroupBox> GroupBox;
  std::unique_ptr<TLabel> lblSerialTitle;
  std::unique_ptr<TLabel> lblSerial;
  std::unique_ptr<TLabel> lblDevVerTitle;
  std::unique_ptr<TLabel> lblDevVer;
  std::unique_ptr<TLabel> lblLoaderVerTitle;
  std::unique_ptr<TLabel> lblLoaderVer;
  std::unique_ptr<TLabel> lblMessage;
  std::unique_ptr<TButton> btnWrite;        // enabled state and OnClick set by the window
  std::unique_ptr<TProgressBar> ProgressBar;  // moved by the flashing thread's progress

  static constexpr int kHeight = 90;
  static constexpr int kPitch = 96;  // height with the margins above and below
};
