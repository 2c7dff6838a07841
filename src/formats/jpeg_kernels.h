// The arithmetic kernels of the JPEG codec, chosen once per picture. Each
// set exists as plain code and, on x86 builds with the vector paths
// compiled in, as AVX2 code doing the same float operations in the same
// order; both give identical bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "formats/jpeg.h"

namespace kd::formats::jpeg {

// One 8x8 block between the entropy decoder and the IDCT.
struct Block {
  // C(u) F(u, v), the dequantised coefficient times its row pass factor
  // (1 except in the first column), natural order; all zero between blocks.
  alignas(32) float coef[64];
  int lastK = 0;  // zigzag index of the last coefficient written
};

// Cu[u] of each zigzag position k (natural index 8v + u): the factor the
// entropy decoder applies to a coefficient before it enters the IDCT.
inline constexpr std::array<float, 64> kCuOfK = [] {
  std::array<float, 64> cu{};
  for (size_t k = 0; k < 64; ++k) cu[k] = ZigZag[k] % 8 == 0 ? kCu0 : 1.0f;
  return cu;
}();

struct DecodeKernels {
  // f(x, y) = 1/4 sum_v (Cu[v] t[v][x]) CosT[y][v] with
  // t[v][x] = sum_u (Cu[u] F(u, v)) CosT[x][u], rows first, each sum from
  // +0 in increasing u or v. Writes 8 rows of 8 floats, `stride` floats
  // apart, and leaves the block all zero.
  void (*idct)(Block& block, float* out, size_t stride);
  // One output row of `width` samples: clamp(y + 128.5) per sample.
  void (*grey)(const float* y, uint8_t* out, size_t width);
  // One RGB output row from component rows expanded to the picture width:
  // R = 1.402 Cr + Y, G = Y - 0.344136 Cb - 0.714136 Cr, B = 1.772 Cb + Y,
  // each plus 128.5, then truncated and clamped to 0..255.
  void (*rgb)(const float* y, const float* cb, const float* cr, uint8_t* out, size_t width);
  // rgb with both chroma rows at half width (column x reads sample x / 2),
  // or null where the set has no such kernel.
  void (*rgbHalf)(const float* y, const float* cb, const float* cr, uint8_t* out, size_t width);
};

struct EncodeKernels {
  // F(u, v) = ((0.25 Cu[u]) Cu[v]) * sum_y t[y][u] CosT[y][v] with
  // t[y][u] = sum_x f(x, y) CosT[x][u], divided by `quant` (natural order)
  // and rounded half away from zero into `out` (natural order). `f` is 8
  // rows of 8 samples, `stride` floats apart. Returns the mask of non-zero
  // outputs (bit z for out[z]).
  uint64_t (*fdctQuantise)(const float* f, size_t stride, const float* quant, int32_t* out);
  // Centred samples of one row of n pixels: grey - 128, or Y, Cb, Cr of
  // RGB (Y = 0.299 R + 0.587 G + 0.114 B - 128 and so on, left to right).
  void (*colourRow)(const uint8_t* src, size_t n, bool colour, float* p0, float* p1, float* p2);
  // fdctQuantise of two neighbouring blocks at once (the second's samples
  // start 8 floats after the first's), each with the bytes fdctQuantise
  // gives it: outputs into out0 and out1, masks[0] and masks[1]. Null where
  // the set has no such kernel.
  void (*fdctQuantisePair)(const float* f, size_t stride, const float* quant, int32_t* out0,
                           int32_t* out1, uint64_t* masks);
};

// The AVX2 set when `avx2` is asked for and compiled in, else the plain
// one; the encoder's AVX2 set adds the AVX-512 pair kernel when `avx512`
// is asked for too. The caller decides what the processor runs
// (base::cpuHasAvx2(), base::cpuHasAvx512()).
DecodeKernels decodeKernels(bool avx2);
EncodeKernels encodeKernels(bool avx2, bool avx512);

}  // namespace kd::formats::jpeg
