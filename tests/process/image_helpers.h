// Small builders shared by the image-operation tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "formats/image.h"

namespace kd::process::testing {

using formats::ColorSpace;
using formats::Image;

inline constexpr ColorSpace kAllSpaces[] = {formats::csGray, formats::csRgb,
                                            formats::csRgba, formats::csCmyk,
                                            formats::csOther3, formats::csOther1};

inline Image randomImage(int64_t w, int64_t h, ColorSpace cs, uint32_t seed) {
  Image img = formats::newImage(w, h, cs);
  std::mt19937 rng(seed);
  for (uint8_t& b : img.pixels) b = static_cast<uint8_t>(rng());
  return img;
}

// A grey image from rows of samples.
inline Image grayImage(const std::vector<std::vector<uint8_t>>& rows) {
  Image img = formats::newImage(static_cast<int64_t>(rows[0].size()),
                                static_cast<int64_t>(rows.size()), formats::csGray);
  size_t i = 0;
  for (const auto& row : rows) {
    for (uint8_t v : row) img.pixels[i++] = v;
  }
  return img;
}

// The pixel (x, y) as its channel bytes.
inline std::vector<uint8_t> pixelAt(const Image& img, int64_t x, int64_t y) {
  auto at = img.pixels.begin() + (y * img.width + x) * img.channels;
  return std::vector<uint8_t>(at, at + img.channels);
}

inline bool sameImage(const Image& a, const Image& b) {
  return a.width == b.width && a.height == b.height && a.channels == b.channels &&
         a.colorspace == b.colorspace && a.pixels == b.pixels;
}

}  // namespace kd::process::testing
