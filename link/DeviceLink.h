#pragma once

#include <cstdint>

#include "records/DevEntry.h"

// The link to one device, over the library its entry's Backend names. A link
// belongs to one thread from LinkOpen to LinkClose and takes no lock. Nothing
// here throws: a back-end whose library is not loaded fails quietly (open,
// write and send false, read 0, close nothing).

// D2XX time-outs set at open, and the maker's library's.
inline constexpr std::uint32_t kFtdiReadTimeout = 1000;
inline constexpr std::uint32_t kFtdiWriteTimeout = 200;
inline constexpr std::uint32_t kVxUsbReadTimeout = 500;
inline constexpr std::uint32_t kVxUsbWriteTimeout = 200;

// Largest piece of a LinkSend, and the pause between two pieces.
inline constexpr std::uint32_t kLinkPieceSize = 64;
inline constexpr std::uint32_t kLinkPiecePauseMs = 1;

// Opens the device by the decimal text of its Serial and sets FtHandle or
// VxHandle.
[[nodiscard]] bool LinkOpen(TDevEntry& entry);
// Closes an open device and clears its handle; calls nothing when it is closed.
void LinkClose(TDevEntry& entry);
// One driver write of `count` bytes; `written` receives the driver's count.
[[nodiscard]] bool LinkWrite(TDevEntry& entry, const void* data, std::uint32_t* written, std::uint32_t count);
// A whole packet in pieces of at most 64 bytes, 1 ms apart; stops at the first
// piece that fails or goes out short.
[[nodiscard]] bool LinkSend(TDevEntry& entry, const void* data, std::uint32_t length);
// One answer of at most `maximum` bytes; the number of bytes read, 0 when
// nothing came within the time-out or the read failed.
[[nodiscard]] int LinkRead(TDevEntry& entry, void* buffer, std::uint32_t timeoutMs, std::uint32_t maximum);

// The back-ends the link operations dispatch to.
[[nodiscard]] bool FtdiOpen(TDevEntry& entry);
[[nodiscard]] bool VxUsbOpen(TDevEntry& entry);
void FtdiClose(TDevEntry& entry);
void VxUsbClose(TDevEntry& entry);
[[nodiscard]] bool FtdiWrite(TDevEntry& entry, const void* data, std::uint32_t* written, std::uint32_t count);
[[nodiscard]] bool VxUsbWrite(TDevEntry& entry, const void* data, std::uint32_t* written, std::uint32_t count);
// Polls the receive queue every millisecond up to the time-out; about 1 ms
// after the first bytes are seen, reads what is queued (at most `maximum`).
// The first `maximum` bytes of the buffer are zeroed first.
[[nodiscard]] int FtdiRead(TDevEntry& entry, void* buffer, std::uint32_t timeoutMs, std::uint32_t maximum);
// One read bounded by the library's own read time-out; `timeoutMs` is not used
// and the buffer is not cleared.
[[nodiscard]] int VxUsbRead(TDevEntry& entry, void* buffer, std::uint32_t timeoutMs, std::uint32_t maximum);
