// Row helpers shared by the codecs that store pixels as BGR(A).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kd::formats {

// Copies n pixels of 3 or 4 bytes, exchanging the first and third byte
// (BGR <-> RGB, BGRA <-> RGBA; a fourth byte is copied as it is). The same
// exchange converts in either direction. src and dst must not overlap.
inline void swapRedBlue(const uint8_t* src, uint8_t* dst, size_t n, size_t bytesPerPixel) {
  if (bytesPerPixel == 3) {
    for (size_t i = 0; i < n; ++i) {
      dst[3 * i + 0] = src[3 * i + 2];
      dst[3 * i + 1] = src[3 * i + 1];
      dst[3 * i + 2] = src[3 * i + 0];
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      dst[4 * i + 0] = src[4 * i + 2];
      dst[4 * i + 1] = src[4 * i + 1];
      dst[4 * i + 2] = src[4 * i + 0];
      dst[4 * i + 3] = src[4 * i + 3];
    }
  }
}

}  // namespace kd::formats
