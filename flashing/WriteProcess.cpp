#include <cstdarg>
#include <exception>

#include "flashing/WriteThread.h"
#include "link/DeviceLink.h"
#include "link/Packets.h"
#include "platform/CodePage.h"
#include "platform/CrashTestPoint.h"
#include "platform/ThreadTags.h"
#include "platform/Ticks.h"
#include "records/FlashRecord.h"

namespace {

constexpr std::uint32_t kUnitSize = 512;
// What an exception that carries no message of ours is called in the log.
constexpr char kUnknownException[] = "неизвестная ошибка";

}  // namespace

TWriteThread::TWriteThread(TWriteThreadOwner& owner) : FOwner(owner) {}

TWriteThread* TWriteThread::Launch(TWriteThreadOwner& owner, TDevEntry& device,
                                   std::function<void(TThread*)> onTerminate) {
  auto* thread = new TWriteThread(owner);
  thread->SetPriority(tpNormal);
  thread->FreeOnTerminate = true;
  thread->OnTerminate = std::move(onTerminate);
  thread->FDevice = &device;
  if (!thread->Start()) {
    delete thread;
    return nullptr;
  }
  // Named by its entry only once it runs: a discovery run may ask the entry's
  // flash to stop at any moment, and a thread that never ran must not be
  // reachable there when it is deleted. The object lives at least until its
  // end handler has run on this (the window) thread.
  device.WriteThread.store(thread);
  return thread;
}

// FBlocks and FImage are already empty when Execute has run; they go with the
// thread otherwise (a thread that was never started).
TWriteThread::~TWriteThread() = default;

void TWriteThread::Execute() {
  // A crash report names this thread's device.
  const TThreadTag tag(TThreadKind::Flashing, FDevice != nullptr ? FDevice->Serial : 0);
  // The link's 1 ms pauses must be 1 ms for the whole flash.
  const TPreciseTiming timing;
  FBlocks.clear();
  FResult = wrSuccess;
  FLastAnswer = 0;
  FDoneUnits = 0;
  FHealth = TLinkHealth{};
  FImageChecksum = 0;
  FImageFile.clear();
  FShownPosition = -1;
  FStartTick = TickCount();
  FLayout = TSectorLayout{};
  FLinkOpen = false;

  try {
    Flash();
  } catch (const std::exception& e) {
    LogException(e.what());
  } catch (...) {
    LogException(kUnknownException);
  }
  // After an unexpected error the device is told the flash did not complete.
  if (FLinkOpen) {
    SendFinish(cmWriteAborted);
    LinkClose(*FDevice);
    FLinkOpen = false;
  }

  FreeFirmwareBlocks(FBlocks);
  FLayout.FImage = {};
  FElapsed = static_cast<std::int32_t>(TickCount() - FStartTick);
}

void TWriteThread::Flash() {
  try {
    Synchronize([this] { SyncLoadImage(); });
  } catch (const std::exception& e) {
    // The block-size refusal arrives raised, not as a false result.
    FResult = wrImageLoadFailed;
    LogText(mkError, e.what());
  } catch (...) {
    FResult = wrImageLoadFailed;
    LogText(mkError, kUnknownException);
  }
  if (FResult == wrImageLoadFailed) return;

  TThreadLog log(*this);
  FLayout.SelectSectors(FDevice->ProcessorId, FDevice->LoaderVersion.Suffix, FBlocks, log, FDevice->Serial);
  FResult = FLayout.FResult;
  if (!IsCompatible(FDevice->FirmwareVersion.Name, FDevice->LoaderVersion.Version, FImageVersion.Name,
                    FImageVersion.Version))
    FResult = wrIncompatible;
  if (FResult != wrSuccess) return;

  Log(mkInfo, "Прошивается сектора с %d по %d", FLayout.FFirstSector, FLayout.FLastSector);
  FDoneUnits = 0;
  if (!LinkOpen(*FDevice)) {
    // No sector is touched, and with no link there is nothing to finish.
    LinkClose(*FDevice);
    Log(mkError, "Не удалось открыть устройство");
    FResult = wrOpenFailed;
    return;
  }
  FLinkOpen = true;

  FlashSectors();

  SendFinish(FResult == wrSuccess ? cmWriteDone : cmWriteAborted);
  LinkClose(*FDevice);
  FLinkOpen = false;
}

void TWriteThread::FlashSectors() {
  const TSectorMap map = FLayout.FSectorMap;
  for (int n = FLayout.FFirstSector; n <= FLayout.FLastSector; ++n) {
    // A flash cut short has not written its image: it must not end as done.
    if (Terminated()) {
      FResult = wrTerminated;
      Log(mkError, "(% 6d) Прошивка прервана", Stamp());
      return;
    }
    const TSectorInfo& sector = map[static_cast<std::size_t>(n)];
    const auto number = static_cast<std::uint16_t>(n);
    Log(mkInfo, "(% 6d) Перепрошивка сектора %d:", Stamp(), n);
    CrashTestPoint("flash");
    if (SectorHasData(FLayout.FImage.data() + sector.Offset, sector.Size)) {
      if (!EraseSector(number)) {
        FResult = wrEraseFailed;
        return;
      }
      if (!WriteSector(number)) {
        FResult = wrWriteFailed;
        return;
      }
    } else {
      Log(mkInfo, "(% 6d) Сектор %d пустой. Пропускаем.", Stamp(), n);
      FDoneUnits += static_cast<std::int32_t>(sector.Size / kUnitSize);
      ReportProgress();
    }
  }
}

void TWriteThread::SyncLoadImage() {
  if (!FOwner.LoadFirmware(FBlocks, FImageVersion)) {
    FResult = wrImageLoadFailed;
    return;
  }
  FImageFile = FOwner.LoadedImageFile();
  FImageChecksum = 0;
  for (const auto& block : FBlocks) FImageChecksum = Crc32(block->Data.get(), block->Size, FImageChecksum);
}

int TWriteThread::ProgressPosition() const {
  if (FLayout.FTotalUnits <= 0) return 0;
  return static_cast<int>(static_cast<double>(FDoneUnits) / FLayout.FTotalUnits * 100.0);
}

void TWriteThread::ReportProgress() {
  // A step that leaves the bar where it is costs the window a hand-over and
  // shows nothing; the first step of a flash always goes (the bar may still
  // show the previous flash), and the last one, at 100, always moves it.
  const int position = ProgressPosition();
  if (position == FShownPosition) return;
  FShownPosition = position;
  Synchronize([this] { SyncProgress(); });
}

void TWriteThread::SyncProgress() {
  FOwner.SetFlashProgress(*FDevice, TFlashProgress{FShownPosition, FDoneUnits, FLayout.FTotalUnits});
}

void TWriteThread::Log(TMessageKind kind, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = FormatTextV(format, args);
  va_end(args);
  LogText(kind, text);
}

void TWriteThread::LogText(TMessageKind kind, const std::string& text) {
  FMessage = Cp1251ToUtf16(text);
  FMessageKind = kind;
  Synchronize([this] { SyncLog(); });
}

void TWriteThread::SyncLog() {
  const std::string text = Utf16ToCp1251(FMessage);
  FOwner.FlashLog().DeviceLog(FMessageKind, FDevice->Serial, text.c_str());
}

void TWriteThread::LogException(const char* message) noexcept {
  if (FResult == wrSuccess) FResult = wrUnexpectedError;
  try {
    Log(mkError, "Исключение \"%s\" при прошивке", message);
  } catch (...) {
    // The log itself failed: nothing is left to tell it with.
  }
}

std::int32_t TWriteThread::Stamp() const { return static_cast<std::int32_t>(TickCount() - FStartTick); }

void TWriteThread::TThreadLog::DeviceLog(TMessageKind kind, int, const char* text) { FThread.LogText(kind, text); }
