#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "prismel/contrast/metrics.h"
#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hub.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {
namespace {

Color srgb8(int r, int g, int b) {
  return color(kSrgb, static_cast<float>(r) / 255.0f, static_cast<float>(g) / 255.0f,
               static_cast<float>(b) / 255.0f, 1.0f)
      .value();
}

Color lab(double l, double a, double b) {
  return color(kLab, static_cast<float>(l), static_cast<float>(a), static_cast<float>(b), 1.0f)
      .value();
}

TEST(MetricRegistries, NamesInOrderAndSealed) {
  EXPECT_EQ(contrastMetricNames(), (std::vector<std::string>{"wcag22", "apca", "bridgepca"}));
  EXPECT_EQ(differenceMetricNames(),
            (std::vector<std::string>{"deltaE76", "deltaE94", "deltaE2000", "deltaE_cmc",
                                      "deltaE_ok", "deltaE_itp", "deltaE_jz",
                                      "deltaE_cam16Ucs"}));
  ASSERT_NE(contrastMetric("apca"), nullptr);
  EXPECT_EQ(contrastMetric("apca")->fn, &contrastApca);
  EXPECT_EQ(differenceMetric("deltaE2000")->fn, &deltaE2000);
  EXPECT_EQ(contrastMetric("APCA"), nullptr);
  EXPECT_EQ(differenceMetric("deltaE"), nullptr);
  EXPECT_EQ(differenceMetric(""), nullptr);
  EXPECT_FALSE(registerContrastMetric({"mine", contrastWcag22}));
  EXPECT_FALSE(registerDifferenceMetric({"mine", deltaE76}));
  EXPECT_EQ(contrastMetric("mine"), nullptr);
  EXPECT_EQ(differenceMetricNames().size(), 8u);
}

// The 34 test pairs of Sharma, Wu and Dalal (2005), "The CIEDE2000
// color-difference formula: implementation notes, supplementary test data,
// and mathematical observations".
struct SharmaPair {
  double l1, a1, b1, l2, a2, b2, de;
};

const std::array<SharmaPair, 34> kSharma{{
    {50.0000, 2.6772, -79.7751, 50.0000, 0.0000, -82.7485, 2.0425},
    {50.0000, 3.1571, -77.2803, 50.0000, 0.0000, -82.7485, 2.8615},
    {50.0000, 2.8361, -74.0200, 50.0000, 0.0000, -82.7485, 3.4412},
    {50.0000, -1.3802, -84.2814, 50.0000, 0.0000, -82.7485, 1.0000},
    {50.0000, -1.1848, -84.8006, 50.0000, 0.0000, -82.7485, 1.0000},
    {50.0000, -0.9009, -85.5211, 50.0000, 0.0000, -82.7485, 1.0000},
    {50.0000, 0.0000, 0.0000, 50.0000, -1.0000, 2.0000, 2.3669},
    {50.0000, -1.0000, 2.0000, 50.0000, 0.0000, 0.0000, 2.3669},
    {50.0000, 2.4900, -0.0010, 50.0000, -2.4900, 0.0009, 7.1792},
    {50.0000, 2.4900, -0.0010, 50.0000, -2.4900, 0.0010, 7.1792},
    {50.0000, 2.4900, -0.0010, 50.0000, -2.4900, 0.0011, 7.2195},
    {50.0000, 2.4900, -0.0010, 50.0000, -2.4900, 0.0012, 7.2195},
    {50.0000, -0.0010, 2.4900, 50.0000, 0.0009, -2.4900, 4.8045},
    {50.0000, -0.0010, 2.4900, 50.0000, 0.0010, -2.4900, 4.8045},
    {50.0000, -0.0010, 2.4900, 50.0000, 0.0011, -2.4900, 4.7461},
    {50.0000, 2.5000, 0.0000, 50.0000, 0.0000, -2.5000, 4.3065},
    {50.0000, 2.5000, 0.0000, 73.0000, 25.0000, -18.0000, 27.1492},
    {50.0000, 2.5000, 0.0000, 61.0000, -5.0000, 29.0000, 22.8977},
    {50.0000, 2.5000, 0.0000, 56.0000, -27.0000, -3.0000, 31.9030},
    {50.0000, 2.5000, 0.0000, 58.0000, 24.0000, 15.0000, 19.4535},
    {50.0000, 2.5000, 0.0000, 50.0000, 3.1736, 0.5854, 1.0000},
    {50.0000, 2.5000, 0.0000, 50.0000, 3.2972, 0.0000, 1.0000},
    {50.0000, 2.5000, 0.0000, 50.0000, 1.8634, 0.5757, 1.0000},
    {50.0000, 2.5000, 0.0000, 50.0000, 3.2592, 0.3350, 1.0000},
    {60.2574, -34.0099, 36.2677, 60.4626, -34.1751, 39.4387, 1.2644},
    {63.0109, -31.0961, -5.8663, 62.8187, -29.7946, -4.0864, 1.2630},
    {61.2901, 3.7196, -5.3901, 61.4292, 2.2480, -4.9620, 1.8731},
    {35.0831, -44.1164, 3.7933, 35.0232, -40.0716, 1.5901, 1.8645},
    {22.7233, 20.0904, -46.6940, 23.0331, 14.9730, -42.5619, 2.0373},
    {36.4612, 47.8580, 18.3852, 36.2715, 50.5065, 21.2231, 1.4146},
    {90.8027, -2.0831, 1.4410, 91.1528, -1.6435, 0.0447, 1.4441},
    {90.9257, -0.5406, -0.9208, 88.6381, -0.8985, -0.7239, 1.5381},
    {6.7747, -0.2908, -2.4247, 5.8714, -0.0985, -2.2286, 0.6377},
    {2.0776, 0.0795, -1.1350, 0.9033, -0.0636, -0.5514, 0.9082},
}};

TEST(DeltaE2000, SharmaTestPairs) {
  for (size_t i = 0; i < kSharma.size(); ++i) {
    const SharmaPair& p = kSharma[i];
    EXPECT_NEAR(ciede2000(p.l1, p.a1, p.b1, p.l2, p.a2, p.b2), p.de, 5e-5) << "pair " << i + 1;
    // Symmetric.
    EXPECT_NEAR(ciede2000(p.l2, p.a2, p.b2, p.l1, p.a1, p.b1), p.de, 5e-5) << "pair " << i + 1;
    // Through Lab colours (float32 components). Pair 10 sits exactly on the
    // hue-mean discontinuity, which float32 rounding of its inputs can cross.
    if (i + 1 == 10) continue;
    Result<double> viaColors = deltaE2000(lab(p.l1, p.a1, p.b1), lab(p.l2, p.a2, p.b2));
    ASSERT_TRUE(viaColors.ok());
    EXPECT_NEAR(viaColors.value(), p.de, 2e-3) << "pair " << i + 1;
  }
}

// python-colormath's reference pair: Lab(0.9, 16.3, -2.22) against
// Lab(0.7, 14.2, -1.80).
TEST(DeltaEClassic, ReferencePair) {
  EXPECT_NEAR(ciede2000(0.9, 16.3, -2.22, 0.7, 14.2, -1.80), 1.523, 1e-3);
  EXPECT_NEAR(cie94(0.9, 16.3, -2.22, 0.7, 14.2, -1.80), 1.249, 1e-3);
  EXPECT_NEAR(cmc(0.9, 16.3, -2.22, 0.7, 14.2, -1.80, 2, 1), 1.443, 1e-3);
  Result<double> d76 = deltaE76(lab(0.9, 16.3, -2.22), lab(0.7, 14.2, -1.80));
  ASSERT_TRUE(d76.ok());
  EXPECT_NEAR(d76.value(), 2.151, 1e-3);
  EXPECT_NEAR(deltaE94(lab(0.9, 16.3, -2.22), lab(0.7, 14.2, -1.80)).value(), 1.249, 2e-3);
  EXPECT_NEAR(deltaECmc(lab(0.9, 16.3, -2.22), lab(0.7, 14.2, -1.80)).value(), 1.443, 2e-3);
}

TEST(DeltaEClassic, Lab76IsEuclidean) {
  EXPECT_NEAR(deltaE76(lab(50, 0, 0), lab(50, 3, 4)).value(), 5.0, 1e-3);
}

TEST(DeltaEUniformSpaces, DistancesInTheirOwnSpaces) {
  const Color red = srgb8(255, 0, 0);
  const Color blue = srgb8(0, 0, 255);
  // OKLab: Euclidean between the published coordinates of red and blue.
  const double dl = 0.627955 - 0.452014, da = 0.224863 + 0.032457, db = 0.125846 + 0.311528;
  EXPECT_NEAR(deltaEOk(red, blue).value(), std::sqrt(dl * dl + da * da + db * db), 5e-5);
  // CAM16-UCS: Euclidean in (J', a', b').
  const Color ur = to(kCam16Ucs, red).value();
  const Color ub = to(kCam16Ucs, blue).value();
  const double dj = double{ur.c[0]} - ub.c[0], d1 = double{ur.c[1]} - ub.c[1],
               d2 = double{ur.c[2]} - ub.c[2];
  EXPECT_NEAR(deltaECam16Ucs(red, blue).value(), std::sqrt(dj * dj + d1 * d1 + d2 * d2), 1e-9);
  // ITP: 720·|Δ(I, Ct/2, Cp)|.
  const Color ir = to(kIctcp, red).value();
  const Color ib = to(kIctcp, blue).value();
  const double di = double{ir.c[0]} - ib.c[0], dt = 0.5 * (double{ir.c[1]} - ib.c[1]),
               dp = double{ir.c[2]} - ib.c[2];
  EXPECT_NEAR(deltaEItp(red, blue).value(), 720 * std::sqrt(di * di + dt * dt + dp * dp), 1e-9);
  // Jz: a pure lightness difference is |ΔJz|; a pure hue rotation at equal
  // chroma is the chord 2·C·sin(Δh/2).
  const Color j1 = color(kJzazbz, 0.10f, 0.01f, 0.0f, 1).value();
  const Color j2 = color(kJzazbz, 0.12f, 0.01f, 0.0f, 1).value();
  const Color j3 = color(kJzazbz, 0.10f, 0.0f, 0.01f, 1).value();
  EXPECT_NEAR(deltaEJz(j1, j2).value(), 0.02, 1e-5);
  EXPECT_NEAR(deltaEJz(j1, j3).value(), 2 * 0.01 * std::sin(kPi / 4), 1e-5);
}

TEST(DeltaEAll, ZeroForEqualColoursSymmetricAndErrorsPropagate) {
  const Color a = srgb8(200, 120, 40);
  const Color b = srgb8(30, 140, 220);
  for (const std::string& name : differenceMetricNames()) {
    const DifferenceMetric* m = differenceMetric(name);
    ASSERT_NE(m, nullptr);
    EXPECT_NEAR(m->fn(a, a).value(), 0.0, 1e-9) << name;
    const double ab = m->fn(a, b).value();
    EXPECT_GT(ab, 0.0) << name;
    if (name != "deltaE_cmc" && name != "deltaE94") {
      EXPECT_NEAR(ab, m->fn(b, a).value(), 1e-9 * std::max(1.0, ab)) << name;
    }
    const Color cmyk = color(kCmyk, 0, 0, 0, 1).value();
    Result<double> bad = m->fn(cmyk, a);
    ASSERT_FALSE(bad.ok()) << name;
    EXPECT_EQ(bad.error().where, "famCmyk");
  }
}

// WCAG 2.x contrast ratios of well-known pairs.
TEST(ContrastWcag, KnownRatios) {
  EXPECT_NEAR(contrastWcag22(srgb8(0, 0, 0), srgb8(255, 255, 255)).value(), 21.0, 1e-6);
  EXPECT_NEAR(contrastWcag22(srgb8(255, 255, 255), srgb8(0, 0, 0)).value(), 21.0, 1e-6);
  EXPECT_NEAR(contrastWcag22(srgb8(119, 119, 119), srgb8(255, 255, 255)).value(), 4.48, 5e-3);
  EXPECT_NEAR(contrastWcag22(srgb8(0, 0, 255), srgb8(255, 255, 255)).value(), 8.59, 5e-3);
  EXPECT_NEAR(contrastWcag22(srgb8(255, 0, 0), srgb8(255, 255, 255)).value(), 4.00, 5e-3);
  EXPECT_NEAR(contrastWcag22(srgb8(90, 90, 90), srgb8(90, 90, 90)).value(), 1.0, 1e-12);
  // Out-of-gamut colours are clamped to the display gamut first.
  const Color overWhite = color(kSrgb, 1.5f, 1.5f, 1.5f, 1).value();
  EXPECT_NEAR(contrastWcag22(srgb8(0, 0, 0), overWhite).value(), 21.0, 1e-6);
}

// APCA 0.0.98G-4g reference values.
TEST(ContrastApca, KnownLc) {
  EXPECT_NEAR(contrastApca(srgb8(0, 0, 0), srgb8(255, 255, 255)).value(), 106.04, 0.01);
  EXPECT_NEAR(contrastApca(srgb8(255, 255, 255), srgb8(0, 0, 0)).value(), -107.88, 0.01);
  EXPECT_NEAR(contrastApca(srgb8(136, 136, 136), srgb8(255, 255, 255)).value(), 63.06, 0.01);
  EXPECT_NEAR(contrastApca(srgb8(255, 255, 255), srgb8(136, 136, 136)).value(), -68.54, 0.01);
  EXPECT_EQ(contrastApca(srgb8(100, 100, 100), srgb8(100, 100, 100)).value(), 0.0);
}

TEST(ContrastApca, ColouredPairs) {
  // Values of the published apca-w3 0.1.9 implementation.
  EXPECT_NEAR(contrastApca(srgb8(200, 30, 60), srgb8(240, 240, 200)).value(), 65.996014, 1e-4);
  EXPECT_NEAR(contrastApca(srgb8(230, 230, 250), srgb8(20, 40, 90)).value(), -88.372775, 1e-4);
  EXPECT_NEAR(contrastApca(srgb8(255, 255, 255), srgb8(51, 51, 51)).value(), -102.026011, 1e-4);
}

TEST(ContrastBridgePca, PublishedValues) {
  // Values of the published bridge-pca 0.1.6 implementation.
  const struct {
    std::array<int, 3> text, background;
    double lc;
  } cases[] = {
      {{0, 0, 0}, {255, 255, 255}, 106.040667},
      {{255, 255, 255}, {0, 0, 0}, -105.191393},
      {{136, 136, 136}, {255, 255, 255}, 63.056466},
      {{255, 255, 255}, {136, 136, 136}, -65.848127},
      {{255, 255, 255}, {51, 51, 51}, -99.332671},
      {{200, 30, 60}, {240, 240, 200}, 65.998258},
      {{230, 230, 250}, {20, 40, 90}, -88.372717},
  };
  for (const auto& c : cases) {
    const Color t = srgb8(c.text[0], c.text[1], c.text[2]);
    const Color b = srgb8(c.background[0], c.background[1], c.background[2]);
    EXPECT_NEAR(contrastBridgePca(t, b).value(), c.lc, 1e-4) << c.lc;
  }
  EXPECT_EQ(contrastBridgePca(srgb8(7, 7, 7), srgb8(7, 7, 7)).value(), 0.0);
  EXPECT_FALSE(contrastBridgePca(color(kCmyk, 0, 0, 0, 1).value(), srgb8(1, 1, 1)).ok());
}

}  // namespace
}  // namespace kd::prismel
