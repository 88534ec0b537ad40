#include "link/PacketChecksum.h"

#include "records/WordSum.h"

std::uint16_t PacketChecksum(const void* data, std::uint16_t length) { return OnesComplementSum16(data, length); }
