// Wu's colour quantizer: a 16-bin-per-axis histogram of colour moments,
// cumulative moment tables, and repeated splitting of the box whose best cut
// removes the most variance.
#include <algorithm>
#include <cmath>
#include <memory>
#include <span>
#include <vector>

#include "base/memory.h"
#include "prismel/conversion/batch.h"
#include "prismel/conversion/distinct.h"
#include "prismel/image/quantizer.h"
#include "prismel/image/wu.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

constexpr int kBins = 16;            // occupied bins per axis: 1..16
constexpr int kSide = kBins + 1;     // bin 0 is a zero border
constexpr int kCells = kSide * kSide * kSide;

constexpr int cell(int i, int j, int k) { return (i * kSide + j) * kSide + k; }

using Moments = WuMoments;

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

// Running sums along axis 0, then 1, then 2, over bins 1..16.
void toPrefixSums(Moments& m) {
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
}

// Per-axis minimum and maximum of the components, taken colour by colour.
struct Ranges {
  std::array<double, 3> lo{}, hi{};
  bool empty = true;
  Ranges() = default;
  explicit Ranges(const std::vector<Color>& colors) {
    for (const Color& px : colors) include(px.c[0], px.c[1], px.c[2]);
  }
  void include(float c0, float c1, float c2) {
    const double v[3] = {c0, c1, c2};
    for (int c = 0; c < 3; ++c) {
      if (empty) {
        lo[c] = hi[c] = v[c];
      } else {
        if (v[c] < lo[c]) lo[c] = v[c];
        if (v[c] > hi[c]) hi[c] = v[c];
      }
    }
    empty = false;
  }
  int cellOf(const float* c) const {
    return cell(binOf(c[0], lo[0], hi[0]), binOf(c[1], lo[1], hi[1]), binOf(c[2], lo[2], hi[2]));
  }
  int cellOf(const Color& px) const { return cellOf(px.c.data()); }
};

// The five sums of one cell, added to pixel by pixel in pixel order.
struct CellSums {
  double w = 0, m0 = 0, m1 = 0, m2 = 0, q = 0;
  void add(const float* c) {
    const double c0 = c[0], c1 = c[1], c2 = c[2];
    w += 1.0;
    m0 += c0;
    m1 += c1;
    m2 += c2;
    q += c0 * c0 + c1 * c1 + c2 * c2;
  }
};

Moments fromCellSums(const std::vector<CellSums>& sums) {
  Moments m;
  for (size_t c = 0; c < sums.size(); ++c) {
    m.w[c] = sums[c].w;
    m.m0[c] = sums[c].m0;
    m.m1[c] = sums[c].m1;
    m.m2[c] = sums[c].m2;
    m.q[c] = sums[c].q;
  }
  toPrefixSums(m);
  return m;
}

Moments buildMoments(const std::vector<Color>& pixels) {
  const Ranges ranges(pixels);
  std::vector<CellSums> sums(kCells);
  for (const Color& px : pixels) sums[static_cast<size_t>(ranges.cellOf(px))].add(px.c.data());
  return fromCellSums(sums);
}

constexpr size_t kBlock = 512;

// Calls f(colours, n) on the pixels lifted into OKLab, up to kBlock at a time,
// in pixel order.
template <int kChannels, class F>
void forEachLiftedBlock(std::span<const uint8_t> samples, F&& f) {
  const size_t pixels = samples.size() / kChannels;
  for (size_t done = 0; done < pixels;) {
    const size_t m = std::min(kBlock, pixels - done);
    const std::vector<Color> lab =
        srgb8ToOklab(samples.subspan(done * kChannels, m * kChannels), kChannels, lmPerPixel)
            .value();
    f(lab.data(), m);
    done += m;
  }
}

// A distinct colour in OKLab and the histogram cell it falls in.
struct LiftedColor {
  float c[3];
  uint32_t cell;
};

// The moments of 8-bit sRGB samples lifted into OKLab, equal bit for bit to
// buildMoments over the lifted pixels, in a working set that does not grow
// with the picture's size. Everything that depends on the colour alone (the
// lift, the cell) is worked out once per distinct colour into a 16-byte
// record; the sums are then taken pixel by pixel, in pixel order, into the
// running sums of each cell: floating-point addition is not associative,
// and a count times a colour is not in general what adding it that many
// times gives. The records are ordered by colour key, so pixels of similar
// colours read nearby records.
// The ranges come from the distinct colours rather than the pixels: the same
// extremes, up to the sign of a zero, which does not change any bin.
template <int kChannels>
Moments buildMomentsSrgb8(std::span<const uint8_t> samples) {
  const DistinctColors set(samples, kChannels, /*listKeys=*/false);
  const size_t pixels = samples.size() / kChannels;
  std::vector<CellSums> sums(kCells);
  // Mostly distinct colours (noise): a record per colour would outweigh the
  // picture and save little work. The pixels are lifted a block at a time,
  // once for the ranges and once for the sums.
  if (set.size() > pixels / 2) {
    Ranges ranges;
    forEachLiftedBlock<kChannels>(samples, [&](const Color* lab, size_t n) {
      for (size_t j = 0; j < n; ++j) ranges.include(lab[j].c[0], lab[j].c[1], lab[j].c[2]);
    });
    forEachLiftedBlock<kChannels>(samples, [&](const Color* lab, size_t n) {
      for (size_t j = 0; j < n; ++j) {
        sums[static_cast<size_t>(ranges.cellOf(lab[j]))].add(lab[j].c.data());
      }
    });
    return fromCellSums(sums);
  }
  std::unique_ptr<LiftedColor[]> lifted(new LiftedColor[set.size()]);  // written before read
  // Read at random, one record a pixel: huge pages spare most TLB misses.
  base::adviseHugePages(lifted.get(), set.size() * sizeof(LiftedColor));
  size_t filled = 0;
  Ranges ranges;
  set.forEachKeyBlock([&](const uint32_t* keys, size_t n) {
    const std::vector<Color> lab = liftColorKeys(std::span<const uint32_t>(keys, n));
    for (size_t j = 0; j < n; ++j, ++filled) {
      const Color& c = lab[j];
      lifted[filled] = {{c.c[0], c.c[1], c.c[2]}, 0};
      ranges.include(c.c[0], c.c[1], c.c[2]);
    }
  });
  for (size_t i = 0; i < filled; ++i) {
    lifted[i].cell = static_cast<uint32_t>(ranges.cellOf(lifted[i].c));
  }
  // A batch at a time: the records of the next batch are looked up and
  // fetched while this one is summed. The sums of the cell of the last pixel
  // stay in registers while the pixels that follow it fall in the same cell
  // (long stretches of a photo do).
  constexpr size_t kBatch = 64;
  uint32_t index[2][kBatch];
  auto fetch = [&](size_t from, uint32_t* out) {
    const size_t m = std::min(kBatch, pixels - from);
    if (from + m < pixels) {
      set.prefetch(samples.data() + (from + m) * kChannels, std::min(kBatch, pixels - from - m),
                   kChannels);
    }
    set.indexPixels(samples.data() + from * kChannels, m, kChannels, out);
    for (size_t j = 0; j < m; ++j) __builtin_prefetch(&lifted[out[j]]);
  };
  uint32_t current = lifted[set.indexOf(colorKey(samples.data(), kChannels))].cell;
  CellSums run = sums[current];
  fetch(0, index[0]);
  for (size_t done = 0, b = 0; done < pixels; done += kBatch, b ^= 1) {
    const size_t m = std::min(kBatch, pixels - done);
    if (done + m < pixels) fetch(done + m, index[b ^ 1]);
    for (size_t j = 0; j < m; ++j) {
      const LiftedColor& px = lifted[index[b][j]];
      if (px.cell != current) {
        sums[current] = run;
        current = px.cell;
        run = sums[current];
      }
      run.add(px.c);
    }
  }
  sums[current] = run;
  return fromCellSums(sums);
}

// Splits boxes until there are n or no cut gains anything, then gives the
// mean colour of every non-empty box in the space `space`.
Result<Palette> cutBoxes(const Moments& m, int64_t n, SpaceTag space, const QuantizeOpts& opts) {
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
        color(space, narrow(s.s0 / s.w), narrow(s.s1 / s.w), narrow(s.s2 / s.w), 1.0f);
    if (!c.ok()) return c.error();
    colors.push_back(c.value());
  }
  if (colors.empty()) {
    return colorError(ceInvalidArgument, "wu: produced no colors (degenerate image)", "computeWu");
  }
  return palette(kQuantizedPaletteTag, std::move(colors), 0, opts.seed);
}

}  // namespace

WuMoments::WuMoments() : w(kCells), m0(kCells), m1(kCells), m2(kCells), q(kCells) {}

WuMoments wuMoments(const std::vector<Color>& pixels) { return buildMoments(pixels); }

WuMoments wuMomentsSrgb8(std::span<const uint8_t> samples, int channels) {
  return channels == 1   ? buildMomentsSrgb8<1>(samples)
         : channels == 3 ? buildMomentsSrgb8<3>(samples)
                         : buildMomentsSrgb8<4>(samples);
}

Result<Palette> computeWu(const ColorImage& img, int64_t n, const QuantizeOpts& opts) {
  if (img.pixels.empty()) return colorError(ceInvalidImage, "wu: empty image", "computeWu");
  return cutBoxes(buildMoments(img.pixels), n, img.workSpace, opts);
}

Result<Palette> computeWuSrgb8(std::span<const uint8_t> samples, int channels, int64_t n,
                               const QuantizeOpts& opts) {
  if (samples.empty()) return colorError(ceInvalidImage, "wu: empty image", "computeWu");
  if ((channels != 1 && channels != 3 && channels != 4) ||
      samples.size() % static_cast<size_t>(channels) != 0) {
    return colorError(ceInvalidArgument, "wu: bad channel count or sample length", "computeWu");
  }
  return cutBoxes(wuMomentsSrgb8(samples, channels), n, kOklab, opts);
}

}  // namespace kd::prismel
