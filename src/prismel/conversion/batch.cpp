#include "prismel/conversion/batch.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>

#include "base/cpu.h"
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
  const bool avx2 = base::cpuHasAvx2();
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
void expandDistinct(std::span<const uint8_t> samples, bool orPerPixel, std::vector<Color>& out) {
  const DistinctColors set(samples, kChannels);
  // Mostly distinct colours (noise): the table of lifted colours would cost
  // about as much as the result and save little work.
  if (orPerPixel && set.size() > samples.size() / kChannels / 2) {
    liftPerPixel(samples, kChannels, out);
    return;
  }
  const std::vector<Color> lab = liftColorKeys(set.keys());
  const uint8_t* p = samples.data();
  const size_t n = samples.size() / kChannels;
  Color block[kBlock];
  uint32_t index[kBlock];
  for (size_t done = 0; done < n;) {
    const size_t m = std::min(kBlock, n - done);
    set.indexPixels(p, m, kChannels, index);
    for (size_t j = 0; j < m; ++j, p += kChannels) {
      block[j] = lab[index[j]];
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
  const bool avx2 = base::cpuHasAvx2();
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
  const bool automatic = method == lmAuto;
  if (automatic) method = n >= kDistinctLiftFrom ? lmPerDistinctColor : lmPerPixel;
  std::vector<Color> out;
  out.reserve(n);
  base::adviseHugePages(out.data(), n * sizeof(Color));
  if (method == lmPerPixel || n == 0) {
    liftPerPixel(samples, channels, out);
  } else if (channels == 1) {
    expandDistinct<1>(samples, automatic, out);
  } else if (channels == 3) {
    expandDistinct<3>(samples, automatic, out);
  } else {
    expandDistinct<4>(samples, automatic, out);
  }
  return out;
}

namespace {

using ColorBits = std::array<uint32_t, 5>;
static_assert(sizeof(Color) == sizeof(ColorBits));

// The converted colour of each distinct input colour met so far, for up to
// half as many colours as the table has slots.
class ConvertedColors {
 public:
  explicit ConvertedColors(size_t count) {
    size_t slots = 64;
    while (slots < 2 * count && slots < kMaxSlots) slots *= 2;
    slots_.assign(slots, 0);
  }
  // The earlier result for a colour with these bits, or null; then `at` is
  // where remember() puts it.
  const Color* find(const ColorBits& in, size_t& at) const {
    uint64_t h = 0;
    for (uint32_t v : in) h = (h ^ v) * 0x9E3779B97F4A7C15ull;
    for (at = (h >> 32) & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
      const uint32_t s = slots_[at];
      if (s == 0) return nullptr;
      if (entries_[s - 1].in == in) return &entries_[s - 1].out;
    }
  }
  void remember(size_t at, const ColorBits& in, const Color& out) {
    if (entries_.size() >= slots_.size() / 2) return;
    entries_.push_back({in, out});
    slots_[at] = static_cast<uint32_t>(entries_.size());
  }

 private:
  static constexpr size_t kMaxSlots = size_t{1} << 22;
  struct Entry {
    ColorBits in;
    Color out;
  };
  std::vector<uint32_t> slots_;  // entry index + 1, 0 = empty
  std::vector<Entry> entries_;
};

}  // namespace

Result<std::vector<Color>> convertColors(std::span<const Color> colors, SpaceTag target) {
  std::vector<Color> out;
  out.reserve(colors.size());
  const LiftTables* fast = target == kOklab ? &liftTables() : nullptr;
  // Pictures repeat colours, and a conversion depends on nothing but the
  // colour's bits, so each distinct colour is converted once (as long as the
  // table of seen colours has room) and repeats copy the first result.
  ConvertedColors seen(colors.size());
  for (const Color& c : colors) {
    const auto bits = std::bit_cast<ColorBits>(c);
    size_t at = 0;
    if (const Color* earlier = seen.find(bits, at)) {
      out.push_back(*earlier);
      continue;
    }
    // The fast path covers components whose results stay far inside float
    // range; anything else takes the hub with its checks.
    const auto modest = [](float v) { return v >= -16.0f && v <= 16.0f; };
    if (fast != nullptr && c.space == kSrgb && modest(c.c[0]) && modest(c.c[1]) &&
        modest(c.c[2])) {
      out.push_back(liftDecoded(*fast, decodeComponent(*fast, c.c[0]),
                                decodeComponent(*fast, c.c[1]), decodeComponent(*fast, c.c[2]),
                                c.alpha));
    } else {
      Result<Color> r = to(target, c);
      if (!r.ok()) return r.error();
      out.push_back(r.value());
    }
    seen.remember(at, bits, out.back());
  }
  return out;
}

}  // namespace kd::prismel
