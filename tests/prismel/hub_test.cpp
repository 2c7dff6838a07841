#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hub.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {
namespace {

Color make(SpaceTag t, float a, float b, float c, float alpha = 1.0f) {
  return color(t, a, b, c, alpha).value();
}

void expectNear(const Result<Color>& r, SpaceTag t, std::array<double, 3> want, double tol) {
  ASSERT_TRUE(r.ok()) << r.error().msg;
  EXPECT_EQ(r.value().space, t);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(r.value().c[i], want[i], tol) << "component " << i;
}

// Published OKLab coordinates of the sRGB primaries (CSS Color 4 sample
// values, Ottosson's reference implementation).
TEST(HubOklab, PublishedValuesOfSrgbColours) {
  expectNear(to(kOklab, make(kSrgb, 1, 0, 0)), kOklab, {0.627955, 0.224863, 0.125846}, 2e-5);
  expectNear(to(kOklab, make(kSrgb, 0, 1, 0)), kOklab, {0.866440, -0.233888, 0.179498}, 2e-5);
  expectNear(to(kOklab, make(kSrgb, 0, 0, 1)), kOklab, {0.452014, -0.032457, -0.311528}, 2e-5);
  expectNear(to(kOklab, make(kSrgb, 1, 1, 1)), kOklab, {1, 0, 0}, 1e-6);
}

TEST(HubOklab, BlackIsExactlyZero) {
  Result<Color> r = to(kOklab, make(kSrgb, 0, 0, 0));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().c, (std::array<float, 3>{0, 0, 0}));
}

// Ottosson's table of XYZ (D65) -> OKLab, given to three decimals.
TEST(HubOklab, OttossonXyzTable) {
  expectNear(to(kOklab, make(kXyz, 0.950f, 1.000f, 1.089f)), kOklab, {1.000, 0.000, 0.000}, 2e-3);
  expectNear(to(kOklab, make(kXyz, 1, 0, 0)), kOklab, {0.450, 1.236, -0.019}, 2e-3);
  expectNear(to(kOklab, make(kXyz, 0, 1, 0)), kOklab, {0.922, -0.671, 0.263}, 2e-3);
  expectNear(to(kOklab, make(kXyz, 0, 0, 1)), kOklab, {0.153, -1.415, -0.449}, 2e-3);
}

TEST(HubOklab, LinearSrgbAndOklchAgree) {
  const Color red = make(kSrgb, 1, 0, 0);
  expectNear(to(kSrgbLinear, red), kSrgbLinear, {1, 0, 0}, 0);
  expectNear(to(kOklab, make(kSrgbLinear, 1, 0, 0)), kOklab, {0.627955, 0.224863, 0.125846},
             2e-5);
  // oklch(62.8% 0.2577 29.23) in CSS Color 4.
  expectNear(to(kOklch, red), kOklch, {0.627955, 0.257683, 29.2339}, 2e-4);
}

// CIE Lab (D50, Bradford) of the sRGB primaries: CSS Color 4 / Lindbloom.
TEST(HubLab, KnownColoursUnderD50WithBradford) {
  expectNear(to(kLab, make(kSrgb, 1, 0, 0)), kLab, {54.2905, 80.8049, 69.8910}, 0.03);
  expectNear(to(kLab, make(kSrgb, 0, 1, 0)), kLab, {87.8185, -79.2711, 80.9946}, 0.03);
  expectNear(to(kLab, make(kSrgb, 0, 0, 1)), kLab, {29.5683, 68.2874, -112.0297}, 0.03);
  expectNear(to(kLab, make(kSrgb, 1, 1, 1)), kLab, {100, 0, 0}, 2e-3);
  expectNear(to(kLab, make(kSrgb, 0.5f, 0.5f, 0.5f)), kLab, {53.3889, 0, 0}, 2e-3);
}

TEST(HubLab, D50WhiteIsLabWhite) {
  const Vec3 lab = xyzD50ToLab(Vec3{0.964296, 1.0, 0.825105});
  EXPECT_DOUBLE_EQ(lab[0], 100);
  EXPECT_NEAR(lab[1], 0, 1e-12);
  EXPECT_NEAR(lab[2], 0, 1e-12);
  // Below the knee the linear segment applies, and it inverts.
  const Vec3 dark = xyzD50ToLab(Vec3{0.001, 0.001, 0.001});
  EXPECT_NEAR(dark[0], 903.2962962962963 * 0.001, 1e-9);
  const Vec3 back = labToXyzD50(dark);
  for (double v : back) EXPECT_NEAR(v, 0.001, 1e-12);
}

TEST(HubLch, NegativeHueAcceptedAndPolarHueRaised) {
  expectNear(to(kLch, make(kLab, 50, -10, -10)), kLch, {50, std::sqrt(200.0), 225}, 1e-4);
  Result<Color> neg = to(kLab, make(kLch, 50, 10, -30));
  expectNear(neg, kLab, {50, 10 * std::cos(-kPi / 6), 10 * std::sin(-kPi / 6)}, 1e-5);
  // The same through the hub (not a short path).
  Result<Color> viaXyz = to(kOklab, make(kLch, 50, 10, -30));
  Result<Color> via330 = to(kOklab, make(kLch, 50, 10, 330));
  ASSERT_TRUE(viaXyz.ok() && via330.ok());
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(viaXyz.value().c[i], via330.value().c[i], 1e-6);
}

TEST(HubCylindrical, HsvHslHwbOfKnownColours) {
  expectNear(to(kHsv, make(kSrgb, 1, 0.5f, 0)), kHsv, {30, 1, 1}, 1e-4);
  expectNear(to(kHsl, make(kSrgb, 1, 0.5f, 0)), kHsl, {30, 1, 0.5}, 1e-4);
  expectNear(to(kHwb, make(kSrgb, 1, 0.5f, 0)), kHwb, {30, 0, 0}, 1e-4);
  expectNear(to(kHsl, make(kSrgb, 0.2f, 0.4f, 0.6f)), kHsl, {210, 0.5, 0.4}, 1e-4);
  expectNear(to(kHsv, make(kSrgb, 0.5f, 0.25f, 0.75f)), kHsv, {270, 2.0 / 3, 0.75}, 1e-4);
  // Short paths among the three.
  expectNear(to(kHsl, make(kHsv, 210, 2.0f / 3, 0.6f)), kHsl, {210, 0.5, 0.4}, 1e-6);
  expectNear(to(kHwb, make(kHsl, 210, 0.5f, 0.4f)), kHwb, {210, 0.2, 0.4}, 1e-6);
  expectNear(to(kHsv, make(kHwb, 210, 0.2f, 0.4f)), kHsv, {210, 2.0 / 3, 0.6}, 1e-6);
}

TEST(HubCylindrical, HwbGrey) {
  expectNear(to(kSrgb, make(kHwb, 120, 0.7f, 0.6f)), kSrgb, {0.7 / 1.3, 0.7 / 1.3, 0.7 / 1.3}, 1e-5);
  const Vec3 grey = hwbToSrgb(Vec3{120, 0.7, 0.6});
  EXPECT_DOUBLE_EQ(grey[0], 0.7 / 1.3);
  EXPECT_EQ(grey[0], grey[1]);
  EXPECT_EQ(grey[1], grey[2]);
}

TEST(HubCylindrical, HueWrapsModulo360) {
  const Vec3 a = hueToRgb(-60, 1, 1);
  const Vec3 b = hueToRgb(300, 1, 1);
  const Vec3 c = hueToRgb(660, 1, 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(a[i], b[i], 1e-12);
    EXPECT_NEAR(c[i], b[i], 1e-12);
  }
  EXPECT_EQ(hueToRgb(-1e-17, 1, 1), (Vec3{1, 0, 0}));
}

TEST(HubYcbcr, Bt709WeightsWithoutOffsets) {
  expectNear(to(kYcbcr, make(kSrgb, 1, 1, 1)), kYcbcr, {1, 0, 0}, 1e-5);
  expectNear(to(kYcbcr, make(kSrgb, 1, 0, 0)), kYcbcr,
             {0.2126, -0.2126 / 1.8556, (1 - 0.2126) / 1.5748}, 1e-5);
  expectNear(to(kYcbcr, make(kSrgb, 0, 0, 1)), kYcbcr, {0.0722, 0.5, -0.0722 / 1.5748}, 1e-5);
}

TEST(HubXyy, SingularitiesAreErrors) {
  Result<Color> r = to(kXyy, make(kXyz, 0, 0, 0));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceInvalidValue);
  EXPECT_EQ(r.error().msg, "XYZ sum=0 -> xyY undefined");
  EXPECT_EQ(r.error().where, "xyzToXyy");
  Result<Color> s = to(kXyz, make(kXyy, 0.3f, 0, 0.5f));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().msg, "xyY with y=0 is undefined");
  EXPECT_EQ(s.error().where, "xyyToXYZ");
  // D65 white chromaticity.
  expectNear(to(kXyy, make(kSrgb, 1, 1, 1)), kXyy, {0.3127, 0.3290, 1.0}, 1e-4);
}

TEST(HubCmyk, EveryConversionRefused) {
  Result<Color> into = to(kCmyk, make(kSrgb, 0.5f, 0.5f, 0.5f));
  ASSERT_FALSE(into.ok());
  EXPECT_EQ(into.error().kind, ceInvalidArgument);
  EXPECT_EQ(into.error().msg, "fromXYZ not implemented for family");
  EXPECT_EQ(into.error().where, "famCmyk");
  Result<Color> from = to(kSrgb, make(kCmyk, 0.1f, 0.2f, 0.3f));
  ASSERT_FALSE(from.ok());
  EXPECT_EQ(from.error().kind, ceInvalidArgument);
  EXPECT_EQ(from.error().msg, "toXYZ not implemented for family");
  EXPECT_EQ(from.error().where, "famCmyk");
}

TEST(HubErrors, UnregisteredTags) {
  Result<Color> a = to(kSrgb, Color{{0, 0, 0}, 1, 99});
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().kind, ceUnknownSpace);
  EXPECT_EQ(a.error().msg, "space not registered");
  Result<Color> b = to(99, make(kSrgb, 0, 0, 0));
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().kind, ceUnknownSpace);
  EXPECT_EQ(b.error().msg, "target space not registered");
  EXPECT_EQ(to(0, make(kSrgb, 0, 0, 0)).error().kind, ceUnknownSpace);
  Result<Color> sp = shortPath(kOklab, make(kSrgb, 0, 0, 0));
  ASSERT_FALSE(sp.ok());
  EXPECT_EQ(sp.error().kind, ceInvalidArgument);
  EXPECT_EQ(sp.error().msg, "not a short-path pair");
}

TEST(HubErrors, NegativeUnderPowerCurveIsNotAColour) {
  // A98 decodes with a pure power: a negative component has no real result.
  Result<Color> r = to(kSrgb, make(kA98, -0.5f, 0.5f, 0.5f));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceInvalidValue);
  EXPECT_EQ(r.error().msg, "component NaN/Inf at bounds");
  // sRGB keeps a linear segment below the knee: negatives pass through.
  expectNear(to(kSrgbLinear, make(kSrgb, -0.02f, 0, 0)), kSrgbLinear, {-0.02 / 12.92, 0, 0}, 1e-9);
  // Components that overflow float32 are refused too.
  EXPECT_FALSE(to(kSrgbLinear, make(kXyz, 3e38f, 3e38f, 3e38f)).ok());
}

TEST(HubShortPaths, WhichPairs) {
  EXPECT_TRUE(isShortPathPair(1, 2));
  EXPECT_TRUE(isShortPathPair(2, 1));
  EXPECT_TRUE(isShortPathPair(13, 14));
  EXPECT_TRUE(isShortPathPair(16, 15));
  EXPECT_TRUE(isShortPathPair(17, 19));
  EXPECT_TRUE(isShortPathPair(18, 17));
  EXPECT_FALSE(isShortPathPair(17, 17));
  EXPECT_FALSE(isShortPathPair(1, 1));
  EXPECT_FALSE(isShortPathPair(1, 15));
  EXPECT_FALSE(isShortPathPair(13, 16));
}

TEST(HubTransfers, CurvesAtTheirKnees) {
  EXPECT_DOUBLE_EQ(decodeTransfer(1, 0, 0.04045), 0.04045 / 12.92);
  EXPECT_DOUBLE_EQ(decodeTransfer(1, 0, 1.0), 1.0);
  EXPECT_DOUBLE_EQ(encodeTransfer(1, 0, 0.0031308), 12.92 * 0.0031308);
  EXPECT_DOUBLE_EQ(decodeTransfer(3, 0, 0.03125), 0.03125 / 16);
  EXPECT_DOUBLE_EQ(decodeTransfer(3, 0, 0.5), std::pow(0.5, 1.8));
  EXPECT_DOUBLE_EQ(encodeTransfer(3, 0, 1.0 / 512), 16.0 / 512);
  EXPECT_DOUBLE_EQ(decodeTransfer(4, 0, 0.0809), 0.0809 / 4.5);
  EXPECT_DOUBLE_EQ(encodeTransfer(4, 0, 0.0179), 4.5 * 0.0179);
  EXPECT_DOUBLE_EQ(decodeTransfer(2, 2.2, 0.5), std::pow(0.5, 2.2));
  EXPECT_TRUE(std::isnan(decodeTransfer(9, 0, 0.5)));
  EXPECT_TRUE(std::isnan(encodeTransfer(5, 0, 0.5)));
  for (int t : {0, 1, 3, 4}) {
    for (double v = 0; v <= 1.0; v += 1.0 / 64) {
      EXPECT_NEAR(encodeTransfer(t, 0, decodeTransfer(t, 0, v)), v, 1e-12) << t << " " << v;
    }
  }
}

TEST(HubRgb, WideGamutWhitesAndPrimaries) {
  // White maps to white in every RGB space (ProPhoto through Bradford), to the
  // precision of the seven-digit matrices.
  for (SpaceTag t : {kP3, kRec2020, kA98, kProPhoto}) {
    expectNear(to(t, make(kSrgb, 1, 1, 1)), t, {1, 1, 1}, 2e-4);
  }
  // CSS Color 4: sRGB red in display-p3 and rec2020.
  expectNear(to(kP3, make(kSrgb, 1, 0, 0)), kP3, {0.917488, 0.200287, 0.138561}, 2e-4);
  expectNear(to(kRec2020Linear, make(kSrgbLinear, 1, 0, 0)), kRec2020Linear,
             {0.627404, 0.069097, 0.016391}, 2e-4);
}

TEST(HubCam16, AppearanceOfKnownColours) {
  // Published CAM16 J, C, h under the default viewing conditions (sRGB
  // white, L* 50 background, average surround). The references use a
  // slightly different sRGB -> XYZ matrix, hence the tolerances.
  expectNear(to(kCam16, make(kSrgb, 1, 1, 1)), kCam16, {100.0, 2.869, 209.492}, 0.02);
  expectNear(to(kCam16, make(kSrgb, 1, 0, 0)), kCam16, {46.445, 113.357, 27.408}, 0.05);
  expectNear(to(kCam16, make(kSrgb, 0, 1, 0)), kCam16, {79.331, 108.410, 142.139}, 0.05);
  expectNear(to(kCam16, make(kSrgb, 0, 0, 1)), kCam16, {25.465, 87.230, 282.788}, 0.05);
}

TEST(HubCam16, BlackIsZero) {
  Result<Color> cam = to(kCam16, make(kSrgb, 0, 0, 0));
  ASSERT_TRUE(cam.ok());
  EXPECT_EQ(cam.value().c[0], 0);
  EXPECT_EQ(cam.value().c[1], 0);
  Result<Color> ucs = to(kCam16Ucs, make(kSrgb, 0, 0, 0));
  ASSERT_TRUE(ucs.ok());
  EXPECT_EQ(ucs.value().c, (std::array<float, 3>{0, 0, 0}));
}

TEST(HubHct, ForwardCoordinates) {
  // Published HCT of pure red, and tone as CIE L*.
  expectNear(to(kHct, make(kSrgb, 1, 0, 0)), kHct, {27.408, 113.357, 53.241}, 0.05);
  Result<Color> grey = to(kHct, make(kSrgb, 0.5f, 0.5f, 0.5f));
  ASSERT_TRUE(grey.ok());
  const double lstar = to(kLab, make(kSrgb, 0.5f, 0.5f, 0.5f)).value().c[0];
  EXPECT_NEAR(grey.value().c[2], lstar, 1e-3);
  EXPECT_LT(grey.value().c[1], 3.0);  // the default surround leaves greys a little chroma
}

// Every pair of spaces, both directions, on a grid of sRGB colours: going
// out and back returns the colour within 1e-5 (relative to the component's
// magnitude, ignoring hues of achromatic colours).
struct Channels {
  int hue = -1;    // index of a hue channel
  int guard = -1;  // channel that must be clearly non-zero for the hue to be defined
};

Channels channelsOf(SpaceTag t) {
  switch (t) {
    case kLch: case kOklch: case kCam16: return {2, 1};
    case kHsv: case kHsl: return {0, 1};
    case kHwb: return {0, -1};
    default: return {};
  }
}

bool hueDefined(SpaceTag t, const Color& c) {
  const Channels ch = channelsOf(t);
  if (ch.hue < 0) return false;
  if (t == kHwb) return c.c[1] + c.c[2] < 0.999;
  const double g = c.c[ch.guard];
  if (t == kHsv) return g > 1e-3 && c.c[2] > 1e-3;
  if (t == kHsl) return g > 1e-3 && c.c[2] > 1e-3 && c.c[2] < 0.999;
  if (t == kCam16) return g > 0.5;
  return g > 1e-3;
}

// Nominal magnitude of a space's components: Lab-like and CAM16 spaces work
// on a 0..100 scale (the D50 spaces also carry the seven-digit Bradford
// constants, whose two directions are inverse only to about 1e-7).
double scaleOf(SpaceTag t) {
  switch (t) {
    case kLab: case kLch: case kCam16: case kCam16Ucs: return 100;
    default: return 1;
  }
}

// Spaces relative to D50. Crossing between D50 and D65 uses the two Bradford
// matrices, which (built on the stored seven-digit inverse) undo each other
// only to about 2e-6, so round trips that pass between them (a D50 space to
// itself goes round through D65 XYZ too) get a tolerance of 1e-4.
bool isD50(SpaceTag t) { return t == kLab || t == kLch || t == kProPhoto || t == kProPhotoLinear; }

TEST(HubRoundTrip, EveryInvertiblePairOverAGrid) {
  std::vector<SpaceTag> spaces;
  for (SpaceTag t = 1; t <= 25; ++t) {
    if (t != kCmyk) spaces.push_back(t);
  }
  const std::array<float, 5> levels{0.0f, 0.2f, 0.5f, 0.8f, 1.0f};
  int checked = 0;
  for (float r : levels) {
    for (float g : levels) {
      for (float b : levels) {
        const Color s = make(kSrgb, r, g, b, 0.25f);
        for (SpaceTag a : spaces) {
          Result<Color> ca = to(a, s);
          if (a == kXyy && r == 0 && g == 0 && b == 0) {
            EXPECT_FALSE(ca.ok());
            continue;
          }
          // Colours with a zero channel can land a hair below zero in linear
          // A98 (the matrices are seven-digit constants), where its pure
          // power curve has no value.
          const bool edge = r == 0 || g == 0 || b == 0;
          const auto a98Edge = [&](const Result<Color>& res, SpaceTag target) {
            if (res.ok() || target != kA98 || !edge) return false;
            EXPECT_EQ(res.error().msg, "component NaN/Inf at bounds");
            return true;
          };
          if (a98Edge(ca, a)) continue;
          ASSERT_TRUE(ca.ok()) << a << " " << ca.error().msg;
          for (SpaceTag bTag : spaces) {
            Result<Color> cb = to(bTag, ca.value());
            if (bTag == kXyy && r == 0 && g == 0 && b == 0) continue;
            if (a98Edge(cb, bTag)) continue;
            ASSERT_TRUE(cb.ok()) << a << "->" << bTag << " " << cb.error().msg;
            Result<Color> back = to(a, cb.value());
            if (a98Edge(back, a)) continue;
            ASSERT_TRUE(back.ok()) << bTag << "->" << a << " " << back.error().msg;
            EXPECT_EQ(back.value().alpha, 0.25f);
            EXPECT_EQ(back.value().space, a);
            const Channels ch = channelsOf(a);
            const bool crossesWhites = (isD50(a) || isD50(bTag)) && !isShortPathPair(a, bTag);
            const double tol = crossesWhites ? 1e-4 : 1e-5;
            for (int i = 0; i < 3; ++i) {
              const double want = ca.value().c[i];
              const double got = back.value().c[i];
              if (i == ch.hue) {
                if (!hueDefined(a, ca.value())) continue;
                double d = std::fabs(want - got);
                d = std::min(d, 360 - d);
                EXPECT_LE(d, tol * 360) << a << " via " << bTag << " rgb " << r << g << b;
                continue;
              }
              // Saturation is undefined at black (HSV, HSL) and white (HSL).
              if ((a == kHsv && i == 1 && ca.value().c[2] < 1e-3) ||
                  (a == kHsl && i == 1 &&
                   (ca.value().c[2] < 1e-3 || ca.value().c[2] > 0.999))) {
                continue;
              }
              if (a == kA98 && std::fabs(want) < 0.01) {
                // The pure power curve has unbounded slope at 0: compare
                // such components in linear light.
                EXPECT_LE(std::fabs(std::pow(want, 2.2) - std::pow(got, 2.2)), tol);
                continue;
              }
              EXPECT_LE(std::fabs(want - got),
                        tol * scaleOf(a) * std::max(1.0, std::fabs(want) / scaleOf(a)))
                  << a << " via " << bTag << " ch " << i << " rgb " << r << " " << g << " " << b
                  << " want " << want << " got " << got;
              ++checked;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 100000);
}

TEST(HubAlpha, CarriedUnchangedEverywhere) {
  const Color s = make(kSrgb, 0.3f, 0.6f, 0.9f, 0.25f);
  for (SpaceTag t = 1; t <= 26; ++t) {
    if (t == kCmyk) continue;
    Result<Color> r = to(t, s);
    ASSERT_TRUE(r.ok()) << t;
    EXPECT_EQ(r.value().alpha, 0.25f) << t;
    Result<Color> back = to(kSrgb, r.value());
    ASSERT_TRUE(back.ok()) << t;
    EXPECT_EQ(back.value().alpha, 0.25f) << t;
  }
  Result<Color> x = fromXYZ(Vec3{0.2, 0.3, 0.4}, kOklab);
  ASSERT_TRUE(x.ok());
  EXPECT_EQ(x.value().alpha, 1.0f);
}

}  // namespace
}  // namespace kd::prismel

namespace kd::prismel {
namespace {

// SMPTE ST 2084 code values of well-known luminances (fraction of 10000 cd/m²).
TEST(HubHdr, PqCurveKnownValues) {
  EXPECT_DOUBLE_EQ(pqEncode(1.0, 78.84375), 1.0);
  EXPECT_EQ(pqEncode(0.0, 78.84375), std::pow(0.8359375 / 1.0, 78.84375));
  EXPECT_NEAR(pqEncode(0.0001, 78.84375), 0.14994, 5e-5);  // 1 cd/m²
  EXPECT_NEAR(pqEncode(0.01, 78.84375), 0.50808, 5e-5);    // 100 cd/m²
  EXPECT_NEAR(pqEncode(0.1, 78.84375), 0.75183, 5e-5);     // 1000 cd/m²
  for (double v : {0.0001, 0.003, 0.01, 0.2, 0.9}) {
    EXPECT_NEAR(pqDecode(pqEncode(v, 78.84375), 78.84375), v, 1e-12 + 1e-9 * v);
    EXPECT_NEAR(pqDecode(pqEncode(v, 134.034375), 134.034375), v, 1e-12 + 1e-9 * v);
  }
}

TEST(HubHdr, IctcpOfWhiteIsAchromatic) {
  // sRGB white is Rec. 2020 white, where L = M = S, so Ct = Cp = 0; the hub's
  // Y = 1 is taken as 1 cd/m².
  Result<Color> w = to(kIctcp, color(kSrgb, 1, 1, 1, 1).value());
  ASSERT_TRUE(w.ok());
  EXPECT_NEAR(w.value().c[0], 0.14994, 2e-4);
  EXPECT_NEAR(w.value().c[1], 0, 1e-5);
  EXPECT_NEAR(w.value().c[2], 0, 1e-5);
  Result<Color> black = to(kIctcp, color(kSrgb, 0, 0, 0, 1).value());
  ASSERT_TRUE(black.ok());
  EXPECT_NEAR(black.value().c[0], std::pow(0.8359375, 78.84375), 1e-9);
}

TEST(HubHdr, JzazbzLightnessOrdersGreys) {
  double last = -1;
  for (float v : {0.0f, 0.1f, 0.3f, 0.6f, 1.0f}) {
    Result<Color> jz = to(kJzazbz, color(kSrgb, v, v, v, 1).value());
    ASSERT_TRUE(jz.ok());
    EXPECT_GT(jz.value().c[0], last);
    EXPECT_LT(std::hypot(jz.value().c[1], jz.value().c[2]), 0.01) << v;
    last = jz.value().c[0];
  }
}

}  // namespace
}  // namespace kd::prismel
