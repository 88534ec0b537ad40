// Feeds arbitrary bytes to the image parser and the header reader. The input
// is copied into a buffer of exactly its size so that AddressSanitizer sees
// every read past the end.
#include <cstring>
#include <memory>

#include "firmware/FirmwareImage.h"

namespace {

class NullLog : public TOperationLog {
public:
  void DeviceLog(TMessageKind, int, const char*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto buffer = std::make_unique<std::uint8_t[]>(size);
  if (size != 0) std::memcpy(buffer.get(), data, size);
  (void)ReadFirmwareImageHeader(buffer.get(), size);

  NullLog log;
  TFirmwareVersion version;
  TFirmwareBlockList blocks;
  try {
    if (ParseFirmwareImage(log, buffer.get(), size, version, blocks)) {
      if (blocks.size() != 1 || blocks[0]->Size > size) __builtin_trap();
      (void)version.VersionText();
      (void)version.DateText();
    }
  } catch (const Exception&) {
    // Too large a payload: refused as it should be.
  }
  return 0;
}
