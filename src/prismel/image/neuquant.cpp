// NeuQuant: a one-dimensional self-organising map on a ring of n neurons,
// trained on pixels drawn by the seeded generator.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "base/checked.h"
#include "prismel/image/common.h"
#include "prismel/palette/splitmix64.h"

namespace kd::prismel {

namespace {

using Triple = std::array<double, 3>;

// Hot loop: the neuron nearest to p by squared distance; ties go to the
// lower index.
size_t winner(const std::vector<Triple>& neurons, const Triple& p) {
  double best = std::numeric_limits<double>::infinity();
  size_t bestIndex = 0;
  for (size_t i = 0; i < neurons.size(); ++i) {
    const double d0 = p[0] - neurons[i][0], d1 = p[1] - neurons[i][1], d2 = p[2] - neurons[i][2];
    const double d = d0 * d0 + d1 * d1 + d2 * d2;
    if (d < best) {
      best = d;
      bestIndex = i;
    }
  }
  return bestIndex;
}

}  // namespace

Result<Palette> neuquant(const ColorImage& img, int64_t n, const QuantizeOpts& opts) {
  if (auto bad = checkQuantizeInput(img, n, "neuquant")) return *bad;
  // The pixels' float32 components widen exactly to the float64 points.
  const std::vector<Color>& px = img.pixels;
  const auto count = static_cast<int64_t>(px.size());
  auto point = [&](uint64_t i) -> Triple { return {px[i].c[0], px[i].c[1], px[i].c[2]}; };

  SplitMix64 gen = initSplitMix64(opts.seed ^ kSplitMixIncrement);
  std::vector<Triple> neurons;
  neurons.reserve(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) neurons.push_back(point(gen.nextIndex(px.size())));

  const int64_t steps = base::mulOrFail<int64_t>(count, std::max<int64_t>(1, opts.maxIter),
                                                  "neuquant: training step count overflows");
  const int64_t radius = n > 3 ? n / 2 : 1;
  const double total = static_cast<double>(steps);
  // Samples are drawn kAhead steps early so their pixels can be fetched
  // before they are needed: on a large image almost every sample misses the
  // cache. The generator serves nothing else, so the draws are unchanged.
  constexpr size_t kAhead = 16;
  std::array<uint64_t, kAhead> upcoming{};
  for (size_t i = 0; i < kAhead; ++i) {
    upcoming[i] = gen.nextIndex(px.size());
    __builtin_prefetch(&px[upcoming[i]]);
  }
  for (int64_t s = 0; s < steps; ++s) {
    const double f = 1.0 - static_cast<double>(s) / total;
    const double rate = 0.3 * f;
    if (rate <= 0) break;
    const size_t slot = static_cast<size_t>(s) % kAhead;
    const Triple p = point(upcoming[slot]);
    upcoming[slot] = gen.nextIndex(px.size());
    __builtin_prefetch(&px[upcoming[slot]]);
    const auto w = static_cast<int64_t>(winner(neurons, p));
    const int64_t r = std::max<int64_t>(1, static_cast<int64_t>(f * static_cast<double>(radius)));
    // Every neighbour moves by the same rate, in offset order; a neuron
    // reached twice around the ring moves twice. Offsets -r..r visit
    // ((w + j) mod n + n) mod n: start there and step round the ring.
    int64_t at = ((w - r) % n + n) % n;
    for (int64_t j = -r; j <= r; ++j) {
      Triple& nb = neurons[static_cast<size_t>(at)];
      for (int c = 0; c < 3; ++c) nb[c] = nb[c] + rate * (p[c] - nb[c]);
      if (++at == n) at = 0;
    }
  }

  std::vector<Color> colors;
  colors.reserve(neurons.size());
  for (const Triple& t : neurons) {
    Result<Color> c = color(img.workSpace, narrow(t[0]), narrow(t[1]), narrow(t[2]), 1.0f);
    if (!c.ok()) return c.error();
    colors.push_back(c.value());
  }
  return palette(kQuantizedPaletteTag, std::move(colors), 0, opts.seed);
}

}  // namespace kd::prismel
