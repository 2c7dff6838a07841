// The inverse transforms of VP8 (RFC 6386, section 14): the Walsh-Hadamard
// transform of the second-order luma DC block and the integer DCT
// approximation of every 4x4 block, in exact integer arithmetic.

#include <algorithm>
#include <cstring>

#include "base/cpu.h"
#include "formats/vp8.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::formats::vp8 {
namespace {

// The DCT's two multipliers in 16-bit fixed point: x * sqrt(2) * cos(pi/8)
// is x + (x * 20091 >> 16), x * sqrt(2) * sin(pi/8) is x * 35468 >> 16.
// Products are formed in 64 bits: hostile coefficients may exceed the
// range real encoders produce.
inline int timesCos(int x) { return x + static_cast<int>((int64_t{x} * 20091) >> 16); }
inline int timesSin(int x) { return static_cast<int>((int64_t{x} * 35468) >> 16); }

inline uint8_t clampPixel(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

void inverseWalshHadamard(const int16_t in[16], int16_t* blocks) {
  int t[16];
  for (int c = 0; c < 4; ++c) {  // columns first
    const int s03 = in[c] + in[12 + c];
    const int s12 = in[4 + c] + in[8 + c];
    const int d12 = in[4 + c] - in[8 + c];
    const int d03 = in[c] - in[12 + c];
    t[c] = s03 + s12;
    t[4 + c] = d03 + d12;
    t[8 + c] = s03 - s12;
    t[12 + c] = d03 - d12;
  }
  for (int r = 0; r < 4; ++r) {  // then rows, rounding by 3 bits
    const int* row = t + 4 * r;
    const int s03 = row[0] + row[3] + 3;
    const int s12 = row[1] + row[2];
    const int d12 = row[1] - row[2];
    const int d03 = row[0] - row[3] + 3;
    int16_t* out = blocks + 64 * r;
    out[0] = static_cast<int16_t>((s03 + s12) >> 3);
    out[16] = static_cast<int16_t>((d03 + d12) >> 3);
    out[32] = static_cast<int16_t>((s03 - s12) >> 3);
    out[48] = static_cast<int16_t>((d03 - d12) >> 3);
  }
}

void addInverseDct(const int16_t in[16], uint8_t* dst, ptrdiff_t stride) {
  int t[16];  // transposed: t[4 * c + r]
  for (int c = 0; c < 4; ++c) {  // vertical pass
    const int a = in[c] + in[8 + c];
    const int b = in[c] - in[8 + c];
    const int s = timesSin(in[4 + c]) - timesCos(in[12 + c]);
    const int d = timesCos(in[4 + c]) + timesSin(in[12 + c]);
    t[4 * c] = a + d;
    t[4 * c + 1] = b + s;
    t[4 * c + 2] = b - s;
    t[4 * c + 3] = a - d;
  }
  for (int r = 0; r < 4; ++r) {  // horizontal pass, rounding by 3 bits
    const int a = t[r] + t[8 + r] + 4;
    const int b = t[r] - t[8 + r] + 4;
    const int s = timesSin(t[4 + r]) - timesCos(t[12 + r]);
    const int d = timesCos(t[4 + r]) + timesSin(t[12 + r]);
    uint8_t* row = dst + r * stride;
    row[0] = clampPixel(row[0] + ((a + d) >> 3));
    row[1] = clampPixel(row[1] + ((b + s) >> 3));
    row[2] = clampPixel(row[2] + ((b - s) >> 3));
    row[3] = clampPixel(row[3] + ((a - d) >> 3));
  }
}

void addInverseDctDc(int dc, uint8_t* dst, ptrdiff_t stride) {
  const int add = (dc + 4) >> 3;
#if KD_SSE2
  // The four rows on 16-bit lanes; packing clamps to 0..255.
  const __m128i zero = _mm_setzero_si128();
  const __m128i offset = _mm_set1_epi16(static_cast<short>(std::clamp(add, -255, 255)));
  uint32_t rows[4];
  for (int r = 0; r < 4; ++r) std::memcpy(&rows[r], dst + r * stride, 4);
  const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows));
  const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(px, zero), offset);
  const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(px, zero), offset);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rows), _mm_packus_epi16(lo, hi));
  for (int r = 0; r < 4; ++r) std::memcpy(dst + r * stride, &rows[r], 4);
  return;
#endif
  for (int r = 0; r < 4; ++r) {
    uint8_t* row = dst + r * stride;
    for (int c = 0; c < 4; ++c) row[c] = clampPixel(row[c] + add);
  }
}

}  // namespace kd::formats::vp8
