#include "ui/MainForm.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "crash/LogRing.h"
#include "link/DriverLibraries.h"
#include "platform/CrashTestPoint.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/LocalTime.h"
#include "platform/MainThread.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "records/TextFormat.h"
#include "session/LogFile.h"
#include "ui/CommandLine.h"
#include "ui/DevicePanel.h"
#include "ui/SettingsFile.h"

TMainForm* MainForm = nullptr;

namespace {

TFont TahomaFont(int height, bool bold = false) {
  TFont f;
  f.Height = height;
  f.Bold = bold;
  return f;
}

void DeleteDevicePanel(TFWLoaderDevGroup* panel) { delete panel; }

}  // namespace

namespace {
// The window whose log gathers the lines of each turn of hand-overs.
TMainForm* logTurnOwner = nullptr;
}  // namespace

TMainForm::TMainForm(void* /*owner*/) : TForm(kMainFormClassName, "MainForm") {
  // 1. The window and its controls; DevTimer counts from here.
  BuildControls();
  logTurnOwner = this;
  SetHandOverTurnEnd([this] { EndLogBurst(); });
  OnShow = [this](void* s) { FormShow(s); };
  OnDestroy = [this](void* s) { FormDestroy(s); };
  DevTimer.OnTimer = [this](void* s) { DevTimerTimer(s); };
  RescanTimer.OnTimer = [this](void* s) { RescanTimerTimer(s); };
  LogFileTimer.OnTimer = [this](void* s) { LogFileTimerTimer(s); };
  btnFwOpen.OnClick = [this](void* s) { btnFwOpenClick(s); };
  btnFwLoad.OnClick = [this](void* s) { btnFwLoadClick(s); };
  DevTimer.SetInterval(100);
  DevTimer.SetEnabled(true);
  RescanTimer.SetInterval(3000);
  LogFileTimer.SetInterval(kLogFileHoldMs);

  // 2. Fields (FDevices starts empty; DeviceListLock lives as long as the
  // process). Entries delete their panels through the window.
  RescanTimer.SetEnabled(false);
  InstallPanelDeleter(DeleteDevicePanel);

  // 3. The command line fixes the firmware source.
  ReadCommandLine();
}

TMainForm::~TMainForm() {
  DoDestroy();
  if (logTurnOwner == this) {
    SetHandOverTurnEnd({});
    logTurnOwner = nullptr;
  }
  EndLogBurst();
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::BuildControls() {
  {
    TAlignLock lock(*this);
    SetDesignedControls();
  }
  CreatePeers();
}

void TMainForm::SetDesignedControls() {
  SetText(kMainFormCaption);
  SetFont(TahomaFont(11));
  Color = clBtnFace;
  SetClientSize(664, 456);
  Constraints.MinWidth = 680;

  GroupBox1.SetText("Файл прошивки");
  GroupBox1.SetBounds(3, 3, 658, 110);
  GroupBox1.AlignWithMargins = true;
  GroupBox1.Margins = {3, 3, 3, 3};
  GroupBox1.SetAlign(alTop);
  GroupBox1.TabOrder = 0;

  Label1.SetText("Файл:");
  Label1.SetBounds(8, 34, 44, 19);
  Label1.SetFont(TahomaFont(16));

  edFWFile.SetBounds(58, 36, 478, 21);
  edFWFile.Anchors = akLeftTopRight;
  edFWFile.AutoComplete = false;
  edFWFile.TabOrder = 0;

  btnFwOpen.SetText("...");
  btnFwOpen.SetBounds(543, 34, 25, 25);
  btnFwOpen.SetHint("Открыть файл прошивки", true);
  btnFwOpen.Anchors = akTopRight;
  btnFwOpen.TabOrder = 1;

  btnFwLoad.SetText("Прочитать");
  btnFwLoad.SetBounds(573, 34, 75, 25);
  btnFwLoad.Anchors = akTopRight;
  btnFwLoad.TabOrder = 2;

  Label5.SetText("Дата создания:");
  Label5.SetBounds(8, 63, 112, 19);
  Label5.SetFont(TahomaFont(16));

  lblFirmwDate.SetText("Неизвестна");
  lblFirmwDate.SetBounds(132, 66, 77, 16);
  lblFirmwDate.SetFont(TahomaFont(13, true));

  Label2.SetText("Версия прошивки:");
  Label2.SetBounds(413, 63, 134, 19);
  Label2.SetAlignment(taRightJustify);
  Label2.Anchors = akTopRight;
  Label2.SetFont(TahomaFont(16));

  lblFileVer.SetText("Неизвестна");
  lblFileVer.SetBounds(571, 66, 77, 16);
  lblFileVer.SetAlignment(taRightJustify);
  lblFileVer.Anchors = akTopRight;
  lblFileVer.SetFont(TahomaFont(13, true));

  cbAutoWrite.SetText("Прошивать автоматически");
  cbAutoWrite.SetBounds(8, 87, 258, 17);
  cbAutoWrite.SetFont(TahomaFont(13));
  cbAutoWrite.TabOrder = 3;

  cbWritelogToFile.SetText("Записывать лог в файл");
  cbWritelogToFile.SetBounds(413, 87, 219, 17);
  cbWritelogToFile.Anchors = akTopRight;
  cbWritelogToFile.SetFont(TahomaFont(13));
  cbWritelogToFile.TabOrder = 4;

  Panel1.SetBounds(0, 116, 664, 340);
  Panel1.SetAlign(alClient);
  Panel1.TabOrder = 1;

  ScrollBox1.SetBounds(0, 0, 664, 172);
  ScrollBox1.SetAlign(alClient);

  DevPanel.SetBounds(0, 0, 664, 172);
  DevPanel.Constraints.MinHeight = 90;
  DevPanel.SetAlign(alClient);

  Splitter1.SetBounds(0, 172, 664, 3);
  Splitter1.SetAlign(alBottom);

  TFont logFont = TahomaFont(11);
  logFont.Charset = RUSSIAN_CHARSET_VALUE;
  reLog.SetBounds(0, 175, 664, 165);
  reLog.SetFont(logFont);
  reLog.SetAlign(alBottom);
  reLog.TabOrder = 0;

  OpenDialog1.Filter = "Encode Raw binary|*.eraw|Raw binary|*.raw|Any files|*.*";
}

void TMainForm::ReadCommandLine() {
  const TCommandLineChoice choice = ::ReadCommandLine(CommandLineArguments());
  FExternalFirmware = choice.ExternalFirmware;
  if (!choice.FirmwareFile.empty()) edFWFile.SetText(choice.FirmwareFile);
}

void TMainForm::FormShow(void* /*sender*/) {
  FAppDir = ExecutableDirectory();
  // Neither unreadable settings nor a failing image ends the start: the
  // window still comes up with its driver libraries.
  try {
    ReadSettings();
  } catch (...) {
    Application.ShowCurrentException();
  }
  btnFwLoad.Click();
  edFWFile.SetDropDownWidth(500);

  FSession.SetAppDir(FAppDir);
  // The name stays empty when an earlier window of the process loaded it.
  if (hVxUsbLib.load() == nullptr) FUsbLibraryName = kVxUsbLibraryName;
  const TDeviceSession::TLibraries libraries = FSession.LoadLibraries(FUsbLibraryName.c_str());
  if (!libraries.Ftdi)
    ShowMessageBox(this, "Драйвер устройств FTDI не установлен.", kMessageCaption, kMbOk | kMbIconError);
  if (!libraries.VxUsb)
    ShowMessageBox(this, "Драйвер устройств RQ не установлен.", kMessageCaption, kMbOk | kMbIconError);
  if (!libraries.Ftdi && !libraries.VxUsb) {
    ShowMessageBox(this, "Перед первым запуском программы подключите устройство к USB и установите драйвер.",
                   kMessageCaption, kMbOk | kMbIconError);
    Close();
  }

  if (!FExternalFirmware) edFWFile.SetText("");
  edFWFile.SetVisible(FExternalFirmware);
  btnFwLoad.SetVisible(FExternalFirmware);
  btnFwOpen.SetVisible(FExternalFirmware);
}

void TMainForm::FormDestroy(void* /*sender*/) {
  // From here on nothing starts a discovery run: the error box below runs a
  // modal loop in which a device change or a timer tick would otherwise start
  // one that nobody serves while the entries are deleted.
  FDestroying = true;
  FSession.BeginClose();  // nor a flash
  DevTimer.SetEnabled(false);
  RescanTimer.SetEnabled(false);

  // Workers still running refer to device entries and post to the log: the
  // session asks them to stop and waits for them (serving their hand-overs
  // and end handlers) while every control and entry is still alive, and
  // writes the record's queued rows.
  FSession.WaitForWorkers();

  // A settings file that cannot be written is reported, and the devices are
  // closed all the same.
  try {
    WriteSettings();
  } catch (const Exception& e) {
    Application.ShowException(e.what());
  }
  FSession.CloseDevices();
}

bool TMainForm::Dispatch(TMessage& message) {
  switch (message.Msg) {
    case WM_DEVICECHANGE_MSG:
      WMDeviceChange(message);
      return true;
    case WM_RESTORE_INSTANCE:
      WMRestoreInstance(message);
      return true;
    default:
      return TForm::Dispatch(message);
  }
}

void TMainForm::WMDeviceChange(TMessage& message) {
  if (message.WParam == DBT_DEVNODES_CHANGED_CODE && !FDestroying) {
    DevTimer.SetEnabled(false);
    DevTimer.SetEnabled(true);
  }
}

void TMainForm::WMRestoreInstance(TMessage& /*message*/) { Application.Restore(); }

void TMainForm::DevTimerTimer(void* /*sender*/) {
  DevTimer.SetEnabled(false);
  StartReadVersion();
}

void TMainForm::RescanTimerTimer(void* /*sender*/) {
  FSession.RescanFtdi();
  RescanTimer.SetEnabled(false);
}

void TMainForm::DeviceLog(TMessageKind kind, int serial, const char* text) {
  AddLogLine(kind, DeviceLinePrefix(serial) + (text != nullptr ? text : ""));
}

void TMainForm::AddLogLine(TMessageKind kind, const std::string& line) {
  // Lines handed over by the workers in one turn of the window thread reach
  // the text box in one update, before any of those workers goes on
  // (EndLogBurst); a line logged outside such a turn is an update of its own.
  // Either waits for the text box's next repaint when one is due, as the
  // backend decides; every reader of the control sees it at once. Every line
  // is in the day's file before its call returns.
  const bool burst = InHandOverTurn() && logTurnOwner == this;
  reLog.BeginBatch();
  // The line is coloured as it is added (the same characters the line
  // occupies), keeping the user's own selection.
  const TColor color = kind == mkError ? clRed : kind == mkSuccess ? clGreen : clBlack;
  reLog.AppendLine(line, color);
  CrashLogRing().Add(line.c_str());  // the last lines go into a crash report
  WriteLogToFile(line);
  reLog.ScrollLines(1);
  if (!burst) EndLogBurst();
}

void TMainForm::WriteLogToFile(const std::string& line) {
  if (!cbWritelogToFile.Checked()) return;
  // A file that cannot be written loses this line there; reLog has it.
  // One open serves the lines of up to a second (LogFileTimerTimer): under
  // Wine an open and close of the file costs a quarter of a millisecond, as
  // much as all the rest a line costs the window, and a batch of flashes
  // logs a thousand lines a second.
  // The lines of a turn take the appenders' lock once (EndLogBurst lets go).
  FLogFile.BeginTurn();
  (void)FLogFile.Append(FAppDir, LocalTimeNow(), line);
  if (!LogFileTimer.Enabled() && (FLogFile.IsOpen() || FLogFile.KeptLines() > 0)) LogFileTimer.SetEnabled(true);
}

void TMainForm::EndLogBurst() {
  reLog.EndBatch();
  FLogFile.EndTurn();
}

void TMainForm::LogFileTimerTimer(void* /*sender*/) {
  // The file is held at most this long at a stretch: then it is as free for
  // other programs as between two lines, and a file deleted or moved
  // meanwhile is looked up afresh by the next line.
  FLogFile.Close();
  // Lines a blocked file could not take yet are tried again every second.
  LogFileTimer.SetEnabled(FLogFile.KeptLines() > 0);
}

// ---- settings ----

void TMainForm::ReadSettings() {
  const TIniFile ini(FAppDir + kSettingsFileName);
  const TStoredSettings stored = ReadStoredSettings(ini);
  FBdUrl = stored.BdUrl;
  for (const std::string& file : stored.RecentFiles) edFWFile.AddItem(file);
  // A file named on the command line wins over the last one.
  if (edFWFile.Text().empty()) edFWFile.SetText(stored.LastFile);

  int desktopWidth = 0, desktopHeight = 0;
  GetVirtualDesktopSize(desktopWidth, desktopHeight);
  const TWindowPlacement p = ParsePlacement(stored.MainForm, desktopWidth, desktopHeight);
  if (p.Left) SetLeft(*p.Left);
  if (p.Top) SetTop(*p.Top);
  if (p.Width) SetWidth(*p.Width);
  if (p.Height) SetHeight(*p.Height);
  if (p.AutoWrite) cbAutoWrite.SetChecked(*p.AutoWrite);
  if (p.LogHeight) reLog.SetHeight(*p.LogHeight);
  if (p.WriteLogToFile) cbWritelogToFile.SetChecked(*p.WriteLogToFile);
}

void TMainForm::WriteSettings() {
  // A window that was never shown read no settings: it would only overwrite
  // the saved ones with its design values (and FAppDir is not known yet).
  if (FAppDir.empty()) return;
  TIniFile ini(FAppDir + kSettingsFileName);
  WriteStoredSettings(ini,
                      FormatPlacement(Left(), Top(), Width(), Height(), cbAutoWrite.Checked(), reLog.Height(),
                                      cbWritelogToFile.Checked()),
                      edFWFile.Text(), edFWFile.Items());
}

// ---- firmware ----

bool TMainForm::LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) {
  return TFirmwareSources::LoadFirmware(edFWFile.Text(), blocks, version, *this, [this](const TFirmwareVersion& v) {
    lblFileVer.SetText(v.VersionText());
    lblFirmwDate.SetText(v.DateText());
  });
}

void TMainForm::btnFwLoadClick(void* /*sender*/) {
  TFirmwareBlockList blocks;  // checked and shown only; freed on every path
  try {
    if (LoadFirmware(blocks, FFirmwareVersion) && !FResourceFirmwareLoaded) {
      const std::string& file = edFWFile.Text();
      const std::vector<std::string>& items = edFWFile.Items();
      if (std::find(items.begin(), items.end(), file) == items.end()) edFWFile.InsertItem(0, file);
    }
  } catch (...) {
    // Too large a payload (or anything else): shown here, so that a start-up
    // load does not cut the rest of the start (driver libraries) short.
    Application.ShowCurrentException();
  }
}

void TMainForm::btnFwOpenClick(void* /*sender*/) {
  OpenDialog1.FileName = edFWFile.Text();
  if (!OpenDialog1.Execute(this)) return;
  if (!OpenDialog1.FileNameExact) {
    // The name would reach the file functions with "?" in place of the
    // letters our texts cannot hold: refused, the box keeps its path.
    LogFmt(mkError, "Загрузка прошивки: Имя файла %s содержит знаки, которых нет в кодировке Windows-1251",
           OpenDialog1.FileName.c_str());
    LogFmt(mkError, "Ошибка загрузки прошивки");
    return;
  }
  edFWFile.SetText(OpenDialog1.FileName);
  btnFwLoad.Click();
}

// ---- device list and panels ----

bool TMainForm::StartReadVersion() { return FSession.StartDiscovery(); }

void TMainForm::ReadVersionTerminate(TThread* sender) { FSession.ReadVersionTerminate(sender); }

bool TMainForm::RestartIntoBootLoader(const TDevEntry& /*entry*/) { return true; }

// Holding DeviceListLock, after the device's lines.
void TMainForm::DeviceListed(TDevEntry& entry) {
  CreateDevicePanel(entry);
  entry.Panel->btnWrite->SetEnabled(entry.InBootLoader);
  entry.Panel->btnWrite->OnClick = [this](void* sender) { DevButtonClick(sender); };
  if (!entry.InBootLoader && entry.RestartRequested)
    SetDeviceMessage(entry, "Отключите прибор и подключите заново.", mkSuccess);
  // As if the user had pressed it. The flash's first hand-over (the image
  // reload) is served once the run's end handler has released the lock.
  if (entry.InBootLoader && cbAutoWrite.Checked()) entry.Panel->btnWrite->Click();
}

void TMainForm::DiscoveryEnded(bool succeeded) {
  if (succeeded) {
    TSizeConstraints limits = DevPanel.Constraints;
    limits.MinHeight = FDevices.empty() ? TFWLoaderDevGroup::kHeight
                                        : TFWLoaderDevGroup::kPitch * static_cast<int>(FDevices.size());
    DevPanel.SetConstraints(limits);
  }
  CrashTestPoint("window");  // development builds: a crash on purpose, with the devices listed
}

void TMainForm::HandlerFailed() { Application.ShowCurrentException(); }

void TMainForm::CreateDevicePanel(TDevEntry& entry) {
  const std::string firmware = entry.FirmwareVersion.VersionText();
  const std::string loader = entry.InBootLoader ? entry.LoaderVersion.VersionText() : std::string();
  const std::string serial = std::to_string(entry.Serial);
  // Panels stack by their tops: 80 per device is below the last panel for
  // up to 11 of them; beyond that the new one goes just below the last.
  int top = 80 * static_cast<int>(FDevices.size());
  for (const std::unique_ptr<TDevEntry>& listed : FDevices)
    if (listed->Panel != nullptr) top = std::max(top, listed->Panel->GroupBox->Top() + 1);
  entry.Panel = new TFWLoaderDevGroup(DevPanel, top, serial, loader, firmware);
}

void TMainForm::SetDeviceMessage(TDevEntry& entry, const std::string& text, TMessageKind kind) {
  if (entry.Panel == nullptr) return;  // not listed yet
  TLabel& label = *entry.Panel->lblMessage;
  label.SetText(text);
  TFont font = label.Font();
  font.Color = kind == mkError ? clRed : kind == mkSuccess ? clGreen : clWindowText;
  label.SetFont(font);
}

// ---- flashing ----

void TMainForm::DevButtonClick(void* sender) {
  TDevEntry* clicked = nullptr;
  for (const std::unique_ptr<TDevEntry>& entry : FDevices)
    if (entry->Panel != nullptr && entry->Panel->btnWrite.get() == sender) {
      clicked = entry.get();
      break;
    }
  if (clicked == nullptr) {
    LogFmt(mkError, "Объект прибора не найден");
    return;
  }
  // A device in its firmware is never flashed, one being flashed not twice.
  if (clicked->InBootLoader && clicked->WriteThread.load() == nullptr) StartWriteThread(*clicked);
}

void TMainForm::StartWriteThread(TDevEntry& entry) {
  (void)FSession.StartFlash(entry);  // a refusal has its line, or needs none
}

void TMainForm::FlashStarted(TDevEntry& entry) {
  entry.Panel->btnWrite->SetEnabled(false);
  SetDeviceMessage(entry, "Обновление прошивки прибора...", mkSuccess);
}

void TMainForm::WriteThreadTerminate(TThread* sender) { FSession.WriteThreadTerminate(sender); }

void TMainForm::FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) {
  // The button first: a message that cannot be shown must not leave the
  // device without it.
  if (entry.Panel != nullptr) entry.Panel->btnWrite->SetEnabled(true);
  SetDeviceMessage(entry, outcome.Text.Message, outcome.Text.MessageKind);
}

std::string TMainForm::LoadedImageFile() const { return FExternalFirmware ? edFWFile.Text() : std::string(); }

void TMainForm::FlashProgress(TDevEntry& entry, const TFlashProgress& progress) {
  if (entry.Panel != nullptr) entry.Panel->ProgressBar->SetPosition(progress.Percent);
}
