// The moment histogram of Wu's quantizer, exposed so that its two builders can
// be held against each other bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "prismel/core/color.h"

namespace kd::prismel {

// Pixel count, the three component sums and the sum of squared components
// over 17 x 17 x 17 cells (bin 0 of each axis a zero border), as 3-D prefix
// sums.
struct WuMoments {
  std::vector<double> w, m0, m1, m2, q;
  WuMoments();
};

// From the pixels' components (at least one pixel).
WuMoments wuMoments(const std::vector<Color>& pixels);

// From interleaved 8-bit sRGB samples (channels 1, 3 or 4, at least one
// pixel) lifted into OKLab: the tables wuMoments gives for srgb8ToOklab's
// colours.
WuMoments wuMomentsSrgb8(std::span<const uint8_t> samples, int channels);

}  // namespace kd::prismel
