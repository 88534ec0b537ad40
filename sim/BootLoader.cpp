// What the boot loader does with each request: the queries, erase, write and
// the finish, and which requests it refuses.

#include "sim/BootLoader.h"

#include <algorithm>
#include <string>

#include "sim/Bytes.h"
#include "sim/Checksum.h"
#include "sim/Faults.h"

namespace vxsim {
namespace {

constexpr std::uint16_t kDone = 128, kProtected = 131, kLocked = 138;
constexpr std::uint16_t kUnknownCommand = 129, kBadAddress = 132;
constexpr std::uint16_t kQueryParam = 10;
constexpr std::uint32_t kSecondFormLoader = 104;  // boot loader 1.04

enum : std::uint16_t {
  cEraseSector = 1,
  cWriteBlock = 2,
  cReadFirmwareVersion = 4,
  cReadLoaderVersion = 5,
  cEraseSectorEx = 6,
  cWriteBlockEx = 7,
  cReadProcessorId = 10,
  cWriteDone = 11,
  cWriteAborted = 12,
};

struct TRequest {
  std::uint16_t Length, Code, Param;
  std::uint32_t Offset;
  const std::uint8_t* Data;  // the 512 bytes of a block write
};

// Whether this boot loader takes the erase and write codes of this form:
// the second form (6, 7) on the known processors; elsewhere the first (1, 2),
// and the second too from boot loader 1.04 on.
bool TakesForm(const TDevice& d, std::uint16_t code) {
  const bool second = code == cEraseSectorEx || code == cWriteBlockEx;
  if (IsKnownProcessor(d.Cfg.ProcessorId)) return second;
  return !second || d.Loader.Number >= kSecondFormLoader;
}

// Whether the request is one this boot loader knows, in the shape it knows it:
// the right length for its code, the form of its processor, and Param 10 and
// Offset 0 in a query or finish.
bool KnownCommand(const TDevice& d, const TRequest& r) {
  switch (r.Code) {
    case cReadFirmwareVersion:
    case cReadLoaderVersion:
    case cReadProcessorId:
    case cWriteDone:
    case cWriteAborted: return r.Length == kHeader && r.Param == kQueryParam && r.Offset == 0;
    case cEraseSector:
    case cEraseSectorEx: return r.Length == kHeader && TakesForm(d, r.Code);
    case cWriteBlock:
    case cWriteBlockEx: return r.Length == kBlockPacket && TakesForm(d, r.Code);
    default: return false;
  }
}

// A sector change: the sector must exist and the range [offset, offset + size)
// lie inside it and the flash. 64-bit, so that no offset from the host wraps.
bool InSector(const TDevice& d, std::uint16_t sector, std::uint32_t offset, std::uint32_t size) {
  if (sector >= d.Map.size()) return false;
  const TFlashSector& s = d.Map[sector];
  const std::uint64_t begin = offset, end = begin + size;
  return begin >= s.Offset && end <= std::uint64_t{s.Offset} + s.Size && end <= d.Flash.size();
}

std::uint16_t Erase(TDevice& d, const TRequest& r) {
  if (r.Param >= d.Map.size() || d.Map[r.Param].Offset != r.Offset || !InSector(d, r.Param, r.Offset, d.Map[r.Param].Size))
    return kBadAddress;
  if (d.Cfg.Locked) return kLocked;
  if (d.Cfg.Protected.count(r.Param)) return kProtected;
  std::fill_n(d.Flash.begin() + r.Offset, d.Map[r.Param].Size, std::uint8_t{0xFF});
  return kDone;
}

std::uint16_t Write(TDevice& d, const TRequest& r) {
  if (!InSector(d, r.Param, r.Offset, kBlock) || (r.Offset - d.Map[r.Param].Offset) % kBlock != 0) return kBadAddress;
  if (d.Cfg.Locked) return kLocked;
  if (d.Cfg.Protected.count(r.Param)) return kProtected;
  // Flash bits only go from 1 to 0: writing needs an erase first.
  for (std::size_t i = 0; i < kBlock; ++i) d.Flash[r.Offset + i] &= r.Data[i];
  return kDone;
}

void HandleRequest(TModel& m, int index, const std::vector<std::uint8_t>& frame) {
  TDevice& d = m.At(index);
  const TRequest r{Get16(frame.data()), Get16(frame.data() + 4), Get16(frame.data() + 6), Get32(frame.data() + 8),
                   frame.data() + kHeader};
  ++d.Requests;
  const std::vector<TFault> faults = TakeFaults(d, r.Code, false);
  if (UnplugFault(m, index, faults)) return;
  // Damaged on the way: the boot loader drops it for its checksum, as any other.
  if (std::any_of(faults.begin(), faults.end(), [](const TFault& f) { return f.Kind == TFaultKind::LostRequest; })) {
    --d.Requests;
    ++d.BadRequests;
    return;
  }
  ListDropoutFault(m, index, faults);

  std::vector<std::uint8_t> answer(kHeader, 0);
  std::uint16_t status = kDone;
  const auto withText = [&answer](const std::string& text) {
    answer.insert(answer.end(), text.begin(), text.end());
    answer.push_back(0);
  };
  if (!KnownCommand(d, r)) {
    status = kUnknownCommand;
  } else {
    switch (r.Code) {
      case cReadFirmwareVersion: withText(d.Cfg.FirmwareVersion); break;
      case cReadLoaderVersion: withText(d.Cfg.LoaderVersion); break;
      case cReadProcessorId:
        answer.resize(kHeader + 4);
        Put32(answer.data() + kHeader, d.Cfg.ProcessorId);
        break;
      case cWriteDone:
      case cWriteAborted: d.FinishCode = r.Code; break;
      case cEraseSector:
      case cEraseSectorEx: status = Erase(d, r); break;
      default: status = Write(d, r); break;
    }
  }
  if (status != kDone && status != kProtected && status != kLocked) ++d.RefusedRequests;
  // A refusal is a bare header that repeats the request's Param and Offset.
  AnswerHeader(answer, status, r.Param, r.Offset);
  Deliver(m, index, std::move(answer), faults, true);
}

}  // namespace

void AnswerHeader(std::vector<std::uint8_t>& a, std::uint16_t status, std::uint16_t param, std::uint32_t offset) {
  if (a.size() < kHeader) a.resize(kHeader);
  Put16(a.data(), static_cast<std::uint32_t>(a.size()));
  Put16(a.data() + 2, kHeader);
  Put16(a.data() + 4, status);
  Put16(a.data() + 6, param);
  Put32(a.data() + 8, offset);
  Put16(a.data() + 12, 0);
  Put16(a.data() + 12, FrameChecksum(a.data(), a.size()));
}

// A request is framed by its Length field. Anything that is not a whole,
// well-formed request with a good checksum is dropped together with whatever
// else is waiting, and not answered: the host's time-out and retry recover,
// and the next request starts on a clean buffer.
void ProcessFrames(TModel& m, int index) {
  TDevice& d = m.At(index);
  while (d.Input.size() >= 2) {
    const std::uint16_t length = Get16(d.Input.data());
    if (length < kHeader || length > kBlockPacket) {
      ++d.BadRequests;
      d.Input.clear();
      return;
    }
    if (d.Input.size() < length) return;
    std::vector<std::uint8_t> frame(d.Input.begin(), d.Input.begin() + length);
    const std::uint16_t stored = Get16(frame.data() + 12);
    Put16(frame.data() + 12, 0);
    const bool good = Get16(frame.data() + 2) == kHeader && (length == kHeader || length == kBlockPacket) &&
                      FrameChecksum(frame.data(), length) == stored;
    Put16(frame.data() + 12, stored);
    if (!good) {
      ++d.BadRequests;
      d.Input.clear();
      return;
    }
    d.Input.erase(d.Input.begin(), d.Input.begin() + length);
    HandleRequest(m, index, frame);
    if (!d.OnBus) return;
  }
}

}  // namespace vxsim
