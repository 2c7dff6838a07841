// Resampling with nearest-neighbour, bilinear (two taps per axis) and box
// (area average) filters. Every channel is filtered alike, alpha included,
// without premultiplication; the source's colour space is kept.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/image.h"

namespace kd::process {

using formats::Image;

// Same numbers at the C boundary.
enum class ResizeFilter : uint8_t { rfNearest, rfBilinear, rfBox };
using enum ResizeFilter;

// One (source index, weight) pair of an output coordinate's weight list.
struct WeightTap {
  int64_t index;
  float weight;
};
using WeightList = std::vector<WeightTap>;
// One weight list per output coordinate of an axis.
using WeightTable = std::vector<WeightList>;

// Largest picture, in pixels, that resampling produces or passes through its
// intermediate (new width x source height) stage: the decoders' cap.
inline constexpr int64_t kMaxResizePixels = formats::kMaxPixels;

// Two taps around the output sample's centre, clamped to the source; n source
// samples, m output samples (both positive).
WeightTable bilinearWeights(int64_t n, int64_t m);
// Normalised overlaps of the output sample's span with the source samples.
WeightTable boxWeights(int64_t n, int64_t m);
// The weight list of output coordinate i alone, into `list` (cleared first).
void bilinearList(int64_t n, int64_t m, int64_t i, WeightList& list);
void boxList(int64_t n, int64_t m, int64_t i, WeightList& list);
// The table of `filter` (empty for rfNearest).
WeightTable buildWeights(ResizeFilter filter, int64_t n, int64_t m);

// Resamples `src` to newWidth x newHeight. Fails with ekInvalid,
// "resize: non-positive dims" or "resize: dimensions too large", before any
// allocation.
Image resize(const Image& src, int64_t newWidth, int64_t newHeight, ResizeFilter filter);

}  // namespace kd::process
