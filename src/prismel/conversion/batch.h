// Whole-image conversions. Each gives, colour for colour, exactly what the
// hub's to() gives; the 8-bit sRGB -> OKLab lift is a fast path with the
// transfer curve tabulated for the 256 sample values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "prismel/core/color.h"

namespace kd::prismel {

// Lifts interleaved 8-bit sRGB samples into OKLab colours (space 15), one per
// pixel: channels 1 is grey (g, g, g), 3 is RGB, 4 is RGBA (alpha a / 255).
// Each sample v is first the float32 quotient v / 255.0f, so the result is
// that of to(15, color(1, r, g, b, a)) for every pixel. Fails with kind 10
// when channels is not 1, 3 or 4 or the sample count is not a multiple of it.
Result<std::vector<Color>> srgb8ToOklab(std::span<const uint8_t> samples, int channels);

// to(target, c) for every colour, in order; the first failure ends the work
// and is returned.
Result<std::vector<Color>> convertColors(std::span<const Color> colors, SpaceTag target);

}  // namespace kd::prismel
