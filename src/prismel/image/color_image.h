// An image as the colour-science code sees it: one Color per pixel, row-major.
#pragma once

#include <cstdint>
#include <vector>

#include "prismel/core/color.h"

namespace kd::prismel {

struct ColorImage {
  int64_t width = 0;
  int64_t height = 0;
  std::vector<Color> pixels;  // exactly width * height entries
  SpaceTag originSpace = 0;   // space the pixels were first expressed in
  SpaceTag workSpace = 0;     // space the pixels are expressed in now
  int64_t bitDepth = 8;       // of the source samples
  bool flag = false;          // carried unchanged through toWorkSpace
};

// Validates and copies; both spaces are set to `space` (errors where "image").
Result<ColorImage> image(int64_t width, int64_t height, std::vector<Color> pixels,
                         SpaceTag space, int64_t bitDepth, bool flag);

// Every pixel converted into `target` through the conversion hub, in pixel
// order; the first failing pixel's error ends the conversion. A target equal
// to the current work space copies the pixels unchanged.
Result<ColorImage> toWorkSpace(const ColorImage& img, SpaceTag target);

}  // namespace kd::prismel
