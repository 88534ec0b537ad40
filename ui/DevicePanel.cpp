#include "ui/DevicePanel.h"

#include <algorithm>

namespace {

// Point sizes at 96 dpi, as the window's fonts are given: 12 pt is 16 px,
// 10 pt 13 px.
constexpr int kTitleFontHeight = 16;
constexpr int kValueFontHeight = 13;

// The window's font (Tahoma) in another size.
TFont PanelFont(const TControl& c, int height, bool bold) {
  TFont f = c.Font();
  f.Height = height;
  f.Bold = bold;
  return f;
}

void PlaceLabel(TLabel& label, int left, int top, const std::string& text) {
  label.SetLeft(left);
  label.SetTop(top);
  label.SetText(text);
}

}  // namespace

TFWLoaderDevGroup::TFWLoaderDevGroup(TWinControl& devPanel, int top, const std::string& serialText,
                                     const std::string& loaderVersionText, const std::string& firmwareVersionText) {
  // 1. The group box, the labels and the button; the box holds them and
  //    DevPanel holds the box. Each gets its window as it is placed.
  GroupBox = std::make_unique<TGroupBox>(nullptr, "GroupBox");
  lblSerialTitle = std::make_unique<TLabel>(nullptr, "lblSerialTitle");
  lblSerial = std::make_unique<TLabel>(nullptr, "lblSerial");
  lblDevVerTitle = std::make_unique<TLabel>(nullptr, "lblDevVerTitle");
  lblDevVer = std::make_unique<TLabel>(nullptr, "lblDevVer");
  lblLoaderVerTitle = std::make_unique<TLabel>(nullptr, "lblLoaderVerTitle");
  lblLoaderVer = std::make_unique<TLabel>(nullptr, "lblLoaderVer");
  lblMessage = std::make_unique<TLabel>(nullptr, "lblMessage");
  btnWrite = std::make_unique<TButton>(nullptr, "btnWrite");
  TControl* const boxed[] = {lblSerialTitle.get(),    lblSerial.get(),    lblDevVerTitle.get(),
                             lblDevVer.get(),         lblLoaderVerTitle.get(), lblLoaderVer.get(),
                             lblMessage.get(),        btnWrite.get()};
  for (TControl* c : boxed) c->SetParent(GroupBox.get());
  GroupBox->SetParent(&devPanel);

  // 2. The progress bar.
  ProgressBar = std::make_unique<TProgressBar>(nullptr, "ProgressBar");
  ProgressBar->SetParent(GroupBox.get());

  // 3. The loader labels keep their distance to the right edge.
  lblLoaderVerTitle->Anchors = akTopRight;
  lblLoaderVer->Anchors = akTopRight;

  // 4. Where the loader labels go in a device area of this width.
  const int loaderLeft = std::max(devPanel.Width() - 235, 423);

  // 5. The box itself, aligned at its top among the other panels.
  GroupBox->SetText("Прибор" + serialText);
  GroupBox->AlignWithMargins = true;
  GroupBox->Margins = {3, 3, 3, 3};
  GroupBox->SetHeight(kHeight);
  GroupBox->SetTop(top);
  GroupBox->SetAlign(alTop);

  // 6. The bar along the bottom of the box.
  ProgressBar->SetHeight(20);
  ProgressBar->AlignWithMargins = true;
  ProgressBar->Margins = {3, 3, 3, 3};
  ProgressBar->SetAlign(alBottom);

  // 7. The labels of the serial number and the versions.
  PlaceLabel(*lblSerialTitle, 4, 16, "Серийный номер:");
  PlaceLabel(*lblSerial, 138, 19, serialText);
  PlaceLabel(*lblDevVerTitle, 209, 16, "Версия прошивки:");
  PlaceLabel(*lblDevVer, 347, 19, firmwareVersionText);
  PlaceLabel(*lblLoaderVerTitle, loaderLeft, 16, "Версия загрузчика:");
  PlaceLabel(*lblLoaderVer, loaderLeft + 146, 19, loaderVersionText);
  for (TLabel* title : {lblSerialTitle.get(), lblDevVerTitle.get(), lblLoaderVerTitle.get()}) title->SetHeight(19);
  for (TLabel* value : {lblSerial.get(), lblDevVer.get(), lblLoaderVer.get()}) value->SetHeight(16);

  // 8. The button: its right edge one pixel right of the bar's.
  btnWrite->SetBounds(ProgressBar->Left() + ProgressBar->Width() - 99, 37, 100, 25);
  btnWrite->Anchors = akTopRight;
  btnWrite->SetText("Прошить");
  btnWrite->SetEnabled(false);

  // 9. Fonts.
  for (TLabel* title : {lblSerialTitle.get(), lblDevVerTitle.get(), lblLoaderVerTitle.get()})
    title->SetFont(PanelFont(*title, kTitleFontHeight, false));
  for (TLabel* value : {lblSerial.get(), lblDevVer.get(), lblLoaderVer.get()})
    value->SetFont(PanelFont(*value, kValueFontHeight, true));

  // 10. The message, between the bar's left edge and the button.
  lblMessage->SetAutoSize(false);
  lblMessage->SetBounds(ProgressBar->Left(), 38, btnWrite->Left() - 4, 20);
  lblMessage->SetAlignment(taCenter);
  lblMessage->Anchors = akLeftTopRight;
  lblMessage->SetFont(PanelFont(*lblMessage, kTitleFontHeight, true));
  lblMessage->SetText("Прибор подключен");
}

TFWLoaderDevGroup::~TFWLoaderDevGroup() {
  // 1. Off their parents: the box leaves DevPanel at once, and the panels
  //    below it move up.
  GroupBox->SetParent(nullptr);
  for (TLabel* label : {lblSerialTitle.get(), lblSerial.get(), lblDevVerTitle.get(), lblDevVer.get(),
                        lblLoaderVerTitle.get(), lblLoaderVer.get()})
    label->SetParent(nullptr);
  // 2. The six labels, the bar, the button, the box; the message label was
  //    the box's last child.
  lblSerialTitle.reset();
  lblSerial.reset();
  lblDevVerTitle.reset();
  lblDevVer.reset();
  lblLoaderVerTitle.reset();
  lblLoaderVer.reset();
  ProgressBar.reset();
  btnWrite.reset();
  GroupBox.reset();
  lblMessage.reset();
}
