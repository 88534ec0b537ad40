// The boot loader's write exchange: erase a sector, write it in 512-byte
// blocks, finish the flash.
#include "flashing/WriteThread.h"
#include "link/DeviceLink.h"
#include "link/Packets.h"
#include "platform/Ticks.h"

namespace {

// A failed send or a short answer is tried again, up to this many attempts in
// all; a malformed or refused answer is not.
constexpr int kSectorAttempts = 3;

// How long a late answer that is still to come is waited for: a device that
// answered one attempt late may answer the next as late again, later than a
// whole time-out after the answer that was taken.
constexpr std::uint32_t kLateAnswerTimeout = 2 * kSectorAnswerTimeout;

}  // namespace

bool TWriteThread::UsesExtendedCommands() const {
  if (FindProcessor(FDevice->ProcessorId) != nullptr) return true;
  return FImageVersion.Name == "VXRQ" && FDevice->LoaderVersion.Version >= 104;
}

bool TWriteThread::SectorExchange(const std::uint8_t* request, std::uint32_t length, std::uint16_t sector,
                                  std::uint32_t offset, bool isWrite, std::uint8_t* answer, int* unanswered) {
  *unanswered = 0;
  for (int attempt = 0; attempt < kSectorAttempts; ++attempt) {
    if (attempt > 0) ++FHealth.Retries;
    if (!LinkSend(*FDevice, request, length)) continue;
    const std::uint32_t sent = TickCount();
    // Nothing is purged between attempts: a late answer to an earlier
    // attempt is taken as the answer to this one.
    const int received = LinkRead(*FDevice, answer, kSectorAnswerTimeout, kSectorAnswerSize);
    if (isWrite && received == static_cast<int>(kSectorAnswerSize)) FHealth.AddAnswerTime(TickCount() - sent);
    std::uint16_t status = 0;
    switch (JudgeSectorAnswer(answer, received, sector, offset, isWrite, &status)) {
      case saShort:
        // The read ran out of time before the whole answer had come.
        ++FHealth.Timeouts;
        ++*unanswered;
        continue;
      case saMalformed: return false;
      case saRefused: FLastAnswer = status; return false;
      case saAccepted:
        FLastAnswer = status;
        if (status == asProtected)
          Log(mkError, isWrite ? "(% 6d) Сектор защищен от записи" : "(% 6d) Сектор защищен от стирания", Stamp());
        return true;
    }
  }
  return false;
}

bool TWriteThread::EraseSector(std::uint16_t n) {
  std::uint8_t answer[kSectorAnswerSize] = {};
  Log(mkInfo, "(% 6d) Стираем сектор %d...", Stamp(), n);
  const std::uint32_t offset = FLayout.FSectorMap[n].Offset;
  std::uint8_t request[kPacketHeaderSize];
  BuildRequest(request, UsesExtendedCommands() ? cmEraseSectorEx : cmEraseSector, n, offset);
  int unanswered = 0;
  const bool done = SectorExchange(request, sizeof request, n, offset, false, answer, &unanswered);
  // A late answer to an earlier attempt of this erase looks exactly like the
  // answer to the sector's first block (same sector, same offset, done): left
  // on the link, it would count that block as written whether the device
  // took it or not. Any other late answer fails the next request's checks.
  if (done && unanswered > 0) TakeLateAnswers(unanswered);
  if (done)
    Log(mkInfo, "(% 6d) Стирание сектора %d: %s", Stamp(), n, "OK");
  else
    Log(mkError, "(% 6d) Стирание сектора %d: %s", Stamp(), n, "Ошибка!");
  return done;
}

bool TWriteThread::WriteSector(std::uint16_t n) {
  std::uint8_t answer[kSectorAnswerSize] = {};
  Log(mkInfo, "(% 6d) Запись сектора %d:", Stamp(), n);
  const TSectorInfo& sector = FLayout.FSectorMap[n];
  const int count = sector.Size / kBlockDataSize;
  bool done = true;
  for (int k = 0; k < count; ++k) {
    Log(mkInfo, "(% 6d)\tЧасть %d из %d", Stamp(), k, count);
    const std::uint32_t offset = sector.Offset + static_cast<std::uint32_t>(k) * kBlockDataSize;
    std::uint8_t request[kBlockPacketSize];
    BuildBlockRequest(request, UsesExtendedCommands() ? cmWriteBlockEx : cmWriteBlock, n, offset,
                      FLayout.FImage.data() + offset);
    int unanswered = 0;
    done = SectorExchange(request, sizeof request, n, offset, true, answer, &unanswered);
    if (!done) break;
    ++FHealth.BlocksWritten;
    FDoneUnits += 1;
    ReportProgress();
  }
  if (done) {
    Log(mkInfo, "(% 6d) Сектор %d записан", Stamp(), n);
  } else {
    // The answer's fields as the last read left them in the buffer.
    const TPacketHeader h = ReadPacketHeader(answer);
    Log(mkError, "(% 6d) Ошибка при записи сектора %d (%d, %d, %d, %d, %d)", Stamp(), n, h.Length, h.HeaderLength,
        h.Code, h.Param, static_cast<std::int32_t>(h.Offset));
  }
  return done;
}

void TWriteThread::TakeLateAnswers(int count) {
  for (int i = 0; i < count; ++i) {
    std::uint8_t late[kSectorAnswerSize];
    if (LinkRead(*FDevice, late, kLateAnswerTimeout, kSectorAnswerSize) <= 0) return;
  }
}

void TWriteThread::SendFinish(std::uint16_t code) {
  std::uint8_t request[kPacketHeaderSize];
  BuildRequest(request, code, kQueryParam, 0);
  if (!LinkSend(*FDevice, request, sizeof request)) return;
  // The answer is read only to take it off the link; it is never examined.
  TQueryAnswer discarded;
  (void)LinkRead(*FDevice, discarded.Bytes, kFinishTimeout, kQueryAnswerMax);
}
