// What the boot loader does with each request: the queries, erase, write and
// the finish.

#include "sim/BootLoader.h"

#include <algorithm>
#include <string>

#include "link/PacketChecksum.h"
#include "sim/Bytes.h"
#include "sim/Faults.h"

namespace vxsim {
namespace {

constexpr std::uint16_t kDone = 128, kProtected = 131, kLocked = 138;
constexpr std::uint16_t kUnknownCommand = 129, kBadAddress = 132;

// Whether [offset, offset + size) lies inside sector `sector` and the flash.
bool InSector(const TDevice& d, std::uint16_t sector, std::uint32_t offset, std::uint32_t size) {
  if (sector >= d.Map.size()) return false;
  const TSectorInfo& s = d.Map[sector];
  return offset >= s.Offset && offset + size <= s.Offset + s.Size && offset + size <= d.Flash.size();
}

void HandleRequest(TModel& m, int index, const std::vector<std::uint8_t>& frame) {
  TDevice& d = m.At(index);
  const std::uint16_t length = Get16(frame.data());
  const std::uint16_t code = Get16(frame.data() + 4);
  const std::uint16_t param = Get16(frame.data() + 6);
  const std::uint32_t offset = Get32(frame.data() + 8);
  ++d.Requests;
  const std::vector<TFault> faults = TakeFaults(d, code, false);
  if (UnplugFault(m, index, faults)) return;

  std::vector<std::uint8_t> answer(kHeader, 0);
  std::uint16_t status = kDone;
  const auto withText = [&answer](const std::string& text) {
    answer.insert(answer.end(), text.begin(), text.end());
    answer.push_back(0);
  };
  switch (code) {
    case 4: withText(d.Cfg.FirmwareVersion); break;
    case 5: withText(d.Cfg.LoaderVersion); break;
    case 10:
      answer.resize(kHeader + 4);
      Put32(answer.data() + kHeader, d.Cfg.ProcessorId);
      break;
    case 11:
    case 12: d.FinishCode = code; break;
    case 1:
    case 6:
      if (length != kHeader || param >= d.Map.size() || d.Map[param].Offset != offset ||
          !InSector(d, param, offset, d.Map[param].Size))
        status = kBadAddress;
      else if (d.Cfg.Locked)
        status = kLocked;
      else if (d.Cfg.Protected.count(param))
        status = kProtected;
      else
        std::fill_n(d.Flash.begin() + offset, d.Map[param].Size, std::uint8_t{0xFF});
      break;
    case 2:
    case 7:
      if (length != kBlockPacket || !InSector(d, param, offset, kBlock) || (offset - d.Map[param].Offset) % kBlock)
        status = kBadAddress;
      else if (d.Cfg.Locked)
        status = kLocked;
      else if (d.Cfg.Protected.count(param))
        status = kProtected;
      else  // flash bits only go from 1 to 0: writing needs an erase first
        for (std::size_t i = 0; i < kBlock; ++i) d.Flash[offset + i] &= frame[kHeader + i];
      break;
    default: status = kUnknownCommand; break;
  }
  AnswerHeader(answer, status, param, offset);
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
  Put16(a.data() + 12, PacketChecksum(a.data(), static_cast<std::uint16_t>(a.size())));
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
                      PacketChecksum(frame.data(), length) == stored;
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
