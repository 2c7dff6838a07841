// Quarter turns, mirrors and EXIF orientation. Whole pixels are moved (every
// channel together); the source's colour space is kept.
#pragma once

#include <cstdint>

#include "formats/image.h"

namespace kd::process {

using formats::Image;

// Same numbers at the C boundary. With W x H the source size, source pixel
// (x, y) goes to:
enum class RotateOp : uint8_t {
  roRotate90,        // quarter turn clockwise: (H - 1 - y, x), output H x W
  roRotate180,       // (W - 1 - x, H - 1 - y)
  roRotate270,       // quarter turn counter-clockwise: (y, W - 1 - x), output H x W
  roFlipHorizontal,  // (W - 1 - x, y)
  roFlipVertical,    // (x, H - 1 - y)
};
using enum RotateOp;

Image rotate(const Image& src, RotateOp op);

// The upright form of an image stored with EXIF orientation 1..8 (1 gives an
// identical copy). Fails with ekInvalid,
// "EXIF orientation must be between 1 and 8" for any other value.
Image applyExifOrientation(const Image& src, int64_t orientation);

}  // namespace kd::process
