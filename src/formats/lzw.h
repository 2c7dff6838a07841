// What the TIFF and GIF LZW decoders share: the bound on what a stream can
// expand to, and the string copy of table entries that point at earlier
// stretches of their own output.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/checked.h"

namespace kd::formats {

// Most symbols an LZW stream of `codes` codes can produce: the k-th code
// after a Clear yields at most k symbols, and no string is longer than the
// 4096-entry table allows. Saturates instead of wrapping.
inline uint64_t lzwBound(uint64_t codes) {
  uint64_t triangle;
  if (!base::checkedMul(codes, codes + 1, triangle)) triangle = UINT64_MAX;
  uint64_t longest;
  if (!base::checkedMul(codes, uint64_t{4096}, longest)) longest = UINT64_MAX;
  return std::min(triangle / 2, longest);
}

// Copies the len bytes at src to dst, where src + len <= dst (the string
// was written earlier in the same buffer). With 16 writable bytes at dst, a
// short string moves as two 8-byte words: the bytes copied past len lie
// ahead of the output and are overwritten before anything reads them.
inline void copyEarlierString(uint8_t* dst, const uint8_t* src, size_t len, size_t room) {
  if (len <= 16 && room >= 16) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(&b, src + 8, 8);
    std::memcpy(dst + 8, &b, 8);
    return;
  }
  std::memcpy(dst, src, len);
}

}  // namespace kd::formats
