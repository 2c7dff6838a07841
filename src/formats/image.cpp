#include "formats/image.h"

#include <string>

#include "base/checked.h"

namespace kd::formats {

size_t sampleCount(int64_t width, int64_t height, ColorSpace colorspace) {
  int64_t area = base::mulOrFail<int64_t>(width, height, "newImage: size overflow");
  int64_t samples =
      base::mulOrFail<int64_t>(area, channelsOf(colorspace), "newImage: size overflow");
  if (samples < 0) fail(ekInvalid, "newImage: negative size");
  return static_cast<size_t>(samples);
}

Image newImage(int64_t width, int64_t height, ColorSpace colorspace) {
  Image img;
  img.width = width;
  img.height = height;
  img.colorspace = colorspace;
  img.channels = channelsOf(colorspace);
  img.pixels.assign(sampleCount(width, height, colorspace), 0);
  return img;
}

void requireLen(ByteView data, size_t n, const char* message) {
  if (data.size() < n) fail(ekTruncated, message);
}

bool isWellFormed(const Image& img) {
  int64_t samples = 0;
  return img.width >= 1 && img.height >= 1 &&
         static_cast<size_t>(img.colorspace) < ChannelCount.size() &&
         img.channels == channelsOf(img.colorspace) &&
         base::checkedMul(img.width, img.height, samples) &&
         base::checkedMul(samples, img.channels, samples) &&
         img.pixels.size() == static_cast<uint64_t>(samples);
}

void requirePixelCount(int64_t width, int64_t height, const char* message) {
  int64_t area;
  if (!base::checkedMul(width, height, area) || area > kMaxPixels) fail(ekInvalid, message);
}

void requirePixelLimit(const char* format, uint64_t pixels, uint64_t maxPixels) {
  if (maxPixels == 0 || pixels <= maxPixels) return;
  fail(ekTooLarge, std::string(format) + ": " + std::to_string(pixels) +
                       " pixels exceed the limit of " + std::to_string(maxPixels));
}

}  // namespace kd::formats
