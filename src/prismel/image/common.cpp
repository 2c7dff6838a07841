#include "prismel/image/common.h"

namespace kd::prismel {

std::optional<ColorError> checkQuantizeInput(const ColorImage& img, int64_t n, const char* name) {
  const auto count = static_cast<int64_t>(img.pixels.size());
  const std::string prefix(name);
  if (count == 0) return colorError(ceInvalidImage, prefix + ": empty image", prefix);
  if (count < n) {
    return colorError(ceInvalidArgument,
                      prefix + ": n (" + std::to_string(n) + ") > pixel count (" +
                          std::to_string(count) + ")",
                      prefix);
  }
  return std::nullopt;
}

Result<Color> centroidColor(const ColorImage& img, const std::array<double, 3>& sums,
                            double weight) {
  if (!(weight > 0)) return colorError(ceInvalidArgument, "centroid: empty box", "centroidColor");
  return color(img.workSpace, narrow(sums[0] / weight), narrow(sums[1] / weight),
               narrow(sums[2] / weight), 1.0f);
}

}  // namespace kd::prismel
