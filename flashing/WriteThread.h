#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "flashing/LinkHealth.h"
#include "flashing/SectorLayout.h"
#include "flashing/WriteResult.h"
#include "platform/Thread.h"
#include "records/DevEntry.h"
#include "records/FirmwareBlock.h"
#include "records/FirmwareVersion.h"
#include "records/MessageKind.h"
#include "records/OperationLog.h"
#include "records/TextFormat.h"

class TWriteThread;

// One step of a flash as its listeners see it.
struct TFlashProgress {
  int Percent = 0;              // the bar's position, 0 to 100
  std::int32_t DoneUnits = 0;   // 512-byte units written or skipped as blank
  std::int32_t TotalUnits = 0;  // of the flash's whole range
};

// What a flash needs from the front end that starts it (the main window, or
// one without a window). Every call runs on the window thread, handed over by
// the flashing thread through Synchronize; nothing else of the front end
// reaches the core.
class TWriteThreadOwner {
public:
  virtual ~TWriteThreadOwner() = default;
  // Where the flash's lines go.
  virtual TOperationLog& FlashLog() = 0;
  // Loads the current firmware image afresh into the thread's own list and
  // record (emptying the list first). False when the load failed; may raise
  // the block-size Exception instead.
  virtual bool LoadFirmware(TFirmwareBlockList& blocks, TFirmwareVersion& version) = 0;
  // The file the latest successful LoadFirmware read the image from; empty
  // for the image built into the program.
  [[nodiscard]] virtual std::string LoadedImageFile() const { return {}; }
  // The progress of the flash of `device`.
  virtual void SetFlashProgress(TDevEntry& device, const TFlashProgress& progress) = 0;
  // The end of the flash, after Execute has returned: the front end reads
  // FDevice, FResult, FLastAnswer and FElapsed here and clears the entry's
  // WriteThread. The thread frees itself right after (FreeOnTerminate). The
  // front end binds OnTerminate to it.
  virtual void WriteThreadTerminate(TThread* sender) = 0;
};

// Writes the current firmware image into one device that runs its boot
// loader: reloads the image, lays it over the device's sector map, checks that
// image and device belong together, then erases and writes every sector that
// holds data (WriteExchange.cpp) and ends with the finishing command. Created
// suspended; the front end sets FDevice, FreeOnTerminate and OnTerminate and
// starts it. Its results are read in the end handler.
class TWriteThread : public TThread {
public:
  explicit TWriteThread(TWriteThreadOwner& owner);
  ~TWriteThread() override;

  // Creates the flash of `device` (normal priority, FreeOnTerminate) and
  // starts it, with `onTerminate` as its end handler; the entry's WriteThread
  // names it from then on. Window thread only. Null when no thread could be
  // started: the entry is untouched then.
  [[nodiscard]] static TWriteThread* Launch(TWriteThreadOwner& owner, TDevEntry& device,
                                            std::function<void(TThread*)> onTerminate);

  TFirmwareBlockList FBlocks;       // the image reloaded for this flash; emptied at the end of Execute
  TFirmwareVersion FImageVersion;   // its version record
  std::uint32_t FStartTick = 0;     // every "(% 6d)" stamp is milliseconds since this
  // Sector map, range (FFirstSector, FLastSector), the flat image FImage and
  // FTotalUnits, as SelectSectors chose them; FImage is freed at the end.
  TSectorLayout FLayout;
  std::u16string FMessage;          // the line being handed to the window thread
  TMessageKind FMessageKind = mkInfo;
  std::int32_t FDoneUnits = 0;      // 512-byte units written or skipped as blank
  std::int32_t FShownPosition = -1; // the bar's position as last handed over; -1 before the first
  TDevEntry* FDevice = nullptr;     // not owned; set before the thread starts
  std::int32_t FResult = wrSuccess;
  // Status of the last well-formed erase or write answer; 0 if none came.
  std::int32_t FLastAnswer = 0;
  std::int32_t FElapsed = 0;        // milliseconds from the start of Execute to its end
  TLinkHealth FHealth;              // retries, time-outs and answer times of this flash
  // CRC-32 of the reloaded payload (the header's own checksum covers only the
  // image's first bytes, so it cannot tell two payloads apart); 0 until the
  // image has been reloaded.
  std::uint32_t FImageChecksum = 0;
  std::string FImageFile;           // where the image was reloaded from; empty for the built-in one

  // Formats a line and returns when it is in the log. The format comes from
  // this program only; anything received goes in as an argument.
  void Log(TMessageKind kind, const char* format, ...) VX_PRINTF(3, 4);

  // The boot loader's write exchange over the open link (WriteExchange.cpp).
  [[nodiscard]] bool EraseSector(std::uint16_t n);
  [[nodiscard]] bool WriteSector(std::uint16_t n);
  void SendFinish(std::uint16_t code);

protected:
  void Execute() override;

private:
  // The steps of Execute after the reload; they may raise (a log that fails).
  void Flash();
  void FlashSectors();
  void SyncLoadImage();
  void SyncLog();
  void SyncProgress();
  // The bar's position for FDoneUnits, 0 to 100.
  [[nodiscard]] int ProgressPosition() const;
  // Hands the position to the window when it differs from the one shown.
  void ReportProgress();
  void LogText(TMessageKind kind, const std::string& text);
  void LogException(const char* message) noexcept;
  [[nodiscard]] std::int32_t Stamp() const;
  // The second command form (6 and 7) rather than the first (1 and 2).
  [[nodiscard]] bool UsesExtendedCommands() const;
  // One erase or block request, sent up to three times while the send fails
  // or the answer comes short. True when a well-formed answer accepted it.
  // `unanswered` receives the number of attempts that went out but were not
  // answered in time: the device may still answer each of them.
  [[nodiscard]] bool SectorExchange(const std::uint8_t* request, std::uint32_t length, std::uint16_t sector,
                                    std::uint32_t offset, bool isWrite, std::uint8_t* answer, int* unanswered);
  // Takes up to `count` late answers off the link, stopping at the first
  // read that brings none.
  void TakeLateAnswers(int count);

  // Hands SelectSectors' line to the thread's own log.
  class TThreadLog : public TOperationLog {
  public:
    explicit TThreadLog(TWriteThread& thread) : FThread(thread) {}
    void DeviceLog(TMessageKind kind, int serial, const char* text) override;

  private:
    TWriteThread& FThread;
  };

  TWriteThreadOwner& FOwner;
  bool FLinkOpen = false;
};
