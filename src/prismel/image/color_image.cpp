#include "prismel/image/color_image.h"

#include "base/checked.h"
#include "prismel/conversion/batch.h"

namespace kd::prismel {

Result<ColorImage> image(int64_t width, int64_t height, std::vector<Color> pixels,
                         SpaceTag space, int64_t bitDepth, bool flag) {
  if (width <= 0 || height <= 0) {
    return colorError(ceInvalidImage,
                      "image dimensions must be > 0, got " + std::to_string(width) + "x" +
                          std::to_string(height),
                      "image");
  }
  int64_t product = 0;
  const auto count = static_cast<int64_t>(pixels.size());
  if (!base::checkedMul(width, height, product) || count != product) {
    // An overflowing product cannot equal any real pixel count; report the
    // saturated value rather than a wrapped one.
    const std::string productText =
        base::checkedMul(width, height, product) ? std::to_string(product) : "overflow";
    return colorError(ceInvalidImage,
                      "pixel count (" + std::to_string(count) + ") must equal width*height (" +
                          productText + ")",
                      "image");
  }
  if (space == 0) return colorError(ceUnknownSpace, "image origin space is unknown", "image");
  if (bitDepth <= 0) {
    return colorError(ceInvalidImage, "bit depth must be > 0, got " + std::to_string(bitDepth),
                      "image");
  }
  return ColorImage{width, height, std::move(pixels), space, space, bitDepth, flag};
}

Result<ColorImage> toWorkSpace(const ColorImage& img, SpaceTag target) {
  if (target == 0) return colorError(ceUnknownSpace, "target work space is unknown", "toWorkSpace");
  ColorImage out{img.width, img.height, {}, img.originSpace, target, img.bitDepth, img.flag};
  if (target == img.workSpace) {
    out.pixels = img.pixels;
    return out;
  }
  Result<std::vector<Color>> converted = convertColors(img.pixels, target);
  if (!converted.ok()) return converted.error();
  out.pixels = std::move(converted.value());
  return out;
}

}  // namespace kd::prismel
