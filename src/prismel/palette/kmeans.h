// Seeded, deterministic k-means clustering of colours in OKLab.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prismel/palette/palette.h"
#include "prismel/palette/splitmix64.h"

namespace kd::prismel {

struct KmeansConfig {
  uint64_t seed = 0;
  int64_t k = 1;
  int64_t maxIter = 20;  // Lloyd iterations; 0 = initial centroids only
  bool plusPlus = false; // k-means++ start instead of random points
  double tol = 1e-4;     // stop once the largest centroid move is below this
  int64_t threads = 1;   // >= 1; never changes the result
};

struct KmeansResult {
  Palette palette;                // the centroids in index order, OKLab
  std::vector<uint32_t> labels;   // cluster of every point
};

// Squared Euclidean distance of the three components, in float64.
inline double sqDist(const Color& a, const Color& b) {
  const double d0 = static_cast<double>(a.c[0]) - static_cast<double>(b.c[0]);
  const double d1 = static_cast<double>(a.c[1]) - static_cast<double>(b.c[1]);
  const double d2 = static_cast<double>(a.c[2]) - static_cast<double>(b.c[2]);
  return d0 * d0 + d1 * d1 + d2 * d2;
}

// ΔE in OKLab, unscaled: the square root of sqDist.
double deltaE_ok(const Color& a, const Color& b);

// Every point is first converted into OKLab through the conversion hub (an
// OKLab point too goes round through XYZ). Errors where "kmeans": no points,
// k < 1, k above the point count, maxIter < 0, threads < 1.
Result<KmeansResult> kmeans(const std::vector<Color>& points, const KmeansConfig& config);

// Initial centroids: k points picked by the generator (repetitions possible),
// or by k-means++ weighting with the squared distance to the nearest centroid.
std::vector<Color> randomInit(SplitMix64& gen, const std::vector<Color>& points, int64_t k);
std::vector<Color> kppInit(SplitMix64& gen, const std::vector<Color>& points, int64_t k);

// Registry of point-set clustering procedures; "kmeans" is built in.
using KmeansProc = Result<KmeansResult> (*)(const std::vector<Color>&, const KmeansConfig&);
bool registerKmeansAlgo(const std::string& name, KmeansProc proc);
std::optional<KmeansProc> kmeansByName(std::string_view name);
void initKmeans();

}  // namespace kd::prismel
