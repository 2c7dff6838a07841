#include "prismel/conversion/cam16.h"

#include <cmath>

#include "prismel/conversion/formulas.h"

namespace kd::prismel {

namespace {

constexpr Mat3 kM16{{{0.401288, 0.650173, -0.051461},
                     {-0.250268, 1.204414, 0.045854},
                     {-0.002079, 0.048952, 0.953127}}};
constexpr Mat3 kM16Inverse{{{1.86206786, -1.01125463, 0.14918677},
                            {0.38752654, 0.62144744, -0.00897398},
                            {-0.0158415, -0.03412294, 1.04996444}}};

constexpr ViewingConditions kDefault{0.18418651851244416,
                                     29.980997194447333,
                                     1.0169191804458755,
                                     1.0169191804458755,
                                     0.69,
                                     1.0,
                                     0.3884814537800353,
                                     0.7894826179304937,
                                     1.909169568483652,
                                     {1.02117770275752, 0.9863077294280124, 0.9339605082802299}};

double signOf(double x) { return x < 0 ? -1.0 : (x > 0 ? 1.0 : 0.0); }

}  // namespace

const ViewingConditions& defaultViewingConditions() { return kDefault; }

double yFromLstar100(double lstar) {
  const double f = (lstar + 16) / 116;
  const double cube = f * f * f;
  if (cube > 216.0 / 24389.0) return 100 * cube;
  return 100 * lstar / 903.2962962962963;
}

double lstarFromY(double y) { return xyzD50ToLab(Vec3{0.964296, y, 0.825105})[0]; }

Cam16 xyz100ToCam16(const Vec3& xyz100) {
  const ViewingConditions& vc = kDefault;
  const Vec3 cone = apply3(kM16, xyz100);
  Vec3 adapted;
  for (int i = 0; i < 3; ++i) {
    const double x = cone[i] * vc.rgbD[i];
    const double f = std::pow(std::fabs(x) * vc.fl / 100, 0.42);
    adapted[i] = signOf(x) * 400 * f / (f + 27.13);
  }
  const double ra = adapted[0], ga = adapted[1], ba = adapted[2];
  const double a = (11 * ra - 12 * ga + ba) / 11;
  const double b = (ra + ga - 2 * ba) / 9;
  const double u = (20 * ra + 20 * ga + 21 * ba) / 20;
  const double p2 = (40 * ra + 20 * ga + ba) / 20;
  double h = std::atan2(b, a) * 180 / kPi;
  if (h < 0) h += 360;
  const double j = 100 * std::pow(p2 * vc.nbb / vc.aw, vc.c * vc.z);
  const double hPrime = h < 20.14 ? h + 360 : h;
  const double eHue = 0.25 * (std::cos(hPrime * kPi / 180 + 2) + 3.8);
  const double p1 = eHue * (50000.0 / 13) * vc.nc * vc.ncb;
  const double t = p1 * std::hypot(a, b) / (u + 0.305);
  const double alpha = std::pow(t, 0.9) * std::pow(1.64 - std::pow(0.29, vc.n), 0.73);
  const double c = alpha * std::sqrt(j / 100);
  const double m = c * vc.flRoot;
  const double jStar = 1.7 * j / (1 + 0.007 * j);
  const double mStar = std::log(1 + 0.0228 * m) / 0.0228;
  const double rad = h * kPi / 180;
  return Cam16{j, c, h, m, jStar, mStar * std::cos(rad), mStar * std::sin(rad)};
}

Vec3 cam16ToXyz100(double j, double c, double h) {
  const ViewingConditions& vc = kDefault;
  const double alpha = (c == 0 || j == 0) ? 0 : c / std::sqrt(j / 100);
  const double t = std::pow(alpha / std::pow(1.64 - std::pow(0.29, vc.n), 0.73), 1 / 0.9);
  const double hRad = h * kPi / 180;
  const double eHue = 0.25 * (std::cos(hRad + 2) + 3.8);
  const double ac = vc.aw * std::pow(j / 100, 1 / (vc.c * vc.z));
  const double p1 = eHue * (50000.0 / 13) * vc.nc * vc.ncb;
  const double p2 = ac / vc.nbb;
  const double cosH = std::cos(hRad);
  const double sinH = std::sin(hRad);
  const double gamma = 23 * (p2 + 0.305) * t / (23 * p1 + 11 * t * cosH + 108 * t * sinH);
  const double a = gamma * cosH;
  const double b = gamma * sinH;
  const Vec3 adapted{(460 * p2 + 451 * a + 288 * b) / 1403, (460 * p2 - 891 * a - 261 * b) / 1403,
                     (460 * p2 - 220 * a - 6300 * b) / 1403};
  Vec3 cone;
  for (int i = 0; i < 3; ++i) {
    const double xa = adapted[i];
    const double base = 27.13 * std::fabs(xa) / (400 - std::fabs(xa));
    const double xc = base > 0 ? std::pow(base, 1 / 0.42) : 0;
    cone[i] = signOf(xa) * (100 / vc.fl) * xc / vc.rgbD[i];
  }
  return apply3(kM16Inverse, cone);
}

Vec3 ucsToCam16Jch(const Vec3& ucs) {
  const ViewingConditions& vc = kDefault;
  const double mStar = std::hypot(ucs[1], ucs[2]);
  const double m = (std::exp(0.0228 * mStar) - 1) / 0.0228;
  const double c = m / vc.flRoot;
  double h = std::atan2(ucs[2], ucs[1]) * 180 / kPi;
  if (h < 0) h += 360;
  const double j = ucs[0] / (1.7 - 0.007 * ucs[0]);
  return {j, c, h};
}

}  // namespace kd::prismel
