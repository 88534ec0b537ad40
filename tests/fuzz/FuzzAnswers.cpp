// Feeds arbitrary device answers to the answer rules, the header reader and
// the version texts they carry. The answer is copied into a buffer of exactly
// the received size, so that AddressSanitizer sees every read past what came.
//
// Input: 7 bytes that choose the request (sector, offset, write or erase),
// then the answer bytes.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "link/Packets.h"
#include "records/FirmwareVersion.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void FuzzQueryAnswer(const std::uint8_t* answer, int received) {
  const bool accepted = AcceptQueryAnswer(answer, received);
  if (received < static_cast<int>(kPacketHeaderSize)) {
    Check(!accepted);
    return;
  }
  const TPacketHeader h = ReadPacketHeader(answer);
  // The rule, stated once more from the bytes themselves.
  Check(accepted == (Get16(answer + 2) == 14 && Get16(answer + 4) == 128 && Get16(answer) > 14));
  Check(h.Length == Get16(answer) && h.Checksum == Get16(answer + 12));
  std::uint8_t again[kPacketHeaderSize];
  WritePacketHeader(h, again);
  Check(std::memcmp(again, answer, kPacketHeaderSize) == 0);

  // As the identification reads it: into the cleared query buffer, at most
  // its maximum, then the text and the number at the data offset.
  TQueryAnswer buffer;
  buffer.Clear();
  const std::size_t copied = std::min<std::size_t>(static_cast<std::size_t>(received), kQueryAnswerMax);
  std::memcpy(buffer.Bytes, answer, copied);
  const std::string text = buffer.Text();
  Check(text.size() <= kQueryAnswerMax - kPacketHeaderSize);
  Check(text.find('\0') == std::string::npos);
  (void)buffer.Number();
  TFirmwareVersion version;
  (void)version.Parse(text.c_str());
  (void)version.VersionText();
  // Parsed again into a record that already holds a version, as the window's
  // records are.
  (void)version.Parse(text.c_str());
  (void)version.VersionText();
}

void FuzzSectorAnswer(const std::uint8_t* answer, int received, std::uint16_t sector, std::uint32_t offset,
                      bool write) {
  std::uint16_t status = 0xABCD;
  const TSectorAnswer verdict = JudgeSectorAnswer(answer, received, sector, offset, write, &status);
  if (received < static_cast<int>(kSectorAnswerSize)) {
    Check(verdict == saShort && status == 0xABCD);
    return;
  }
  if (verdict == saMalformed) {
    Check(status == 0xABCD);
    return;
  }
  // Only an exact, well-formed echo has its status looked at.
  Check(received == static_cast<int>(kSectorAnswerSize));
  const TPacketHeader h = ReadPacketHeader(answer);
  Check(h.Length == 14 && h.HeaderLength == 14 && h.Param == sector && (!write || h.Offset == offset));
  Check(status == h.Code);
  Check((verdict == saAccepted) == (h.Code == asDone || h.Code == asProtected));
  Check(verdict == saAccepted || verdict == saRefused);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kChoice = 7;
  if (size < kChoice) return 0;
  const auto sector = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  std::uint32_t offset = 0;
  for (int i = 0; i < 4; ++i) offset |= static_cast<std::uint32_t>(data[2 + i]) << (8 * i);
  const bool write = (data[6] & 1) != 0;
  const std::size_t length = size - kChoice;
  if (length > static_cast<std::size_t>(INT_MAX)) return 0;

  auto answer = std::make_unique<std::uint8_t[]>(length == 0 ? 1 : length);
  if (length != 0) std::memcpy(answer.get(), data + kChoice, length);
  const int received = static_cast<int>(length);
  FuzzQueryAnswer(answer.get(), received);
  FuzzSectorAnswer(answer.get(), received, sector, offset, write);
  // A failed read reports nothing received, whatever the buffer holds.
  Check(!AcceptQueryAnswer(answer.get(), 0));
  Check(JudgeSectorAnswer(answer.get(), 0, sector, offset, write, nullptr) == saShort);
  return 0;
}
