// Palette extraction from arbitrary small images. Header bytes pick the
// algorithm, the image's colour space, n, the width, the work space and the
// options; the rest are the samples. A palette that comes back must hold 1..n
// finite colours in the work space with alpha in [0, 1]. In OKLab, the paths
// that large pictures take (the lift one distinct colour at a time, Wu's
// histogram from the distinct colours) must give exactly what the per-pixel
// paths give.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "prismel/conversion/batch.h"
#include "process/quantize.h"

namespace {

const char* const kAlgorithms[] = {"wu", "kmeans", "kmeansPP", "medianCut", "octree", "neuquant"};
const int32_t kSpaces[] = {15, 1, 2, 13, 16, 17, 20, 12, 0, 999};

bool sameBits(const std::vector<kd::prismel::Color>& a, const std::vector<kd::prismel::Color>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
}

void checkLargePicturePaths(const kd::formats::Image& img, int64_t n, const std::string& algorithm,
                            const kd::prismel::QuantizeOpts& opts,
                            const kd::prismel::Palette& palette) {
  using namespace kd::prismel;
  const int channels = static_cast<int>(img.channels);
  const std::vector<Color> perPixel = srgb8ToOklab(img.pixels, channels, lmPerPixel).value();
  if (!sameBits(perPixel, srgb8ToOklab(img.pixels, channels, lmPerDistinctColor).value())) {
    __builtin_trap();
  }
  if (algorithm == "wu" &&
      !sameBits(computeWuSrgb8(img.pixels, channels, n, opts).value().colors(), palette.colors())) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const char* algorithm = kAlgorithms[data[0] % 6];
  const auto cs = static_cast<kd::formats::ColorSpace>(data[1] % 6);
  const int64_t n = data[2] % 40 + 1;
  const int64_t width = data[3] % 16 + 1;
  const int32_t space = kSpaces[data[4] % 10];
  kd::prismel::QuantizeOpts opts;
  opts.maxIter = data[5] % 4;
  opts.weighted = (data[6] & 1) != 0;
  opts.parallel = (data[6] & 2) != 0;
  opts.threads = data[6] >> 2;
  opts.seed = data[7];

  kd::formats::Image img;
  img.colorspace = cs;
  img.channels = kd::formats::channelsOf(cs);
  img.width = width;
  const size_t rowBytes = static_cast<size_t>(width * img.channels);
  img.height = static_cast<int64_t>((size - 8) / rowBytes);
  if (img.height == 0) return 0;
  img.pixels.assign(data + 8, data + 8 + rowBytes * static_cast<size_t>(img.height));

  kd::prismel::Result<kd::prismel::Palette> r =
      kd::process::extractPalette(img, n, algorithm, space, opts);
  if (r.ok() && space == 15 && n > 0) checkLargePicturePaths(img, n, algorithm, opts, r.value());
  if (!r.ok()) return 0;
  const kd::prismel::Palette& p = r.value();
  if (p.len() < 1 || p.len() > n || p.tag() != 1 || p.intent() != 0) __builtin_trap();
  for (const kd::prismel::Color& c : p.colorsRef()) {
    if (!std::isfinite(c.c[0]) || !std::isfinite(c.c[1]) || !std::isfinite(c.c[2])) __builtin_trap();
    if (!(c.alpha >= 0.0f && c.alpha <= 1.0f)) __builtin_trap();
    if (c.space != space) __builtin_trap();
  }
  return 0;
}
