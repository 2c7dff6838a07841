#include "process/quantize.h"

#include <array>
#include <limits>
#include <optional>

#include "base/checked.h"
#include "prismel/conversion/batch.h"

namespace kd::process {

using namespace kd::prismel;

namespace {

constexpr SpaceTag kSrgb = 1;
constexpr SpaceTag kOklab = 15;

ColorError invalidImage(const char* msg) {
  return colorError(ceInvalidImage, msg, "Keldra.extractPalette");
}

// v / 255 as a single-precision quotient, for every sample value.
const std::array<float, 256>& unitTable() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (int v = 0; v < 256; ++v) t[v] = static_cast<float>(v) / 255.0f;
    return t;
  }();
  return table;
}

std::optional<ColorError> checkImage8(const formats::Image& img8) {
  if (img8.width <= 0 || img8.height <= 0) {
    return invalidImage("image dimensions must be positive");
  }
  const auto cs = static_cast<size_t>(img8.colorspace);
  if (cs >= formats::ChannelCount.size() || img8.channels != formats::ChannelCount[cs]) {
    return invalidImage("channel count disagrees with the image colorspace");
  }
  if (img8.width > std::numeric_limits<int64_t>::max() / img8.height) {
    return invalidImage("image dimensions overflow the addressable size");
  }
  int64_t samples = 0;
  if (!base::checkedMul(img8.width * img8.height, img8.channels, samples) ||
      samples != static_cast<int64_t>(img8.pixels.size())) {
    return invalidImage("pixel buffer length disagrees with image dimensions");
  }
  if (img8.colorspace != formats::csGray && img8.colorspace != formats::csRgb &&
      img8.colorspace != formats::csRgba) {
    return invalidImage("palette extraction supports Gray, RGB and RGBA images");
  }
  return std::nullopt;
}

}  // namespace

Result<ColorImage> toColorImage(const formats::Image& img8) {
  if (std::optional<ColorError> bad = checkImage8(img8)) return *bad;
  const std::array<float, 256>& unit = unitTable();
  const auto count = static_cast<size_t>(img8.width * img8.height);
  const size_t channels = static_cast<size_t>(img8.channels);
  const uint8_t* s = img8.pixels.data();
  std::vector<Color> pixels;
  pixels.reserve(count);
  for (size_t i = 0; i < count; ++i, s += channels) {
    Result<Color> c = channels == 1 ? color(kSrgb, unit[s[0]], unit[s[0]], unit[s[0]], 1.0f)
                      : channels == 3
                          ? color(kSrgb, unit[s[0]], unit[s[1]], unit[s[2]], 1.0f)
                          : color(kSrgb, unit[s[0]], unit[s[1]], unit[s[2]], unit[s[3]]);
    if (!c.ok()) return c.error();
    pixels.push_back(c.value());
  }
  return image(img8.width, img8.height, std::move(pixels), kSrgb, 8, false);
}

Result<Palette> extractPalette(const formats::Image& img8, int64_t n, std::string_view algorithm,
                               SpaceTag workSpace, const QuantizeOpts& opts) {
  if (workSpace != kOklab) {
    Result<ColorImage> lifted = toColorImage(img8);
    if (!lifted.ok()) return lifted.error();
    return prismel::extractPalette(lifted.value(), n, algorithm, workSpace, opts);
  }
  // The usual case: lift the samples straight into OKLab with the batch
  // path, which gives exactly what the per-pixel conversion of the sRGB
  // colours gives.
  if (std::optional<ColorError> bad = checkImage8(img8)) return *bad;
  // "wu" on a large picture needs no lifted picture at all: its histogram is
  // built from the distinct colours, with the same result.
  const auto count = static_cast<size_t>(img8.width * img8.height);
  if (algorithm == "wu" && n >= 1 && count >= kDistinctLiftFrom) {
    return computeWuSrgb8(img8.pixels, static_cast<int>(img8.channels), n, opts);
  }
  Result<std::vector<Color>> lab = srgb8ToOklab(img8.pixels, static_cast<int>(img8.channels));
  if (!lab.ok()) return lab.error();
  Result<ColorImage> lifted = image(img8.width, img8.height, std::move(lab.value()), kSrgb, 8, false);
  if (!lifted.ok()) return lifted.error();
  lifted.value().workSpace = kOklab;
  return prismel::extractPalette(lifted.value(), n, algorithm, workSpace, opts);
}

}  // namespace kd::process
