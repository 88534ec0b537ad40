#pragma once

// The main window as designed, and its making and unmaking as start-up does
// them: shared by the headless and the real-window tests.
#include <memory>
#include <string>
#include <vector>

#include "gui/Controls.h"
#include "platform/Process.h"
#include "ui/MainForm.h"

// Makes the one main window from the command line, published where start-up
// publishes it; an earlier window is destroyed first.
inline TMainForm& CreateMainForm(std::unique_ptr<TMainForm>& form, std::vector<std::string> arguments = {}) {
  form.reset();
  SetCommandLineArguments(std::move(arguments));
  form = std::make_unique<TMainForm>();
  MainForm = form.get();
  Application.MainForm = form.get();
  return *form;
}

inline void DestroyMainForm(std::unique_ptr<TMainForm>& form) {
  form.reset();
  MainForm = nullptr;
  Application.MainForm = nullptr;
}

struct TRow {
  const char* name;
  const char* parent;
  const char* text;
  int l, t, w, h;
  int fontHeight;
  bool bold;
  TAnchors anchors;
  int tabOrder;
  bool shownInDefaultMode;
};

inline constexpr TAnchors kLT{};
// Every control of the window, as designed.
inline const TRow kControls[] = {
    {"GroupBox1", "MainForm", "Файл прошивки", 3, 3, 658, 110, 11, false, kLT, 0, true},
    {"Label1", "GroupBox1", "Файл:", 8, 34, 44, 19, 16, false, kLT, -1, true},
    {"edFWFile", "GroupBox1", "", 58, 36, 478, 21, 11, false, akLeftTopRight, 0, false},
    {"btnFwOpen", "GroupBox1", "...", 543, 34, 25, 25, 11, false, akTopRight, 1, false},
    {"btnFwLoad", "GroupBox1", "Прочитать", 573, 34, 75, 25, 11, false, akTopRight, 2, false},
    {"Label5", "GroupBox1", "Дата создания:", 8, 63, 112, 19, 16, false, kLT, -1, true},
    {"lblFirmwDate", "GroupBox1", "Неизвестна", 132, 66, 77, 16, 13, true, kLT, -1, true},
    {"Label2", "GroupBox1", "Версия прошивки:", 413, 63, 134, 19, 16, false, akTopRight, -1, true},
    {"lblFileVer", "GroupBox1", "Неизвестна", 571, 66, 77, 16, 13, true, akTopRight, -1, true},
    {"cbAutoWrite", "GroupBox1", "Прошивать автоматически", 8, 87, 258, 17, 13, false, kLT, 3, true},
    {"cbWritelogToFile", "GroupBox1", "Записывать лог в файл", 413, 87, 219, 17, 13, false, akTopRight, 4, true},
    {"Panel1", "MainForm", "", 0, 116, 664, 340, 11, false, kLT, 1, true},
    {"ScrollBox1", "Panel1", "", 0, 0, 664, 172, 11, false, kLT, -1, true},
    {"DevPanel", "ScrollBox1", "", 0, 0, 664, 172, 11, false, kLT, -1, true},
    {"Splitter1", "Panel1", "", 0, 172, 664, 3, 11, false, kLT, -1, true},
    {"reLog", "Panel1", "", 0, 175, 664, 165, 11, false, kLT, 0, true},
};


// A stand-in driver library of tests/fixtures ("ftd2xx", "vxusb_lacking", ...)
// by its full path; under Wine the build tree is on drive Z:.
inline std::string FixturePath(const std::string& variant) {
  std::string path = std::string(VX_FIXTURE_DIR) + "/fixture_" + variant;
#ifdef _WIN32
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path + ".dll";
#else
  return path + ".so";
#endif
}
