// Median cut: repeatedly halve the box of pixels with the widest component
// range, at its median along that component.
#include <algorithm>
#include <cmath>
#include <queue>
#include <utility>
#include <vector>

#include "prismel/image/common.h"

namespace kd::prismel {

namespace {

struct Run {
  size_t start = 0;
  size_t length = 0;
};

struct Extent {
  int axis = 0;
  double range = 0.0;
};

// Widest component range of a run; ties go to the lower axis.
Extent mcExtent(const std::vector<Color>& px, const std::vector<uint32_t>& idx, const Run& run) {
  std::array<double, 3> lo{}, hi{};
  for (int c = 0; c < 3; ++c) lo[c] = hi[c] = px[idx[run.start]].c[c];
  for (size_t i = run.start; i < run.start + run.length; ++i) {
    for (int c = 0; c < 3; ++c) {
      const double v = px[idx[i]].c[c];
      lo[c] = std::min(lo[c], v);
      hi[c] = std::max(hi[c], v);
    }
  }
  Extent e{0, hi[0] - lo[0]};
  for (int c = 1; c < 3; ++c) {
    if (hi[c] - lo[c] > e.range) e = {c, hi[c] - lo[c]};
  }
  return e;
}

// Splittable boxes ordered by extent, largest first; equal extents by list
// position, earliest first. The heap gives the same choice as scanning the
// whole list each round, without the quadratic cost for large n.
struct Candidate {
  double range;
  size_t box;
  int axis;
};
struct CandidateOrder {
  bool operator()(const Candidate& a, const Candidate& b) const {
    if (a.range != b.range) return a.range < b.range;
    return a.box > b.box;
  }
};

// NaN sorts after every number; equal values keep their order (stable sort).
bool componentLess(float a, float b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

}  // namespace

Result<Palette> medianCut(const ColorImage& img, int64_t n, const QuantizeOpts& opts) {
  if (auto bad = checkQuantizeInput(img, n, "medianCut")) return *bad;
  const std::vector<Color>& px = img.pixels;
  std::vector<uint32_t> idx(px.size());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<uint32_t>(i);

  std::vector<Run> boxes{Run{0, px.size()}};
  std::priority_queue<Candidate, std::vector<Candidate>, CandidateOrder> queue;
  auto offer = [&](size_t box) {
    if (boxes[box].length > 1) {
      const Extent e = mcExtent(px, idx, boxes[box]);
      queue.push({e.range, box, e.axis});
    }
  };
  using Keyed = std::pair<float, uint32_t>;
  std::vector<Keyed> keyed;
  offer(0);
  while (static_cast<int64_t>(boxes.size()) < n && !queue.empty()) {
    const Candidate chosen = queue.top();
    queue.pop();
    const Run run = boxes[chosen.box];
    const int axis = chosen.axis;
    // Stable sort of the run by the chosen component, on (key, index) pairs
    // gathered next to each other rather than through the index.
    keyed.resize(run.length);
    for (size_t i = 0; i < run.length; ++i) {
      const uint32_t at = idx[run.start + i];
      keyed[i] = {px[at].c[axis], at};
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
      return componentLess(a.first, b.first);
    });
    for (size_t i = 0; i < run.length; ++i) idx[run.start + i] = keyed[i].second;
    const size_t half = run.length / 2;
    boxes[chosen.box] = Run{run.start, half};
    boxes.push_back(Run{run.start + half, run.length - half});
    offer(chosen.box);
    offer(boxes.size() - 1);
  }

  std::vector<Color> colors;
  colors.reserve(boxes.size());
  for (const Run& run : boxes) {
    if (run.length == 0) continue;
    std::array<double, 3> sums{0.0, 0.0, 0.0};
    for (size_t i = run.start; i < run.start + run.length; ++i) {
      for (int c = 0; c < 3; ++c) sums[c] += px[idx[i]].c[c];
    }
    Result<Color> c = centroidColor(img, sums, static_cast<double>(run.length));
    if (!c.ok()) return c.error();
    colors.push_back(c.value());
  }
  if (colors.empty()) {
    return colorError(ceInvalidArgument, "medianCut: produced no colors", "medianCut");
  }
  return palette(kQuantizedPaletteTag, std::move(colors), 0, opts.seed);
}

}  // namespace kd::prismel
