#include "sim/Transfers.h"

#include <algorithm>
#include <cstring>

#include "sim/BootLoader.h"
#include "sim/Faults.h"
#include "sim/Firmware.h"
#include "sim/Handles.h"

namespace vxsim {
namespace {

constexpr std::uint32_t kUnsetTimeoutCap = 60000;  // a driver time-out never set waits "forever"

void Receive(TModel& m, int index, const std::uint8_t* p, std::size_t n) {
  TDevice& d = m.At(index);
  const std::uint32_t now = m.Now();
  // Bytes of a partial request are dropped after a pause.
  if (!d.Input.empty() && !Reached(d.LastInput + d.Cfg.FrameGap, now + 1)) d.Input.clear();
  d.LastInput = now;
  d.Input.insert(d.Input.end(), p, p + n);
  if (d.BootLoader)
    ProcessFrames(m, index);
  else
    ProcessText(m, index);
}

std::uint32_t TakeBytes(TDevice& d, std::uint8_t* out, std::uint32_t count) {
  std::uint32_t done = 0;
  while (done < count && !d.Rx.empty()) {
    TChunk& c = d.Rx.front();
    const std::size_t n = std::min<std::size_t>(count - done, c.Bytes.size() - c.Taken);
    std::memcpy(out + done, c.Bytes.data() + c.Taken, n);
    c.Taken += n;
    done += static_cast<std::uint32_t>(n);
    if (c.Taken == c.Bytes.size()) d.Rx.pop_front();
  }
  return done;
}

// When the next byte that is not there yet will be, if any.
bool NextDue(const TDevice& d, std::uint32_t now, std::uint32_t* due) {
  for (const TChunk& c : d.Rx)
    if (!Reached(now, c.Due)) {
      *due = c.Due;
      return true;
    }
  return false;
}

}  // namespace

void QueueBytes(TDevice& d, std::uint32_t due, std::vector<std::uint8_t> bytes) {
  if (!d.Rx.empty() && !Reached(due, d.Rx.back().Due)) due = d.Rx.back().Due;
  d.Rx.push_back(TChunk{due, std::move(bytes)});
}

std::uint32_t Available(const TDevice& d, std::uint32_t now) {
  std::uint32_t n = 0;
  for (const TChunk& c : d.Rx) {
    if (!Reached(now, c.Due)) break;
    n += static_cast<std::uint32_t>(c.Bytes.size() - c.Taken);
  }
  return n;
}

int WaitAndTake(TCallRecord& rec, void* handle, std::uint8_t* buffer, std::uint32_t maximum, bool ftdi, bool whole,
                std::uint32_t* got) {
  TModel& m = Model();
  const std::uint32_t start = m.Now();
  for (;;) {
    std::uint32_t wait = 1;
    {
      TGuard g;
      int error = 0;
      TDevice* live = LiveDevice(m, rec, handle, ftdi ? VXSIM_FTDI : VXSIM_VXUSB, &error);
      if (live == nullptr) {
        *got = 0;
        return rec.Finish(m, error);
      }
      TDevice& d = *live;
      const std::uint32_t timeout = d.TimeoutsSet || !ftdi ? d.ReadTimeout : 0;
      const std::uint32_t limit = timeout == 0 && ftdi ? kUnsetTimeoutCap : timeout;
      const std::uint32_t now = m.Now();
      const std::uint32_t available = Available(d, now);
      const bool enough = whole ? available >= maximum : available > 0;
      if (enough || now - start >= limit) {
        *got = TakeBytes(d, buffer, std::min(available, maximum));
        rec.Arg(2, *got);
        rec.Data(buffer, *got);
        const int code = ftdi ? 0 : (*got > 0 ? RQ_OK : RQ_TIMEOUT);
        return rec.Finish(m, code);
      }
      if (m.Virtual.load()) {
        std::uint32_t due = 0;
        const std::uint32_t left = limit - (now - start);
        wait = NextDue(d, now, &due) && due - now < left ? due - now : left;
        wait = std::max<std::uint32_t>(wait, 1);
      }
    }
    SleepOn(wait);
  }
}

int WriteBytes(int library, const char* name, void* handle, const void* data, std::uint32_t count,
               std::uint32_t* written) {
  TCallRecord rec(library, name);
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, count);
  const bool ftdi = library == VXSIM_FTDI;
  TGuard g;
  TModel& m = g.m();
  if (written == nullptr || (data == nullptr && count > 0))
    return rec.Finish(m, ftdi ? static_cast<int>(FT_INVALID_PARAMETER) : RQ_ERROR_PARAMETER);
  *written = 0;
  int error = 0;
  TDevice* live = LiveDevice(m, rec, handle, library, &error);
  if (live == nullptr) return rec.Finish(m, error);
  TDevice& d = *live;
  std::uint32_t n = count;
  const std::vector<TFault> faults = n > 0 ? TakeFaults(d, 0, true) : std::vector<TFault>{};
  if (ftdi && std::any_of(faults.begin(), faults.end(), [](const TFault& f) { return f.Kind == TFaultKind::WriteFault; }))
    return rec.Finish(m, static_cast<int>(kVxSimWriteFault));
  if (!faults.empty()) --n;
  rec.Data(data, n);
  rec.Arg(2, n);
  *written = n;
  Receive(m, static_cast<int>(live - m.Devices.data()), static_cast<const std::uint8_t*>(data), n);
  return rec.Finish(m, 0);
}

int SetTimeouts(int library, const char* name, void* handle, std::uint32_t readTimeout, std::uint32_t writeTimeout) {
  TCallRecord rec(library, name);
  rec.Arg(0, HandleId(handle));
  rec.Arg(1, readTimeout);
  rec.Arg(2, writeTimeout);
  TGuard g;
  int error = 0;
  TDevice* d = LiveDevice(g.m(), rec, handle, library, &error);
  if (d == nullptr) return rec.Finish(g.m(), error);
  d->ReadTimeout = readTimeout;
  d->WriteTimeout = writeTimeout;
  d->TimeoutsSet = true;
  return rec.Finish(g.m(), 0);
}

}  // namespace vxsim
