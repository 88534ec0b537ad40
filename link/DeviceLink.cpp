#include "link/DeviceLink.h"

#include <algorithm>

#include "platform/Ticks.h"

bool LinkOpen(TDevEntry& entry) {
  switch (entry.Backend) {
    case lbFtdi: return FtdiOpen(entry);
    case lbVxUsb: return VxUsbOpen(entry);
  }
  return false;
}

void LinkClose(TDevEntry& entry) {
  switch (entry.Backend) {
    case lbFtdi: FtdiClose(entry); break;
    case lbVxUsb: VxUsbClose(entry); break;
  }
}

bool LinkWrite(TDevEntry& entry, const void* data, std::uint32_t* written, std::uint32_t count) {
  switch (entry.Backend) {
    case lbFtdi: return FtdiWrite(entry, data, written, count);
    case lbVxUsb: return VxUsbWrite(entry, data, written, count);
  }
  return false;
}

bool LinkSend(TDevEntry& entry, const void* data, std::uint32_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const std::uint32_t piece = std::min(length, kLinkPieceSize);
    std::uint32_t written = 0;
    if (!LinkWrite(entry, p, &written, piece) || written < piece) return false;
    p += piece;
    length -= piece;
    if (length > 0) SleepMs(kLinkPiecePauseMs);
  }
  return true;
}

int LinkRead(TDevEntry& entry, void* buffer, std::uint32_t timeoutMs, std::uint32_t maximum) {
  switch (entry.Backend) {
    case lbFtdi: return FtdiRead(entry, buffer, timeoutMs, maximum);
    case lbVxUsb: return VxUsbRead(entry, buffer, timeoutMs, maximum);
  }
  return 0;
}
