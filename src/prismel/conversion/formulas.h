// The per-family conversion formulas of the hub, as pure functions on float64
// triples. Hue angles are in degrees.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "prismel/core/color.h"
#include "prismel/math/matrix.h"

namespace kd::prismel {

// Cube root, bit for bit what the C library's cbrt returns (a polynomial
// first guess refined by one Halley step), but inlinable: the 8-bit OKLab
// path calls it three times per pixel.
inline double cubeRoot(double x) {
  constexpr double kFactor[5] = {1.0 / 1.5874010519681994748, 1.0 / 1.2599210498948731648, 1.0,
                                 1.2599210498948731648, 1.5874010519681994748};
  const auto bits = std::bit_cast<uint64_t>(x);
  const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
  if (biased == 0 || biased == 0x7ff) return std::cbrt(x);  // zero, subnormal, Inf, NaN
  const int xe = biased - 1022;  // x = xm * 2^xe with xm in [0.5, 1)
  const double xm = std::bit_cast<double>((bits & 0x000fffffffffffffULL) | (uint64_t{1022} << 52));
  const double u =
      (0.354895765043919860 +
       ((1.50819193781584896 +
         ((-2.11499494167371287 +
           ((2.44693122563534430 +
             ((-1.83469277483613086 + (0.784932344976639262 - 0.145263899385486377 * xm) * xm) *
              xm)) *
            xm)) *
          xm)) *
        xm));
  const double t2 = u * u * u;
  const double ym = u * (t2 + 2.0 * xm) / (2.0 * t2 + xm) * kFactor[2 + xe % 3];
  const double scale = std::bit_cast<double>(static_cast<uint64_t>(1023 + xe / 3) << 52);
  return (x > 0.0 ? ym : -ym) * scale;
}

// CIE Lab relative to D50 (X/0.964296, Y, Z/0.825105).
Vec3 xyzD50ToLab(const Vec3& xyz);
Vec3 labToXyzD50(const Vec3& lab);

// OKLab from linear sRGB and back, with the published matrices (the inverses
// are the published constants, not computed).
inline constexpr Mat3 kOklabM1{{{0.4122214708, 0.5363325363, 0.0514459929},
                                {0.2119034982, 0.6806995451, 0.1073969566},
                                {0.0883024619, 0.2817188376, 0.6299787005}}};
inline constexpr Mat3 kOklabM2{{{0.2104542553, 0.7936177850, -0.0040720468},
                                {1.9779984951, -2.4285922050, 0.4505937099},
                                {0.0259040371, 0.7827717662, -0.8086757660}}};
inline Vec3 linearSrgbToOklab(const Vec3& rgb) {
  const Vec3 lms = apply3(kOklabM1, rgb);
  return apply3(kOklabM2, Vec3{cubeRoot(lms[0]), cubeRoot(lms[1]), cubeRoot(lms[2])});
}
Vec3 oklabToLinearSrgb(const Vec3& lab);

// Rectangular <-> polar (C, h in degrees). Polar hue is atan2·180/π, plus 360
// when negative.
Vec3 rectToPolar(const Vec3& v);
Vec3 polarToRect(const Vec3& v);

// Hexcone models on encoded sRGB components.
double hueOf(double r, double g, double b);  // degrees, 0 for greys
Vec3 srgbToHsv(const Vec3& rgb);
Vec3 hsvToSrgb(const Vec3& hsv);
Vec3 srgbToHsl(const Vec3& rgb);
Vec3 hslToSrgb(const Vec3& hsl);
Vec3 srgbToHwb(const Vec3& rgb);
Vec3 hwbToSrgb(const Vec3& hwb);  // W + B >= 1 gives the grey W/(W+B)
Vec3 hueToRgb(double h, double s, double v);  // inverse hexcone, h reduced modulo 360

// BT.709 luma weights on encoded sRGB, no offsets or scaling.
Vec3 srgbToYcbcr(const Vec3& rgb);
Vec3 ycbcrToSrgb(const Vec3& ycc);

// Fail with kind 0 at the singularities (where "xyzToXyy" / "xyyToXYZ").
Result<Vec3> xyzToXyy(const Vec3& xyz);
Result<Vec3> xyyToXYZ(const Vec3& xyy);

// SMPTE ST 2084 (PQ) with a configurable m2 (78.84375; Jzazbz uses 134.034375).
double pqEncode(double v, double m2);
double pqDecode(double v, double m2);

// ICtCp (BT.2100) and Jzazbz from D65 XYZ (Y = 1 for white) and back.
Vec3 xyzToIctcp(const Vec3& xyz);
Vec3 ictcpToXyz(const Vec3& ictcp);
Vec3 xyzToJzazbz(const Vec3& xyz);
Vec3 jzazbzToXyz(const Vec3& jzazbz);

}  // namespace kd::prismel

namespace kd::prismel {

// RGB transfer curves (kTransfer*): decode is encoded -> linear. Nothing is
// clamped; an unknown curve gives NaN.
double decodeTransfer(int32_t transfer, double gamma, double v);
double encodeTransfer(int32_t transfer, double gamma, double v);

inline constexpr double kPi = 3.14159265358979323846;

}  // namespace kd::prismel
