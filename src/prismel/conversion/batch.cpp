#include "prismel/conversion/batch.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "prismel/conversion/distinct.h"
#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hub.h"
#include "prismel/conversion/lift.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

// The decoded value of an sRGB component, from the table when it is one of
// the 256 quotients v / 255.0f.
double decodeComponent(const LiftTables& t, float f) {
  const float scaled = f * 255.0f;
  if (scaled >= 0.0f && scaled <= 255.0f) {
    const int v = static_cast<int>(std::lround(scaled));
    if (static_cast<float>(v) / 255.0f == f) return t.decoded[v];
  }
  return decodeTransfer(kTransferSrgb, 0, f);
}


}  // namespace

namespace {

constexpr size_t kBlock = 512;

void liftBlock(const LiftTables& t, bool avx2, const uint8_t* samples, size_t n, int channels,
               Color* out) {
  if (avx2) {
    liftAvx2(t, samples, n, channels, out);
  } else {
    liftScalar(t, samples, n, channels, out);
  }
}

// Pixel by pixel, a block at a time into a small buffer appended to the
// result, so the (large) result is written once rather than value-initialised
// first.
void liftPerPixel(std::span<const uint8_t> samples, int channels, std::vector<Color>& out) {
  const size_t step = static_cast<size_t>(channels);
  const size_t n = samples.size() / step;
  const LiftTables& t = liftTables();
  const bool avx2 = cpuHasAvx2();
  Color block[kBlock];
  for (size_t done = 0; done < n;) {
    const size_t m = std::min(kBlock, n - done);
    liftBlock(t, avx2, samples.data() + done * step, m, channels, block);
    out.insert(out.end(), block, block + m);
    done += m;
  }
}

// One lift per distinct colour, then a lookup per pixel; alpha, which the
// lift carries through untouched, is set per pixel as the lift sets it.
template <int kChannels>
void expandDistinct(std::span<const uint8_t> samples, std::vector<Color>& out) {
  const DistinctColors set(samples, kChannels);
  const std::vector<Color> lab = liftColorKeys(set.keys());
  const uint8_t* p = samples.data();
  const size_t n = samples.size() / kChannels;
  Color block[kBlock];
  for (size_t done = 0; done < n;) {
    const size_t m = std::min(kBlock, n - done);
    for (size_t j = 0; j < m; ++j, p += kChannels) {
      block[j] = lab[set.indexOf(colorKey(p, kChannels))];
      if constexpr (kChannels == 4) block[j].alpha = static_cast<float>(p[3]) / 255.0f;
    }
    out.insert(out.end(), block, block + m);
    done += m;
  }
}

}  // namespace

std::vector<Color> liftColorKeys(std::span<const uint32_t> keys) {
  std::vector<Color> out(keys.size());
  const LiftTables& t = liftTables();
  const bool avx2 = cpuHasAvx2();
  uint8_t rgb[kBlock * 3];
  for (size_t done = 0; done < keys.size();) {
    const size_t m = std::min(kBlock, keys.size() - done);
    for (size_t j = 0; j < m; ++j) {
      colorOfKey(keys[done + j], rgb[3 * j], rgb[3 * j + 1], rgb[3 * j + 2]);
    }
    liftBlock(t, avx2, rgb, m, 3, out.data() + done);
    done += m;
  }
  return out;
}

Result<std::vector<Color>> srgb8ToOklab(std::span<const uint8_t> samples, int channels) {
  return srgb8ToOklab(samples, channels, lmAuto);
}

Result<std::vector<Color>> srgb8ToOklab(std::span<const uint8_t> samples, int channels,
                                        LiftMethod method) {
  if ((channels != 1 && channels != 3 && channels != 4) ||
      samples.size() % static_cast<size_t>(channels) != 0) {
    return colorError(ceInvalidArgument, "srgb8ToOklab: bad channel count or sample length",
                      "batch");
  }
  const size_t n = samples.size() / static_cast<size_t>(channels);
  if (method == lmAuto) method = n >= kDistinctLiftFrom ? lmPerDistinctColor : lmPerPixel;
  std::vector<Color> out;
  out.reserve(n);
  base::adviseHugePages(out.data(), n * sizeof(Color));
  if (method == lmPerPixel || n == 0) {
    liftPerPixel(samples, channels, out);
  } else if (channels == 1) {
    expandDistinct<1>(samples, out);
  } else if (channels == 3) {
    expandDistinct<3>(samples, out);
  } else {
    expandDistinct<4>(samples, out);
  }
  return out;
}

Result<std::vector<Color>> convertColors(std::span<const Color> colors, SpaceTag target) {
  std::vector<Color> out;
  out.reserve(colors.size());
  const LiftTables* fast = target == kOklab ? &liftTables() : nullptr;
  for (const Color& c : colors) {
    // The fast path covers components whose results stay far inside float
    // range; anything else takes the hub with its checks.
    const auto modest = [](float v) { return v >= -16.0f && v <= 16.0f; };
    if (fast != nullptr && c.space == kSrgb && modest(c.c[0]) && modest(c.c[1]) &&
        modest(c.c[2])) {
      out.push_back(liftDecoded(*fast, decodeComponent(*fast, c.c[0]),
                                decodeComponent(*fast, c.c[1]), decodeComponent(*fast, c.c[2]),
                                c.alpha));
      continue;
    }
    Result<Color> r = to(target, c);
    if (!r.ok()) return r.error();
    out.push_back(r.value());
  }
  return out;
}

}  // namespace kd::prismel
