// HCT (CAM16 hue and chroma, CIE L* tone) and its solver back to sRGB.
#pragma once

#include <array>
#include <cstdint>

#include "prismel/math/matrix.h"

namespace kd::prismel {

// (H, C, T) of hub XYZ (white Y = 1).
Vec3 xyzToHct(const Vec3& xyz);

// The 8-bit sRGB colour of tone t whose CAM16 hue is h and whose chroma is as
// close to c as the sRGB gamut allows (greys when c is 0 or unreachable).
std::array<uint8_t, 3> solveToInt(double h, double c, double t);

}  // namespace kd::prismel
