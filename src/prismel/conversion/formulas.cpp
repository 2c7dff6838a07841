#include "prismel/conversion/formulas.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "prismel/spaces/descriptor.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

double decodeTransfer(int32_t transfer, double gamma, double v) {
  switch (transfer) {
    case kTransferLinear:
      return v;
    case kTransferSrgb:
      return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    case kTransferGamma:
      return std::pow(v, gamma);
    case kTransferProPhoto:
      // The threshold is compared in single precision.
      return static_cast<float>(v) <= 0.03125f ? v / 16 : std::pow(v, 1.8);
    case kTransferRec2020:
      return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45);
    default:
      return std::numeric_limits<double>::quiet_NaN();
  }
}

double encodeTransfer(int32_t transfer, double gamma, double v) {
  switch (transfer) {
    case kTransferLinear:
      return v;
    case kTransferSrgb:
      return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    case kTransferGamma:
      return std::pow(v, 1 / gamma);
    case kTransferProPhoto:
      return v <= 1.0 / 512 ? 16 * v : std::pow(v, 1 / 1.8);
    case kTransferRec2020:
      return v < 0.018 ? 4.5 * v : 1.099 * std::pow(v, 0.45) - 0.099;
    default:
      return std::numeric_limits<double>::quiet_NaN();
  }
}

namespace {

constexpr double kWhiteXD50 = 0.964296;
constexpr double kWhiteZD50 = 0.825105;

double labF(double t) {
  return t > 216.0 / 24389.0 ? cubeRoot(t) : t * (841.0 / 108.0) + 16.0 / 116.0;
}

double labG(double f) {
  constexpr double k = 6.0 / 29.0;
  return f > k ? f * f * f : (f - 16.0 / 116.0) * 3 * (k * k);
}

constexpr Mat3 kOklabM2Inverse{{{0.9999999974505199, 0.3963377922793292, 0.21580375812461297},
                                {1.0000000078817608, -0.105561342218095, -0.06385417470785172},
                                {1.000000053672411, -0.08948418198940442, -1.2914855378002377}}};
constexpr Mat3 kOklabM1Inverse{{{4.076741662195438, -3.307711591095777, 0.23096992877744024},
                                {-1.2684380053445001, 2.6097574016794587, -0.34131939638117054},
                                {-0.004196080276483427, -0.7034186195429166, 1.7076147012859113}}};

}  // namespace

Vec3 xyzD50ToLab(const Vec3& xyz) {
  const double fx = labF(xyz[0] / kWhiteXD50);
  const double fy = labF(xyz[1]);
  const double fz = labF(xyz[2] / kWhiteZD50);
  return {116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)};
}

Vec3 labToXyzD50(const Vec3& lab) {
  const double fy = (lab[0] + 16) / 116;
  const double fx = fy + lab[1] / 500;
  const double fz = fy - lab[2] / 200;
  return {kWhiteXD50 * labG(fx), labG(fy), kWhiteZD50 * labG(fz)};
}

Vec3 oklabToLinearSrgb(const Vec3& lab) {
  const Vec3 l = apply3(kOklabM2Inverse, lab);
  return apply3(kOklabM1Inverse, Vec3{l[0] * l[0] * l[0], l[1] * l[1] * l[1], l[2] * l[2] * l[2]});
}

Vec3 rectToPolar(const Vec3& v) {
  double h = std::atan2(v[2], v[1]) * 180 / kPi;
  if (h < 0) h += 360;
  return {v[0], std::hypot(v[1], v[2]), h};
}

Vec3 polarToRect(const Vec3& v) {
  const double rad = v[2] * kPi / 180;
  return {v[0], v[1] * std::cos(rad), v[1] * std::sin(rad)};
}

double hueOf(double r, double g, double b) {
  const double mx = std::max({r, g, b});
  const double mn = std::min({r, g, b});
  const double d = mx - mn;
  if (d < 1e-9) return 0;
  if (r == mx) {
    double h = std::fmod((g - b) / d, 6.0) * 60;
    if (h < 0) h += 360;
    return h;
  }
  if (g == mx) return ((b - r) / d + 2) * 60;
  return ((r - g) / d + 4) * 60;
}

Vec3 srgbToHsv(const Vec3& rgb) {
  const double mx = std::max({rgb[0], rgb[1], rgb[2]});
  const double mn = std::min({rgb[0], rgb[1], rgb[2]});
  const double s = mx > 1e-9 ? (mx - mn) / mx : 0;
  return {hueOf(rgb[0], rgb[1], rgb[2]), s, mx};
}

Vec3 hueToRgb(double h, double s, double v) {
  h = std::fmod(h, 360.0);
  if (h < 0) h += 360;
  const double c = v * s;
  const double hp = h / 60;
  const double x = c * (1 - std::fabs(std::fmod(hp, 2.0) - 1));
  const double m = v - c;
  // hp may reach 6 when a tiny negative hue was raised by 360, and is NaN for
  // a non-finite hue (the result is then NaN, refused by the caller).
  const int sector = (hp >= 0 && hp < 6) ? static_cast<int>(hp) : 0;
  Vec3 r;
  switch (sector) {
    case 0: r = {c, x, 0}; break;
    case 1: r = {x, c, 0}; break;
    case 2: r = {0, c, x}; break;
    case 3: r = {0, x, c}; break;
    case 4: r = {x, 0, c}; break;
    default: r = {c, 0, x}; break;
  }
  return {r[0] + m, r[1] + m, r[2] + m};
}

Vec3 hsvToSrgb(const Vec3& hsv) { return hueToRgb(hsv[0], hsv[1], hsv[2]); }

Vec3 srgbToHsl(const Vec3& rgb) {
  const double mx = std::max({rgb[0], rgb[1], rgb[2]});
  const double mn = std::min({rgb[0], rgb[1], rgb[2]});
  const double d = mx - mn;
  const double l = (mx + mn) / 2;
  const double s = d < 1e-9 ? 0 : d / (1 - std::fabs(2 * l - 1));
  return {hueOf(rgb[0], rgb[1], rgb[2]), s, l};
}

Vec3 hslToSrgb(const Vec3& hsl) {
  const double l = hsl[2];
  const double c = (1 - std::fabs(2 * l - 1)) * hsl[1];  // max - min
  const Vec3 base = hueToRgb(hsl[0], 1, c);
  const double m = l - c / 2;
  return {base[0] + m, base[1] + m, base[2] + m};
}

Vec3 srgbToHwb(const Vec3& rgb) {
  const double mx = std::max({rgb[0], rgb[1], rgb[2]});
  const double mn = std::min({rgb[0], rgb[1], rgb[2]});
  return {hueOf(rgb[0], rgb[1], rgb[2]), mn, 1 - mx};
}

Vec3 hwbToSrgb(const Vec3& hwb) {
  const double w = hwb[1];
  const double b = hwb[2];
  if (w + b >= 1) {
    const double grey = w / (w + b);
    return {grey, grey, grey};
  }
  const Vec3 pure = hueToRgb(hwb[0], 1, 1);
  const double k = 1 - w - b;
  return {pure[0] * k + w, pure[1] * k + w, pure[2] * k + w};
}

Vec3 srgbToYcbcr(const Vec3& rgb) {
  const double y = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
  return {y, (rgb[2] - y) / 1.8556, (rgb[0] - y) / 1.5748};
}

Vec3 ycbcrToSrgb(const Vec3& ycc) {
  const double y = ycc[0];
  const double b = ycc[1] * 1.8556 + y;
  const double r = ycc[2] * 1.5748 + y;
  const double g = (y - 0.2126 * r - 0.0722 * b) / 0.7152;
  return {r, g, b};
}

Result<Vec3> xyzToXyy(const Vec3& xyz) {
  const double s = xyz[0] + xyz[1] + xyz[2];
  if (std::fabs(s) < 1e-9) {
    return colorError(ceInvalidValue, "XYZ sum=0 -> xyY undefined", "xyzToXyy");
  }
  return Vec3{xyz[0] / s, xyz[1] / s, xyz[1]};
}

Result<Vec3> xyyToXYZ(const Vec3& xyy) {
  const double x = xyy[0];
  const double y = xyy[1];
  const double bigY = xyy[2];
  if (std::fabs(y) < 1e-9) return colorError(ceInvalidValue, "xyY with y=0 is undefined", "xyyToXYZ");
  return Vec3{x * bigY / y, bigY, (1 - x - y) * bigY / y};
}

namespace {

constexpr double kPqM1 = 1305.0 / 8192.0;
constexpr double kPqC1 = 107.0 / 128.0;
constexpr double kPqC2 = 2413.0 / 128.0;
constexpr double kPqC3 = 18.6875;
constexpr double kPqM2 = 78.84375;
constexpr double kJzM2 = 134.034375;

constexpr Mat3 kIctcpLms{{{1688.0 / 4096, 2146.0 / 4096, 262.0 / 4096},
                          {683.0 / 4096, 2951.0 / 4096, 462.0 / 4096},
                          {99.0 / 4096, 309.0 / 4096, 3688.0 / 4096}}};
constexpr Mat3 kIctcpFromLms{{{2048.0 / 4096, 2048.0 / 4096, 0.0},
                              {6610.0 / 4096, -13613.0 / 4096, 7003.0 / 4096},
                              {17933.0 / 4096, -17390.0 / 4096, -543.0 / 4096}}};
constexpr Mat3 kJzLms{{{0.41478972, 0.579999, 0.014648},
                       {-0.20151, 1.120649, 0.0531008},
                       {-0.0166008, 0.2648, 0.6684799}}};
constexpr Mat3 kJzIab{{{0.5, 0.5, 0.0},
                       {3.524, -4.066708, 0.542708},
                       {0.199076, 1.096799, -1.295875}}};
constexpr double kJzD0 = 1.6295499532821566e-11;

// Matrices derived once from the constants above and the Rec. 2020
// descriptor.
struct HdrMatrices {
  Mat3 rec2020ToXyz, xyzToRec2020, lmsFromIctcp, rgbFromLms, lmsFromJzIab, xyzFromJzLms;
};

const HdrMatrices& hdrMatrices() {
  static const HdrMatrices m = [] {
    const SpaceDescriptor* rec = spaceByTag(kRec2020Linear);
    return HdrMatrices{rec->toXyz,
                       rec->fromXyz,
                       inverse3(kIctcpFromLms).value(),
                       inverse3(kIctcpLms).value(),
                       inverse3(kJzIab).value(),
                       inverse3(kJzLms).value()};
  }();
  return m;
}

}  // namespace

double pqEncode(double v, double m2) {
  const double p = std::pow(v, kPqM1);
  return std::pow((kPqC1 + kPqC2 * p) / (1 + kPqC3 * p), m2);
}

double pqDecode(double v, double m2) {
  const double p = std::pow(v, 1 / m2);
  const double num = std::max(p - kPqC1, 0.0);
  return std::pow(num / (kPqC2 - kPqC3 * p), 1 / kPqM1);
}

Vec3 xyzToIctcp(const Vec3& xyz) {
  const HdrMatrices& m = hdrMatrices();
  const Vec3 lms = apply3(kIctcpLms, apply3(m.xyzToRec2020, xyz));
  const Vec3 enc{pqEncode(lms[0] / 10000, kPqM2), pqEncode(lms[1] / 10000, kPqM2),
                 pqEncode(lms[2] / 10000, kPqM2)};
  return apply3(kIctcpFromLms, enc);
}

Vec3 ictcpToXyz(const Vec3& ictcp) {
  const HdrMatrices& m = hdrMatrices();
  const Vec3 enc = apply3(m.lmsFromIctcp, ictcp);
  const Vec3 lms{pqDecode(enc[0], kPqM2) * 10000, pqDecode(enc[1], kPqM2) * 10000,
                 pqDecode(enc[2], kPqM2) * 10000};
  return apply3(m.rec2020ToXyz, apply3(m.rgbFromLms, lms));
}

Vec3 xyzToJzazbz(const Vec3& xyz) {
  const double xp = 1.15 * xyz[0] - 0.15 * xyz[2];
  const double yp = 0.66 * xyz[1] + 0.34 * xyz[0];
  const Vec3 lms = apply3(kJzLms, Vec3{xp, yp, xyz[2]});
  const Vec3 enc{pqEncode(lms[0], kJzM2), pqEncode(lms[1], kJzM2), pqEncode(lms[2], kJzM2)};
  const Vec3 iab = apply3(kJzIab, enc);
  const double jz = 0.44 * iab[0] / (1 - 0.56 * iab[0]) - kJzD0;
  return {jz, iab[1], iab[2]};
}

Vec3 jzazbzToXyz(const Vec3& jab) {
  const HdrMatrices& m = hdrMatrices();
  const double j = jab[0] + kJzD0;
  const double iz = j / (0.44 + 0.56 * j);
  const Vec3 enc = apply3(m.lmsFromJzIab, Vec3{iz, jab[1], jab[2]});
  const Vec3 lms{pqDecode(enc[0], kJzM2), pqDecode(enc[1], kJzM2), pqDecode(enc[2], kJzM2)};
  const Vec3 p = apply3(m.xyzFromJzLms, lms);
  const double z = p[2];
  const double x = (p[0] + 0.15 * z) / 1.15;
  const double y = (p[1] - 0.34 * x) / 0.66;
  return {x, y, z};
}

}  // namespace kd::prismel
