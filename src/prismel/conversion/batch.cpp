#include "prismel/conversion/batch.h"

#include <cmath>

#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hub.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

// The sRGB -> OKLab chain of the hub (decode, sRGB matrix to XYZ, inverse
// sRGB matrix, OKLab) with the decode of the 256 8-bit values precomputed.
struct SrgbToOklab {
  Mat3 toXyz, fromXyz;
  double decoded[256];

  SrgbToOklab() {
    toXyz = spaceByTag(kSrgb)->toXyz;
    fromXyz = spaceByTag(kSrgbLinear)->fromXyz;
    for (int v = 0; v < 256; ++v) {
      const float f = static_cast<float>(v) / 255.0f;
      decoded[v] = decodeTransfer(kTransferSrgb, 0, f);
    }
  }

  // The decoded value of a component, from the table when it is one of the
  // 256 quotients v / 255.0f.
  double decode(float f) const {
    const float scaled = f * 255.0f;
    if (scaled >= 0.0f && scaled <= 255.0f) {
      const int v = static_cast<int>(std::lround(scaled));
      if (static_cast<float>(v) / 255.0f == f) return decoded[v];
    }
    return decodeTransfer(kTransferSrgb, 0, f);
  }

  Color convert(double r, double g, double b, float alpha) const {
    const Vec3 lab = linearSrgbToOklab(apply3(fromXyz, apply3(toXyz, Vec3{r, g, b})));
    return Color{{static_cast<float>(lab[0]), static_cast<float>(lab[1]),
                  static_cast<float>(lab[2])},
                 alpha,
                 kOklab};
  }
};

const SrgbToOklab& srgbToOklab() {
  static const SrgbToOklab table;
  return table;
}

}  // namespace

Result<std::vector<Color>> srgb8ToOklab(std::span<const uint8_t> samples, int channels) {
  if ((channels != 1 && channels != 3 && channels != 4) ||
      samples.size() % static_cast<size_t>(channels) != 0) {
    return colorError(ceInvalidArgument, "srgb8ToOklab: bad channel count or sample length",
                      "batch");
  }
  const SrgbToOklab& k = srgbToOklab();
  const size_t n = samples.size() / static_cast<size_t>(channels);
  std::vector<Color> out(n);
  const uint8_t* p = samples.data();
  switch (channels) {
    case 1:
      for (size_t i = 0; i < n; ++i) {
        const double g = k.decoded[p[i]];
        out[i] = k.convert(g, g, g, 1.0f);
      }
      break;
    case 3:
      for (size_t i = 0; i < n; ++i, p += 3) {
        out[i] = k.convert(k.decoded[p[0]], k.decoded[p[1]], k.decoded[p[2]], 1.0f);
      }
      break;
    default:
      for (size_t i = 0; i < n; ++i, p += 4) {
        out[i] = k.convert(k.decoded[p[0]], k.decoded[p[1]], k.decoded[p[2]],
                           static_cast<float>(p[3]) / 255.0f);
      }
      break;
  }
  return out;
}

Result<std::vector<Color>> convertColors(std::span<const Color> colors, SpaceTag target) {
  std::vector<Color> out;
  out.reserve(colors.size());
  const SrgbToOklab* fast = target == kOklab ? &srgbToOklab() : nullptr;
  for (const Color& c : colors) {
    // The fast path covers components whose results stay far inside float
    // range; anything else takes the hub with its checks.
    const auto modest = [](float v) { return v >= -16.0f && v <= 16.0f; };
    if (fast != nullptr && c.space == kSrgb && modest(c.c[0]) && modest(c.c[1]) &&
        modest(c.c[2])) {
      out.push_back(fast->convert(fast->decode(c.c[0]), fast->decode(c.c[1]),
                                  fast->decode(c.c[2]), c.alpha));
      continue;
    }
    Result<Color> r = to(target, c);
    if (!r.ok()) return r.error();
    out.push_back(r.value());
  }
  return out;
}

}  // namespace kd::prismel
