#include "process/rotate.h"

#include <algorithm>
#include <cstring>

#include "base/checked.h"

namespace kd::process {

using base::fail;
using enum base::ErrorKind;

namespace {

// Side of the square tiles, in pixels, in which the axis-swapping
// operations move pixels: a tile's source and destination rows (64 rows of
// at most 256 bytes each) stay in the first-level cache together.
constexpr int64_t kTile = 64;

void requireWellFormed(const Image& src) {
  int64_t samples = 0;
  if (src.width < 1 || src.height < 1 || !base::checkedMul(src.width, src.height, samples) ||
      !base::checkedMul(samples, src.channels, samples) ||
      src.pixels.size() != static_cast<uint64_t>(samples) ||
      src.channels != formats::channelsOf(src.colorspace)) {
    fail(ekInvalid, "rotate: malformed source image");
  }
}

// Operations that swap the axes: the output is H x W and its pixel (u, v)
// is the source pixel (x, y) with x = v, or W - 1 - v when mirrorX, and
// y = u, or H - 1 - u when mirrorY. Quarter turn clockwise: (no, yes);
// counter-clockwise: (yes, no); transpose: (no, no); transverse: (yes, yes).
template <int C>
void swapAxes(const Image& src, Image& out, bool mirrorX, bool mirrorY) {
  const int64_t srcStride = src.width * C;
  const int64_t outStride = out.width * C;
  const int64_t step = mirrorY ? -srcStride : srcStride;
  const uint8_t* base = src.pixels.data();
  for (int64_t v0 = 0; v0 < out.height; v0 += kTile) {
    const int64_t v1 = std::min(out.height, v0 + kTile);
    for (int64_t u0 = 0; u0 < out.width; u0 += kTile) {
      const int64_t u1 = std::min(out.width, u0 + kTile);
      const int64_t y0 = mirrorY ? src.height - 1 - u0 : u0;
      for (int64_t v = v0; v < v1; ++v) {
        const int64_t x = mirrorX ? src.width - 1 - v : v;
        const uint8_t* from = base + y0 * srcStride + x * C;
        uint8_t* to = out.pixels.data() + v * outStride + u0 * C;
        for (int64_t u = u0; u < u1; ++u, from += step, to += C) std::memcpy(to, from, C);
      }
    }
  }
}

// Operations that keep the axes: output row y is source row y, or H - 1 - y
// when mirrorY, with its pixels reversed when mirrorX.
template <int C>
void keepAxes(const Image& src, Image& out, bool mirrorX, bool mirrorY) {
  const int64_t stride = src.width * C;
  for (int64_t y = 0; y < src.height; ++y) {
    const uint8_t* from = src.pixels.data() + (mirrorY ? src.height - 1 - y : y) * stride;
    uint8_t* to = out.pixels.data() + y * stride;
    if (!mirrorX) {
      std::memcpy(to, from, static_cast<size_t>(stride));
      continue;
    }
    const uint8_t* last = from + stride - C;
    for (int64_t x = 0; x < src.width; ++x) std::memcpy(to + x * C, last - x * C, C);
  }
}

Image transform(const Image& src, bool swap, bool mirrorX, bool mirrorY) {
  requireWellFormed(src);
  Image out = swap ? formats::newImage(src.height, src.width, src.colorspace)
                   : formats::newImage(src.width, src.height, src.colorspace);
  switch (src.channels) {
    case 1:
      swap ? swapAxes<1>(src, out, mirrorX, mirrorY) : keepAxes<1>(src, out, mirrorX, mirrorY);
      break;
    case 3:
      swap ? swapAxes<3>(src, out, mirrorX, mirrorY) : keepAxes<3>(src, out, mirrorX, mirrorY);
      break;
    default:
      swap ? swapAxes<4>(src, out, mirrorX, mirrorY) : keepAxes<4>(src, out, mirrorX, mirrorY);
      break;
  }
  return out;
}

}  // namespace

Image rotate(const Image& src, RotateOp op) {
  switch (op) {
    case roRotate90: return transform(src, true, false, true);
    case roRotate180: return transform(src, false, true, true);
    case roRotate270: return transform(src, true, true, false);
    case roFlipHorizontal: return transform(src, false, true, false);
    case roFlipVertical: return transform(src, false, false, true);
  }
  fail(ekInvalid, "rotate: bad operation");
}

// Orientations 5 and 7 are two steps (a left-right mirror, then a quarter
// turn counter-clockwise or clockwise); they are done here in one pass as
// the transpose and the transverse, which give the same pixels.
Image applyExifOrientation(const Image& src, int64_t orientation) {
  switch (orientation) {
    case 1: return transform(src, false, false, false);
    case 2: return rotate(src, roFlipHorizontal);
    case 3: return rotate(src, roRotate180);
    case 4: return rotate(src, roFlipVertical);
    case 5: return transform(src, true, false, false);
    case 6: return rotate(src, roRotate90);
    case 7: return transform(src, true, true, true);
    case 8: return rotate(src, roRotate270);
    default: fail(ekInvalid, "EXIF orientation must be between 1 and 8");
  }
}

}  // namespace kd::process
