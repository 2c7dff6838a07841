#include "compress/crc32.h"

#include <bit>
#include <cstring>

namespace kd::compress {

namespace {

// Slicing-by-8: table k gives the CRC contribution of a byte followed by k
// zero bytes, so eight bytes fold into the register per step. Row 0 is
// kCrcTable itself.
constexpr std::array<std::array<uint32_t, 256>, 8> makeSlicingTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  t[0] = kCrcTable;
  for (size_t k = 1; k < 8; ++k) {
    for (size_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ kCrcTable[t[k - 1][n] & 0xFF];
  }
  return t;
}

constexpr auto kSlices = makeSlicingTables();

}  // namespace

uint32_t crc32(ByteView data, uint32_t crc) {
  uint32_t c = ~crc;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n >= 8) {
    const uint32_t lo = base::loadLe32(p) ^ c;
    const uint32_t hi = base::loadLe32(p + 4);
    c = kSlices[7][lo & 0xFF] ^ kSlices[6][(lo >> 8) & 0xFF] ^ kSlices[5][(lo >> 16) & 0xFF] ^
        kSlices[4][lo >> 24] ^ kSlices[3][hi & 0xFF] ^ kSlices[2][(hi >> 8) & 0xFF] ^
        kSlices[1][(hi >> 16) & 0xFF] ^ kSlices[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = kCrcTable[(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace kd::compress
