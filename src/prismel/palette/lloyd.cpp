#include "prismel/palette/lloyd.h"

#include <cmath>
#include <limits>

namespace kd::prismel {

namespace {

constexpr SpaceTag kOklab = 15;

// Centroids as float64 columns, so the distance loop over them vectorises.
struct CentroidColumns {
  std::vector<double> x, y, z;
  explicit CentroidColumns(const std::vector<Color>& cs) {
    for (const Color& c : cs) {
      x.push_back(c.c[0]);
      y.push_back(c.c[1]);
      z.push_back(c.c[2]);
    }
  }
};

// Hot loop: one pass over the points, k distances each. The distance is
// d0² + d1² + d2² summed left to right in float64, exactly as sqDist.
void assign(const std::vector<Color>& points, const CentroidColumns& cc,
            std::vector<uint32_t>& labels) {
  const size_t k = cc.x.size();
  const double* cx = cc.x.data();
  const double* cy = cc.y.data();
  const double* cz = cc.z.data();
  std::vector<double> dist(k);
  double* d = dist.data();
  for (size_t j = 0; j < points.size(); ++j) {
    const double px = points[j].c[0], py = points[j].c[1], pz = points[j].c[2];
    for (size_t c = 0; c < k; ++c) {
      const double d0 = px - cx[c], d1 = py - cy[c], d2 = pz - cz[c];
      d[c] = d0 * d0 + d1 * d1 + d2 * d2;
    }
    double best = std::numeric_limits<double>::infinity();
    uint32_t bestIndex = 0;
    for (size_t c = 0; c < k; ++c) {
      if (d[c] < best) {
        best = d[c];
        bestIndex = static_cast<uint32_t>(c);
      }
    }
    labels[j] = bestIndex;
  }
}

double moveOf(const Color& a, const Color& b) {
  const double d0 = static_cast<double>(a.c[0]) - static_cast<double>(b.c[0]);
  const double d1 = static_cast<double>(a.c[1]) - static_cast<double>(b.c[1]);
  const double d2 = static_cast<double>(a.c[2]) - static_cast<double>(b.c[2]);
  return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}

}  // namespace

std::vector<uint32_t> nearestLabels(const std::vector<Color>& points,
                                    const std::vector<Color>& centroids) {
  std::vector<uint32_t> labels(points.size());
  assign(points, CentroidColumns(centroids), labels);
  return labels;
}

Result<LloydRun> lloydRefine(const std::vector<Color>& points, std::vector<Color> centroids,
                             const std::vector<double>& weights, int64_t maxIter, double tol,
                             const ColorError& badCentroid) {
  const bool weighted = !weights.empty();
  const size_t k = centroids.size();
  LloydRun run;
  run.labels.assign(points.size(), 0);
  std::vector<double> s0(k), s1(k), s2(k), total(k);
  for (int64_t iter = 0; iter < maxIter; ++iter) {
    assign(points, CentroidColumns(centroids), run.labels);
    std::fill(s0.begin(), s0.end(), 0.0);
    std::fill(s1.begin(), s1.end(), 0.0);
    std::fill(s2.begin(), s2.end(), 0.0);
    std::fill(total.begin(), total.end(), 0.0);
    if (weighted) {
      for (size_t j = 0; j < points.size(); ++j) {
        const uint32_t c = run.labels[j];
        const double w = weights[j];
        s0[c] += w * points[j].c[0];
        s1[c] += w * points[j].c[1];
        s2[c] += w * points[j].c[2];
        total[c] += w;
      }
    } else {
      for (size_t j = 0; j < points.size(); ++j) {
        const uint32_t c = run.labels[j];
        s0[c] += points[j].c[0];
        s1[c] += points[j].c[1];
        s2[c] += points[j].c[2];
        total[c] += 1.0;
      }
    }
    double largestMove = 0.0;
    for (size_t c = 0; c < k; ++c) {
      if (!(total[c] > 0)) continue;  // no members: the centroid stays
      Result<Color> moved = color(kOklab, narrow(s0[c] / total[c]), narrow(s1[c] / total[c]),
                                  narrow(s2[c] / total[c]), 1.0f);
      if (!moved.ok()) return badCentroid;
      const double move = moveOf(centroids[c], moved.value());
      if (move > largestMove) largestMove = move;
      centroids[c] = moved.value();
    }
    if (largestMove < tol) break;
  }
  if (maxIter <= 0) run.labels = nearestLabels(points, centroids);
  run.centroids = std::move(centroids);
  return run;
}

}  // namespace kd::prismel
