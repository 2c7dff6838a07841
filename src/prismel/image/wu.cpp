// Wu's colour quantizer: a 16-bin-per-axis histogram of colour moments,
// cumulative moment tables, and repeated splitting of the box whose best cut
// removes the most variance.
#include <cmath>
#include <vector>

#include "prismel/image/quantizer.h"

namespace kd::prismel {

namespace {

constexpr int kBins = 16;            // occupied bins per axis: 1..16
constexpr int kSide = kBins + 1;     // bin 0 is a zero border
constexpr int kCells = kSide * kSide * kSide;

constexpr int cell(int i, int j, int k) { return (i * kSide + j) * kSide + k; }

// The five moment tables: pixel count, the three component sums and the sum
// of squared components, turned into 3-D prefix sums.
struct Moments {
  std::vector<double> w, m0, m1, m2, q;
  Moments() : w(kCells), m0(kCells), m1(kCells), m2(kCells), q(kCells) {}
};

// Inclusive bin ranges per axis in 0..15; bin b is histogram bin b + 1.
struct Box {
  std::array<int, 3> lo{0, 0, 0};
  std::array<int, 3> hi{kBins - 1, kBins - 1, kBins - 1};
};

struct BoxSums {
  double w = 0, s0 = 0, s1 = 0, s2 = 0, q = 0;
};

struct Cut {
  double gain = -1.0;
  int axis = -1;
  int pos = 0;
};

double boxSum(const std::vector<double>& t, const Box& b) {
  const int a0 = b.lo[0], a1 = b.lo[1], a2 = b.lo[2];
  const int b0 = b.hi[0] + 1, b1 = b.hi[1] + 1, b2 = b.hi[2] + 1;
  return t[cell(b0, b1, b2)] - t[cell(a0, b1, b2)] - t[cell(b0, a1, b2)] - t[cell(b0, b1, a2)] +
         t[cell(a0, a1, b2)] + t[cell(a0, b1, a2)] + t[cell(b0, a1, a2)] - t[cell(a0, a1, a2)];
}

BoxSums sumsOf(const Moments& m, const Box& b) {
  return {boxSum(m.w, b), boxSum(m.m0, b), boxSum(m.m1, b), boxSum(m.m2, b), boxSum(m.q, b)};
}

// W·Q − |S|² (zero for an empty box).
double variance(const BoxSums& s) {
  if (!(s.w > 0)) return 0.0;
  return s.w * s.q - (s.s0 * s.s0 + s.s1 * s.s1 + s.s2 * s.s2);
}

Cut bestCut(const Moments& m, const Box& box) {
  Cut best;
  const double whole = variance(sumsOf(m, box));
  for (int axis = 0; axis < 3; ++axis) {
    for (int p = box.lo[axis]; p < box.hi[axis]; ++p) {
      Box a = box, b = box;
      a.hi[axis] = p;
      b.lo[axis] = p + 1;
      const BoxSums sa = sumsOf(m, a), sb = sumsOf(m, b);
      if (!(sa.w > 0 && sb.w > 0)) continue;
      const double gain = whole - variance(sa) - variance(sb);
      if (gain > best.gain) best = {gain, axis, p};
    }
  }
  return best;
}

// 1..16; a component equal to the maximum lands in bin 16.
int binOf(double v, double lo, double hi) {
  if (hi <= lo) return 1;
  const double t = std::floor((v - lo) / (hi - lo) * 16.0);
  if (t < 0) return 1;
  if (t < 16) return static_cast<int>(t) + 1;
  return kBins;
}

Moments buildMoments(const std::vector<Color>& pixels) {
  std::array<double, 3> lo{}, hi{};
  for (int c = 0; c < 3; ++c) lo[c] = hi[c] = pixels.front().c[c];
  for (const Color& px : pixels) {
    for (int c = 0; c < 3; ++c) {
      const double v = px.c[c];
      if (v < lo[c]) lo[c] = v;
      if (v > hi[c]) hi[c] = v;
    }
  }
  Moments m;
  for (const Color& px : pixels) {
    const double c0 = px.c[0], c1 = px.c[1], c2 = px.c[2];
    const int at = cell(binOf(c0, lo[0], hi[0]), binOf(c1, lo[1], hi[1]), binOf(c2, lo[2], hi[2]));
    m.w[at] += 1.0;
    m.m0[at] += c0;
    m.m1[at] += c1;
    m.m2[at] += c2;
    m.q[at] += c0 * c0 + c1 * c1 + c2 * c2;
  }
  // Running sums along axis 0, then 1, then 2, over bins 1..16.
  for (std::vector<double>* t : {&m.w, &m.m0, &m.m1, &m.m2, &m.q}) {
    std::vector<double>& v = *t;
    for (int i = 2; i < kSide; ++i)
      for (int j = 1; j < kSide; ++j)
        for (int k = 1; k < kSide; ++k) v[cell(i, j, k)] += v[cell(i - 1, j, k)];
    for (int i = 1; i < kSide; ++i)
      for (int j = 2; j < kSide; ++j)
        for (int k = 1; k < kSide; ++k) v[cell(i, j, k)] += v[cell(i, j - 1, k)];
    for (int i = 1; i < kSide; ++i)
      for (int j = 1; j < kSide; ++j)
        for (int k = 2; k < kSide; ++k) v[cell(i, j, k)] += v[cell(i, j, k - 1)];
  }
  return m;
}

}  // namespace

Result<Palette> computeWu(const ColorImage& img, int64_t n, const QuantizeOpts& opts) {
  if (img.pixels.empty()) return colorError(ceInvalidImage, "wu: empty image", "computeWu");
  const Moments m = buildMoments(img.pixels);

  std::vector<Box> boxes{Box{}};
  std::vector<Cut> cuts{bestCut(m, boxes.front())};
  while (static_cast<int64_t>(boxes.size()) < n) {
    // The first box with the strictly largest gain above 1e-12.
    int chosen = -1;
    double bestGain = 1e-12;
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (cuts[i].axis >= 0 && cuts[i].gain > bestGain) {
        bestGain = cuts[i].gain;
        chosen = static_cast<int>(i);
      }
    }
    if (chosen < 0) break;
    const Cut cut = cuts[chosen];
    Box upper = boxes[chosen];
    boxes[chosen].hi[cut.axis] = cut.pos;
    upper.lo[cut.axis] = cut.pos + 1;
    boxes.push_back(upper);
    cuts[chosen] = bestCut(m, boxes[chosen]);
    cuts.push_back(bestCut(m, upper));
  }

  std::vector<Color> colors;
  colors.reserve(boxes.size());
  for (const Box& box : boxes) {
    const BoxSums s = sumsOf(m, box);
    if (!(s.w > 0)) continue;
    Result<Color> c =
        color(img.workSpace, narrow(s.s0 / s.w), narrow(s.s1 / s.w), narrow(s.s2 / s.w), 1.0f);
    if (!c.ok()) return c.error();
    colors.push_back(c.value());
  }
  if (colors.empty()) {
    return colorError(ceInvalidArgument, "wu: produced no colors (degenerate image)", "computeWu");
  }
  return palette(kQuantizedPaletteTag, std::move(colors), 0, opts.seed);
}

}  // namespace kd::prismel
