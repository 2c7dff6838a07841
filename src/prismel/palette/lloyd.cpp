#include "prismel/palette/lloyd.h"

#include <cmath>
#include <limits>

namespace kd::prismel {

namespace {

constexpr SpaceTag kOklab = 15;

// A point's components alone: 12 bytes instead of a 20-byte Color, so each
// round streams less memory.
struct Point3 {
  float c[3];
};

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

// Hamerly's bounds: for every point an upper bound on its distance to its
// centroid and a lower bound on its distance to every other centroid, moved
// by the centroid moves of each round. A point whose bounds are apart by far
// more than the rounding of the distance computation keeps its centroid: its
// true distances are strictly ordered with that margin, so the full search
// would pick the same centroid (and could not meet a tie). Every other point
// gets the full search, so the labels are exactly those of assign().
class Bounds {
 public:
  explicit Bounds(size_t count) : upper_(count), lower_(count) {}

  // Full search for one point; also resets its bounds.
  void recompute(const Point3& p, const CentroidColumns& cc, uint32_t& label, size_t j) {
    const size_t k = cc.x.size();
    const double px = p.c[0], py = p.c[1], pz = p.c[2];
    double best = std::numeric_limits<double>::infinity();
    double second = std::numeric_limits<double>::infinity();
    uint32_t bestIndex = 0;
    for (size_t c = 0; c < k; ++c) {
      const double d0 = px - cc.x[c], d1 = py - cc.y[c], d2 = pz - cc.z[c];
      const double d = d0 * d0 + d1 * d1 + d2 * d2;
      if (d < best) {
        second = best;
        best = d;
        bestIndex = static_cast<uint32_t>(c);
      } else if (d < second) {
        second = d;
      }
    }
    label = bestIndex;
    upper_[j] = std::sqrt(best);
    lower_[j] = std::sqrt(second);
  }

  void reassign(const std::vector<Point3>& points, const CentroidColumns& cc,
                const std::vector<double>& moves, std::vector<uint32_t>& labels) {
    // Largest and second largest move: the lower bound of a point drops by
    // the largest move of any centroid other than its own.
    double max1 = 0.0, max2 = 0.0;
    size_t arg1 = 0;
    for (size_t c = 0; c < moves.size(); ++c) {
      if (moves[c] > max1) {
        max2 = max1;
        max1 = moves[c];
        arg1 = c;
      } else if (moves[c] > max2) {
        max2 = moves[c];
      }
    }
    for (size_t j = 0; j < points.size(); ++j) {
      const uint32_t a = labels[j];
      const double u = upper_[j] + moves[a];
      const double l = lower_[j] - (a == arg1 ? max2 : max1);
      lower_[j] = l;
      if (clearlyBelow(u, l)) {
        upper_[j] = u;
        continue;
      }
      const Point3& p = points[j];
      const double d0 = p.c[0] - cc.x[a], d1 = p.c[1] - cc.y[a], d2 = p.c[2] - cc.z[a];
      upper_[j] = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
      if (clearlyBelow(upper_[j], l)) continue;
      recompute(p, cc, labels[j], j);
    }
  }

 private:
  static bool clearlyBelow(double u, double l) { return u * (1 + 1e-9) < l * (1 - 1e-9); }

  std::vector<double> upper_, lower_;
};

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
  if (maxIter <= 0) {
    run.labels = nearestLabels(points, centroids);
    run.centroids = std::move(centroids);
    return run;
  }
  run.labels.assign(points.size(), 0);
  std::vector<Point3> compact(points.size());
  for (size_t j = 0; j < points.size(); ++j) {
    compact[j] = Point3{{points[j].c[0], points[j].c[1], points[j].c[2]}};
  }
  Bounds bounds(points.size());
  std::vector<double> s0(k), s1(k), s2(k), total(k), moves(k, 0.0);
  for (int64_t iter = 0; iter < maxIter; ++iter) {
    const CentroidColumns cc(centroids);
    if (iter == 0) {
      for (size_t j = 0; j < compact.size(); ++j) bounds.recompute(compact[j], cc, run.labels[j], j);
    } else {
      bounds.reassign(compact, cc, moves, run.labels);
    }
    std::fill(s0.begin(), s0.end(), 0.0);
    std::fill(s1.begin(), s1.end(), 0.0);
    std::fill(s2.begin(), s2.end(), 0.0);
    std::fill(total.begin(), total.end(), 0.0);
    if (weighted) {
      for (size_t j = 0; j < points.size(); ++j) {
        const uint32_t c = run.labels[j];
        const double w = weights[j];
        s0[c] += w * compact[j].c[0];
        s1[c] += w * compact[j].c[1];
        s2[c] += w * compact[j].c[2];
        total[c] += w;
      }
    } else {
      for (size_t j = 0; j < points.size(); ++j) {
        const uint32_t c = run.labels[j];
        s0[c] += compact[j].c[0];
        s1[c] += compact[j].c[1];
        s2[c] += compact[j].c[2];
        total[c] += 1.0;
      }
    }
    double largestMove = 0.0;
    for (size_t c = 0; c < k; ++c) {
      moves[c] = 0.0;
      if (!(total[c] > 0)) continue;  // no members: the centroid stays
      Result<Color> moved = color(kOklab, narrow(s0[c] / total[c]), narrow(s1[c] / total[c]),
                                  narrow(s2[c] / total[c]), 1.0f);
      if (!moved.ok()) return badCentroid;
      moves[c] = moveOf(centroids[c], moved.value());
      if (moves[c] > largestMove) largestMove = moves[c];
      centroids[c] = moved.value();
    }
    if (largestMove < tol) break;
  }
  run.centroids = std::move(centroids);
  return run;
}

}  // namespace kd::prismel
