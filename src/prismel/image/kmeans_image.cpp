// The "kmeans" and "kmeansPP" quantizers: k-means over every pixel, or the
// chroma-weighted refinement of the initial centroids.
#include <algorithm>
#include <cmath>

#include "prismel/image/quantizer.h"
#include "prismel/palette/kmeans.h"
#include "prismel/palette/lloyd.h"

namespace kd::prismel {

namespace {

constexpr SpaceTag kOklab = 15;
constexpr double kTolerance = 1e-4;

}  // namespace

Result<std::vector<Color>> initCentroids(const ColorImage& img, int64_t n, uint64_t seed,
                                         bool plusPlus) {
  Result<KmeansResult> run = kmeans(img.pixels, KmeansConfig{seed, n, 0, plusPlus, kTolerance, 1});
  if (!run.ok()) return run.error();
  return run.value().palette.colors();
}

Result<std::vector<Color>> weightedLloyd(const ColorImage& img, std::vector<Color> centroids,
                                         const std::vector<double>& weights, int64_t maxIter,
                                         bool /*parallel*/, double tol, int64_t /*threads*/) {
  // Every computation runs on the calling thread; the parallelism request
  // cannot change the result.
  Result<LloydRun> run = lloydRefine(
      img.pixels, std::move(centroids), weights, maxIter, tol,
      colorError(ceInvalidArgument, "weightedLloyd: centroid update produced invalid comps",
                 "weightedLloyd"));
  if (!run.ok()) return run.error();
  return std::move(run.value().centroids);
}

Result<Palette> computeKmeansImage(const ColorImage& img, int64_t n, const QuantizeOpts& opts,
                                   bool plusPlus) {
  const auto count = static_cast<int64_t>(img.pixels.size());
  if (count == 0) return colorError(ceInvalidImage, "kmeans: empty image", "computeKmeansImage");
  if (img.workSpace != kOklab) {
    return colorError(ceInvalidArgument,
                      "kmeans: requires OKLab work space, got " + spaceTagText(img.workSpace),
                      "computeKmeansImage");
  }
  if (count < n) {
    return colorError(ceInvalidArgument,
                      "kmeans: n (" + std::to_string(n) + ") > pixel count (" +
                          std::to_string(count) + ")",
                      "computeKmeansImage");
  }
  const int64_t threads = opts.parallel ? std::max<int64_t>(1, opts.threads) : 1;
  if (!opts.weighted) {
    Result<KmeansResult> run =
        kmeans(img.pixels, KmeansConfig{opts.seed, n, opts.maxIter, plusPlus, kTolerance, threads});
    if (!run.ok()) return run.error();
    return std::move(run.value().palette);
  }
  // The weighted path starts from a zero-iteration k-means, which would never
  // look at the iteration cap: refuse a negative one here, as the plain path
  // does.
  if (opts.maxIter < 0) {
    return colorError(ceInvalidValue,
                      "kmeans: maxIter must be >= 0, got " + std::to_string(opts.maxIter),
                      "kmeans");
  }
  Result<std::vector<Color>> start = initCentroids(img, n, opts.seed, plusPlus);
  if (!start.ok()) return start.error();
  std::vector<double> weights;
  weights.reserve(img.pixels.size());
  for (const Color& px : img.pixels) {
    const double a = px.c[1], b = px.c[2];
    weights.push_back(std::sqrt(a * a + b * b) + 1.0);
  }
  Result<std::vector<Color>> refined = weightedLloyd(
      img, std::move(start.value()), weights, opts.maxIter, opts.parallel, kTolerance, threads);
  if (!refined.ok()) return refined.error();
  return palette(kQuantizedPaletteTag, std::move(refined.value()), 0, opts.seed);
}

}  // namespace kd::prismel
