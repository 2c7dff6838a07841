// The inverse transforms of WebP lossless (RFC 9649, section 4) and the
// conversion of decoded ARGB rows into output bytes. The pixel decoder runs
// them over each row as soon as it is complete, in a small row buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/image.h"

namespace kd::formats::webp {

enum TransformType : uint8_t { kPredictor = 0, kCrossColor = 1, kSubtractGreen = 2, kColorIndexing = 3 };

inline int64_t divRoundUp(int64_t n, int bits) { return (n + (int64_t{1} << bits) - 1) >> bits; }

// Channel-wise (mod 256) sum of two ARGB words.
inline uint32_t addPixels(uint32_t a, uint32_t b) {
  return (((a & 0xFF00FF00u) + (b & 0xFF00FF00u)) & 0xFF00FF00u) |
         (((a & 0x00FF00FFu) + (b & 0x00FF00FFu)) & 0x00FF00FFu);
}

struct Transform {
  TransformType type = kPredictor;
  int bits = 0;              // block-size exponent, or pixel-bundling width bits
  int64_t width = 0;         // width of the picture the inverse transform produces
  int64_t codedWidth = 0;    // width it reads (narrower for bundled colour indices)
  std::vector<uint32_t> data;  // block image or the expanded colour table
  std::vector<uint32_t> previous;  // predictor: the row above, as this stage left it
};

// Each inverse transform on row `y` (ARGB words), in place.
void inversePredictor(Transform& t, uint32_t* row, int64_t y);
void inverseCrossColor(const Transform& t, uint32_t* row, int64_t y);
void inverseSubtractGreen(int64_t width, uint32_t* row);
// Replaces colour indices by table entries, unbundling packed indices
// (expandColorMap). The row has room for t.width words.
void expandColorMap(const Transform& t, uint32_t* row);

// ARGB words to R, G, B (, A) bytes.
void toRgba(const uint32_t* row, int64_t width, bool alpha, uint8_t* out);

// For a picture whose only transform is a colour table: the output bytes
// of each of the 256 green values, and one row emitted through them.
Bytes unbundledTable(const Transform& t, int64_t channels);
void emitIndexed(const Transform& t, const uint32_t* coded, const Bytes& table, int64_t channels,
                 uint8_t* out);

}  // namespace kd::formats::webp
