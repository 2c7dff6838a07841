// CRC-32 of PNG chunks (and of anything else that wants the standard
// reflected CRC, polynomial 0xEDB88320).
#pragma once

#include <array>
#include <cstdint>

#include "base/bytes.h"

namespace kd::compress {

using base::ByteView;

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

// One entry per byte value: the CRC register after shifting that byte in.
inline constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

// CRC-32 of `data`, continuing from `crc`, the finished CRC of the bytes
// before it (0 for none). The register starts at 0xFFFFFFFF and is
// complemented at the end, as PNG and zlib define it.
uint32_t crc32(ByteView data, uint32_t crc = 0);

}  // namespace kd::compress
