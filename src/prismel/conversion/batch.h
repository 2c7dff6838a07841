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
// Pictures of at least kDistinctLiftFrom pixels are lifted one distinct
// colour at a time and expanded by lookup, unless more than half of their
// pixels have distinct colours; the others pixel by pixel. Both give the
// same colours.
Result<std::vector<Color>> srgb8ToOklab(std::span<const uint8_t> samples, int channels);

enum class LiftMethod : uint8_t { lmAuto, lmPerPixel, lmPerDistinctColor };
using enum LiftMethod;
constexpr size_t kDistinctLiftFrom = size_t{1} << 18;

// srgb8ToOklab with the method chosen by the caller (for tests).
Result<std::vector<Color>> srgb8ToOklab(std::span<const uint8_t> samples, int channels,
                                        LiftMethod method);

// The OKLab colour (alpha 1) of each colour key (distinct.h), as
// srgb8ToOklab gives it for a pixel of that colour.
std::vector<Color> liftColorKeys(std::span<const uint32_t> keys);

// to(target, c) for every colour, in order; the first failure ends the work
// and is returned.
Result<std::vector<Color>> convertColors(std::span<const Color> colors, SpaceTag target);

}  // namespace kd::prismel
