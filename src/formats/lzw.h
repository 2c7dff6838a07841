// The string copy shared by the TIFF and GIF LZW decoders, whose table
// entries point at earlier stretches of their own output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kd::formats {

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
