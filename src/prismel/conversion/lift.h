// Kernels of the 8-bit sRGB -> OKLab lift (see batch.h). Each gives exactly
// the hub's result; the vector kernel is only used where the processor has
// AVX2 and is exposed here so tests can hold the kernels against each other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "prismel/core/color.h"
#include "prismel/math/matrix.h"

namespace kd::prismel {

struct LiftTables {
  Mat3 toXyz;        // "srgb" primaries
  Mat3 fromXyz;      // inverse, of "srgb-linear"
  double decoded[256];  // sRGB decode of the float32 quotient v / 255.0f
};

const LiftTables& liftTables();

// OKLab of decoded (linear) sRGB components through the hub's chain.
Color liftDecoded(const LiftTables& t, double r, double g, double b, float alpha);

// n pixels of `channels` (1, 3 or 4) interleaved samples each into out[0..n).
void liftScalar(const LiftTables& t, const uint8_t* samples, size_t n, int channels, Color* out);
void liftAvx2(const LiftTables& t, const uint8_t* samples, size_t n, int channels, Color* out);

}  // namespace kd::prismel
