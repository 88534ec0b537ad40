#pragma once

#include <memory>
#include <string>

#include "gui/Controls.h"

// What a backend provides. Exactly one backend is linked into a program:
// gui/win32 (real windows) or gui/headless (state only).
class TBackend {
public:
  virtual ~TBackend() = default;

  // The peer of a control whose parent (if any) has one already.
  virtual std::unique_ptr<TPeer> CreatePeer(TControl& control) = 0;

  virtual void TimerChanged(TTimer& timer) = 0;
  virtual void TimerDestroyed(TTimer& timer) = 0;

  // Width and height of a one-line text in the font; false when the backend
  // cannot measure (the control keeps its size).
  virtual bool MeasureText(const TFont& font, const std::string& text, int& width, int& height) = 0;

  // Size of the desktop that spans every monitor.
  virtual void VirtualDesktopSize(int& width, int& height) = 0;

  virtual int MessageBox(TForm* owner, const std::string& text, const std::string& caption, unsigned flags) = 0;
  virtual bool OpenDialog(TForm* owner, TOpenDialog& dialog) = 0;

  virtual void RunMessageLoop(TApplication& app) = 0;
  virtual void ProcessMessages() = 0;
  virtual void RestoreApplication(TApplication& app) = 0;
  // The main form closed: the message loop ends.
  virtual void QuitMessageLoop() = 0;
};

TBackend& Backend();
