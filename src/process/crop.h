// Cutting a rectangle out of an image.
#pragma once

#include <cstdint>

#include "formats/image.h"

namespace kd::process {

using formats::Image;

// The width x height image whose pixel (i, j) is the source pixel
// (x + i, y + j). Fails with ekInvalid, "crop: non-positive or negative" or
// "crop: rectangle overruns the source".
Image crop(const Image& src, int64_t x, int64_t y, int64_t width, int64_t height);

}  // namespace kd::process
