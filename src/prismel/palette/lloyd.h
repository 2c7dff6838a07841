// The Lloyd iteration shared by k-means and its chroma-weighted variant.
// Internal to the palette code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "prismel/core/color.h"

namespace kd::prismel {

struct LloydRun {
  std::vector<Color> centroids;
  std::vector<uint32_t> labels;  // nearest centroid of every point, last assignment
};

// Up to maxIter rounds of: assign every point to its nearest centroid (lowest
// index on ties), then move every centroid with members to the (weighted)
// float64 mean of its members as an OKLab colour of alpha 1. Stops after a
// round whose largest move is below tol. `weights` is empty for plain means;
// otherwise one weight per point, and a cluster of total weight <= 0 stays.
// A mean that is not a valid colour gives `badCentroid`.
Result<LloydRun> lloydRefine(const std::vector<Color>& points, std::vector<Color> centroids,
                             const std::vector<double>& weights, int64_t maxIter, double tol,
                             const ColorError& badCentroid);

// Nearest centroid of every point (lowest index on ties).
std::vector<uint32_t> nearestLabels(const std::vector<Color>& points,
                                    const std::vector<Color>& centroids);

}  // namespace kd::prismel
