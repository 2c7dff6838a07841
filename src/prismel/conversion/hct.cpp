#include "prismel/conversion/hct.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "prismel/conversion/cam16.h"
#include "prismel/conversion/formulas.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

Vec3 xyzToHct(const Vec3& xyz) {
  const Cam16 cam = xyz100ToCam16(Vec3{xyz[0] * 100, xyz[1] * 100, xyz[2] * 100});
  return {cam.h, cam.c, lstarFromY(xyz[1])};
}

namespace {

uint8_t toByte(double linear) {
  if (!(linear > 0)) return 0;  // also NaN
  const double v = encodeTransfer(kTransferSrgb, 0, std::min(linear, 1.0));
  return static_cast<uint8_t>(std::clamp(std::round(v * 255), 0.0, 255.0));
}

std::array<uint8_t, 3> toBytes(const Vec3& linear) {
  return {toByte(linear[0]), toByte(linear[1]), toByte(linear[2])};
}

// Linear sRGB (0..1) of CAM16 (j, c, h), when inside the gamut (with a small
// tolerance for rounding).
std::optional<Vec3> inGamut(double j, double c, double h) {
  const Vec3 xyz = cam16ToXyz100(j, c, h);
  const Vec3 rgb = apply3(spaceByTag(kSrgbLinear)->fromXyz,
                          Vec3{xyz[0] / 100, xyz[1] / 100, xyz[2] / 100});
  for (double v : rgb) {
    if (!(v >= -1e-4 && v <= 1 + 1e-4)) return std::nullopt;
  }
  return rgb;
}

// Finds the CAM16 lightness J at which (J, c, h) has luminance y (0..100) by
// Newton steps on J, and returns the linear sRGB colour when it lies inside
// the gamut.
std::optional<Vec3> findResultByJ(double h, double c, double y) {
  double j = std::sqrt(y) * 11;
  for (int iteration = 0; iteration < 8; ++iteration) {
    const Vec3 xyz = cam16ToXyz100(j, c, h);
    const double fnj = xyz[1];
    if (!(fnj > 0)) return std::nullopt;
    if (std::fabs(fnj - y) < 0.002) return inGamut(j, c, h);
    j = j - (fnj - y) * j / (2 * fnj);
    if (!(j > 0)) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::array<uint8_t, 3> solveToInt(double h, double c, double t) {
  if (!std::isfinite(h) || !std::isfinite(c) || !std::isfinite(t)) return {0, 0, 0};
  h = std::fmod(h, 360.0);
  if (h < 0) h += 360;
  const double y = yFromLstar100(std::clamp(t, 0.0, 100.0));
  const double grey = y / 100;
  if (c < 0.0001 || t <= 0.0001 || t >= 99.9999) return toBytes(Vec3{grey, grey, grey});
  if (auto rgb = findResultByJ(h, c, y)) return toBytes(*rgb);
  // The requested chroma is out of gamut: bisect for the largest reachable one.
  double lo = 0, hi = c;
  std::optional<Vec3> best;
  for (int i = 0; i < 40 && hi - lo > 1e-4; ++i) {
    const double mid = (lo + hi) / 2;
    if (auto rgb = findResultByJ(h, mid, y)) {
      lo = mid;
      best = rgb;
    } else {
      hi = mid;
    }
  }
  if (best) return toBytes(*best);
  return toBytes(Vec3{grey, grey, grey});
}

}  // namespace kd::prismel
