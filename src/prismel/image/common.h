// Checks shared by the median-cut, octree and NeuQuant quantizers.
#pragma once

#include <optional>

#include "prismel/image/quantizer.h"

namespace kd::prismel {

// No pixels (kind 12, "<name>: empty image") or fewer pixels than n (kind 10,
// "<name>: n (n) > pixel count (count)"); where is the algorithm's name.
std::optional<ColorError> checkQuantizeInput(const ColorImage& img, int64_t n, const char* name);

}  // namespace kd::prismel
