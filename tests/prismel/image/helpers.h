// Small work images for the quantizer tests.
#pragma once

#include <array>
#include <vector>

#include "prismel/image/color_image.h"

namespace kd::prismel::test {

using Triple = std::array<float, 3>;

// A one-row image of the given components, already in `space`.
inline ColorImage rowImage(SpaceTag space, const std::vector<Triple>& comps,
                           float alpha = 1.0f) {
  ColorImage img;
  img.width = static_cast<int64_t>(comps.size());
  img.height = 1;
  img.originSpace = space;
  img.workSpace = space;
  for (const Triple& t : comps) img.pixels.push_back(Color{{t[0], t[1], t[2]}, alpha, space});
  return img;
}

// The same triple `count` times.
inline std::vector<Triple> repeat(const Triple& t, size_t count) {
  return std::vector<Triple>(count, t);
}

// A deterministic spread of colours, for determinism checks.
inline ColorImage noiseImage(SpaceTag space, size_t count) {
  std::vector<Triple> comps;
  uint32_t x = 12345;
  auto unit = [&] {
    x = x * 1664525u + 1013904223u;
    return static_cast<float>(x >> 8) / 16777216.0f;
  };
  for (size_t i = 0; i < count; ++i) {
    comps.push_back({0.2f + 0.7f * unit(), -0.2f + 0.4f * unit(), -0.2f + 0.4f * unit()});
  }
  return rowImage(space, comps);
}

}  // namespace kd::prismel::test
