#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/FirmwareSource.h"
#include "gui/Controls.h"
#include "platform/Thread.h"
#include "records/DevEntry.h"
#include "records/FirmwareVersion.h"
#include "records/OperationLog.h"
#include "session/DeviceSession.h"
#include "session/LogFile.h"

inline constexpr std::uint32_t WM_RESTORE_INSTANCE = 1025;  // WM_USER + 1, posted by a second copy
inline constexpr std::uint32_t WM_DEVICECHANGE_MSG = 537;
inline constexpr std::uintptr_t DBT_DEVNODES_CHANGED_CODE = 7;

// How long the day's log file stays open for the lines that follow the one
// that opened it.
inline constexpr std::uint32_t kLogFileHoldMs = 1000;
inline constexpr const char* kMainFormClassName = "TMainForm";
inline constexpr const char* kMainFormCaption = "Обновление прошивки Вельмар";
inline constexpr const char* kMessageCaption = "Velmar Firmware Loader";

// The updater's only window. It owns the controls, the device session (the
// device list, each entry with its panel) and the firmware choice, and it is
// the operation log of the whole program. The session starts and ends the
// discovery runs and the flashes; the window shows what it reports.
// External firmware mode (FExternalFirmware) and the result of the latest load
// from the embedded image (FResourceFirmwareLoaded) come with the firmware
// sources it derives from.
class TMainForm : public TForm,
                  public TOperationLog,
                  public TFirmwareSources,
                  public TSessionEvents {
public:
  explicit TMainForm(void* owner = nullptr);
  ~TMainForm() override;

  // Controls, each declared after its parent (they are created in this order).
  TGroupBox GroupBox1{this, "GroupBox1"};
  TLabel Label1{&GroupBox1, "Label1"};
  TComboBox edFWFile{&GroupBox1, "edFWFile"};
  TButton btnFwOpen{&GroupBox1, "btnFwOpen"};
  TButton btnFwLoad{&GroupBox1, "btnFwLoad"};
  TLabel Label5{&GroupBox1, "Label5"};
  TLabel lblFirmwDate{&GroupBox1, "lblFirmwDate"};
  TLabel Label2{&GroupBox1, "Label2"};
  TLabel lblFileVer{&GroupBox1, "lblFileVer"};
  TCheckBox cbAutoWrite{&GroupBox1, "cbAutoWrite"};
  TCheckBox cbWritelogToFile{&GroupBox1, "cbWritelogToFile"};
  TPanel Panel1{this, "Panel1"};
  TScrollBox ScrollBox1{&Panel1, "ScrollBox1"};
  TPanel DevPanel{&ScrollBox1, "DevPanel"};
  TSplitter Splitter1{&Panel1, "Splitter1"};
  TRichEdit reLog{&Panel1, "reLog"};
  TTimer DevTimer{this, "DevTimer"};
  TTimer RescanTimer{this, "RescanTimer"};
  TTimer LogFileTimer{this, "LogFileTimer"};  // closes the day's file kept open for a while
  TOpenDialog OpenDialog1;

  // Fields.
  std::string FUsbLibraryName;
  std::string FBdUrl;
  TFirmwareVersion FFirmwareVersion;
  std::string FAppDir;
  TDeviceSession FSession{*this, *this, "vxfwloader"};
  TDeviceList& FDevices = FSession.Devices();

  // Events.
  void FormShow(void* sender);
  void FormDestroy(void* sender);
  void DevTimerTimer(void* sender);
  void RescanTimerTimer(void* sender);
  void LogFileTimerTimer(void* sender);
  void btnFwLoadClick(void* sender);
  void btnFwOpenClick(void* sender);

  bool Dispatch(TMessage& message) override;
  void WMDeviceChange(TMessage& message);
  void WMRestoreInstance(TMessage& message);

  void ReadSettings();
  void WriteSettings();

  // Starts a discovery run unless one is in progress (true then as well);
  // false once the window's destruction has begun: no run starts after that.
  bool StartReadVersion();
  // The end of a discovery run: a failed run is only reported; a successful
  // one takes out the gone devices and lists the new ones with their panels.
  void ReadVersionTerminate(TThread* sender);

  // The panel of an entry just appended to FDevices, stored in its Panel.
  void CreateDevicePanel(TDevEntry& entry);
  // Shows a message on the entry's panel in the colour of its kind; nothing
  // for an entry without a panel.
  void SetDeviceMessage(TDevEntry& entry, const std::string& text, TMessageKind kind);

  // OnClick of every panel's btnWrite: flashes the button's device when it
  // runs its boot loader and is not being flashed already.
  void DevButtonClick(void* sender);
  // Starts the flash of one listed device; refused while one runs for it
  // and once the window's destruction has begun.
  void StartWriteThread(TDevEntry& entry);
  // The end of a flash: its result on the panel and in the log; a device that
  // went away during the flash is taken out of the list now.
  void WriteThreadTerminate(TThread* sender);

  // What the session reports.
  [[nodiscard]] bool RestartIntoBootLoader(const TDevEntry& entry) override;
  void DeviceListed(TDevEntry& entry) override;
  void DiscoveryEnded(bool succeeded) override;
  void FlashStarted(TDevEntry& entry) override;
  void FlashProgress(TDevEntry& entry, const TFlashProgress& progress) override;
  void FlashEnded(TDevEntry& entry, const TFlashOutcome& outcome) override;
  void HandlerFailed() override;

  // Loads the image of the current source (edFWFile's file in external
  // firmware mode) into the list and record; shows its version and date.
  // Window thread only; the block-size refusal (Exception) passes through.
  [[nodiscard]] bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) override;
  [[nodiscard]] std::string LoadedImageFile() const override;

  // The operation log, window thread only: one line per call, in reLog and,
  // while cbWritelogToFile is checked, in the day's log file.
  void DeviceLog(TMessageKind kind, int serial, const char* text) override;
  void AddLogLine(TMessageKind kind, const std::string& line);
  void WriteLogToFile(const std::string& line);
  // The lines of a burst are in reLog's window, the day's file is closed.
  void EndLogBurst();

private:
  void BuildControls();
  void SetDesignedControls();
  void ReadCommandLine();

  // Set as FormDestroy begins: device changes, the timers and the panels'
  // buttons start nothing.
  bool FDestroying = false;
  TLogFileWriter FLogFile;  // open from a line for up to kLogFileHoldMs
};

extern TMainForm* MainForm;
