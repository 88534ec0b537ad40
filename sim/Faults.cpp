#include "sim/Faults.h"

#include <algorithm>

#include "sim/BootLoader.h"
#include "sim/Bytes.h"
#include "sim/Transfers.h"

namespace vxsim {

std::vector<TFault> TakeFaults(TDevice& d, std::uint16_t code, bool writes) {
  std::vector<TFault> active;
  for (auto it = d.Faults.begin(); it != d.Faults.end();) {
    const bool isWrite = it->Kind == TFaultKind::ShortWrite || it->Kind == TFaultKind::WriteFault;
    if (isWrite != writes || (it->Code != 0 && it->Code != code)) {
      ++it;
      continue;
    }
    if (it->Skip > 0) {
      --it->Skip;
      ++it;
      continue;
    }
    active.push_back(*it);
    if (--it->Times == 0)
      it = d.Faults.erase(it);
    else
      ++it;
  }
  return active;
}

void Deliver(TModel& m, int index, std::vector<std::uint8_t> answer, const std::vector<TFault>& faults, bool framed) {
  TDevice& d = m.At(index);
  std::uint32_t delay = d.Cfg.Latency;
  bool lost = false;
  for (const TFault& f : faults) {
    switch (f.Kind) {
      case TFaultKind::NoAnswer: lost = true; break;
      case TFaultKind::Late: delay += f.Value; break;
      case TFaultKind::WrongSector:
        if (framed && answer.size() >= kHeader)
          AnswerHeader(answer, Get16(answer.data() + 4), static_cast<std::uint16_t>(Get16(answer.data() + 6) + 1),
                       Get32(answer.data() + 8));
        break;
      case TFaultKind::WrongOffset:
        if (framed && answer.size() >= kHeader)
          AnswerHeader(answer, Get16(answer.data() + 4), Get16(answer.data() + 6), Get32(answer.data() + 8) + 512);
        break;
      default: break;
    }
  }
  for (const TFault& f : faults) {
    if (f.Kind == TFaultKind::Damaged && !answer.empty()) {
      const std::size_t at = f.Value != 0 && f.Value < answer.size() ? f.Value : answer.size() - 1;
      answer[at] = static_cast<std::uint8_t>(~answer[at]);
    }
    if (f.Kind == TFaultKind::ShortAnswer) answer.resize(std::min<std::size_t>(answer.size(), f.Value ? f.Value : 13));
  }
  if (!lost && !answer.empty()) QueueBytes(d, m.Now() + delay, std::move(answer));
}

bool UnplugFault(TModel& m, int index, const std::vector<TFault>& faults) {
  for (const TFault& f : faults) {
    if (f.Kind != TFaultKind::Unplug) continue;
    const std::uint32_t generation = m.At(index).Generation;
    LeaveBus(m, index);
    if (f.Value != 0) Schedule(m, {m.Now() + f.Value, index, TEventKind::Return, generation, 0, false});
    return true;
  }
  return false;
}

void ListDropoutFault(TModel& m, int index, const std::vector<TFault>& faults) {
  for (const TFault& f : faults)
    if (f.Kind == TFaultKind::ListDropout) LeaveLists(m, index, f.Value);
}

}  // namespace vxsim
