// The quantizer registry and the quantizers behind it. Every quantizer takes
// the work image (already in its work space), the requested colour count and
// the options, and builds its result with palette(): tag 1, intent 0, the
// options' seed, no roles. All of them are deterministic: the same image, n,
// options and name always give the same palette, bit for bit.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "prismel/image/color_image.h"
#include "prismel/palette/palette.h"

namespace kd::prismel {

using QuantizeProc = Result<Palette> (*)(const ColorImage& img, int64_t n,
                                         const QuantizeOpts& opts, const void* env);

struct QuantizeAlgo {
  std::string name;
  QuantizeProc proc = nullptr;
  const void* env = nullptr;  // passed back to proc on every call
};

// Refuses (false, table unchanged) an empty name, a missing procedure or a
// name already present. Names compare byte for byte.
bool registerQuantizeAlgo(const QuantizeAlgo& algo);
std::optional<QuantizeAlgo> lookupQuantizeAlgo(std::string_view name);

// Fills the registry with the built-in algorithms in their fixed order
// ("wu", "kmeans", "kmeansPP", "medianCut", "octree", "neuquant"). Runs once;
// lookups call it too, so the table is never seen empty.
void initQuantizers();

// Runs the named algorithm on img, first converting img into workSpace unless
// it is already there. Errors: n <= 0, an unknown name, conversion failures,
// and whatever the algorithm reports.
Result<Palette> extractPalette(const ColorImage& img, int64_t n, std::string_view algorithm,
                               SpaceTag workSpace, const QuantizeOpts& opts);

// ---- The quantizers -------------------------------------------------------

// Wu's variance-minimising box cut over a 16-bin-per-axis moment histogram.
Result<Palette> computeWu(const ColorImage& img, int64_t n, const QuantizeOpts& opts);

// computeWu on interleaved 8-bit sRGB samples (channels 1, 3 or 4) lifted into
// OKLab, without the lifted picture: the same palette, bit for bit, as
// computeWu on the ColorImage that srgb8ToOklab gives.
Result<Palette> computeWuSrgb8(std::span<const uint8_t> samples, int channels, int64_t n,
                               const QuantizeOpts& opts);

// k-means over all pixels ("kmeans": random start, "kmeansPP": k-means++),
// or the chroma-weighted refinement when opts.weighted is set. OKLab only.
Result<Palette> computeKmeansImage(const ColorImage& img, int64_t n, const QuantizeOpts& opts,
                                   bool plusPlus);

// Initial centroids only: k-means with maxIter 0 over all pixels.
Result<std::vector<Color>> initCentroids(const ColorImage& img, int64_t n, uint64_t seed,
                                         bool plusPlus);

// Lloyd refinement in which each pixel counts with its weight. Pixels are used
// as they are; centroids come back as OKLab colours of alpha 1.
Result<std::vector<Color>> weightedLloyd(const ColorImage& img, std::vector<Color> centroids,
                                         const std::vector<double>& weights, int64_t maxIter,
                                         bool parallel, double tol, int64_t threads);

Result<Palette> medianCut(const ColorImage& img, int64_t n, const QuantizeOpts& opts);
Result<Palette> octree(const ColorImage& img, int64_t n, const QuantizeOpts& opts);
Result<Palette> neuquant(const ColorImage& img, int64_t n, const QuantizeOpts& opts);

// The mean colour (sum / weight) in the image's work space, alpha 1; a weight
// <= 0 is an empty box.
Result<Color> centroidColor(const ColorImage& img, const std::array<double, 3>& sums,
                            double weight);

}  // namespace kd::prismel
