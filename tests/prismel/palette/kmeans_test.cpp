#include "prismel/palette/kmeans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "prismel/palette/lloyd.h"

namespace kd::prismel {
namespace {

constexpr float kRoundTrip = 2e-6f;  // OKLab -> XYZ -> OKLab changes the last digits

Color oklab(float l, float a, float b, float alpha = 1.0f) {
  return Color{{l, a, b}, alpha, 15};
}

void expectNear(const Color& got, const Color& want, float tol = kRoundTrip) {
  EXPECT_NEAR(got.c[0], want.c[0], tol);
  EXPECT_NEAR(got.c[1], want.c[1], tol);
  EXPECT_NEAR(got.c[2], want.c[2], tol);
}

KmeansConfig config(int64_t k, int64_t maxIter, bool plusPlus, uint64_t seed = 0) {
  KmeansConfig c;
  c.k = k;
  c.maxIter = maxIter;
  c.plusPlus = plusPlus;
  c.seed = seed;
  return c;
}

void expectKmeansError(const std::vector<Color>& pts, const KmeansConfig& c, const char* msg) {
  Result<KmeansResult> r = kmeans(pts, c);
  ASSERT_FALSE(r.ok()) << msg;
  EXPECT_EQ(r.error().kind, ceInvalidValue);
  EXPECT_EQ(r.error().msg, msg);
  EXPECT_EQ(r.error().where, "kmeans");
}

TEST(KmeansRejects, EveryArgumentCheckInOrder) {
  const std::vector<Color> two = {oklab(0.2f, 0, 0), oklab(0.4f, 0, 0)};
  expectKmeansError({}, config(0, -1, false), "kmeans: empty point set");
  expectKmeansError(two, config(0, -1, false), "kmeans: k must be >= 1, got 0");
  expectKmeansError(two, config(3, -1, false), "kmeans: k (3) > number of points (2)");
  expectKmeansError(two, config(2, -1, false), "kmeans: maxIter must be >= 0, got -1");
  KmeansConfig noThreads = config(2, 1, false);
  noThreads.threads = 0;
  expectKmeansError(two, noThreads, "kmeans: threads must be >= 1, got 0");
}

TEST(KmeansRejects, PointInUnregisteredSpace) {
  Result<KmeansResult> r = kmeans({Color{{0.5f, 0.5f, 0.5f}, 1.0f, 999}}, config(1, 1, false));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceUnknownSpace);
}

// Seed 0: the generator starts at the increment, so the picks are the 2nd,
// 3rd and 4th outputs of the seed-0 reference stream modulo the point count:
// 0x6E789E6AA1B965F4 % 7 = 1, 0x06C45D188009454F % 7 = 2, 0xF88BB8A8724C81EC % 7 = 4.
TEST(KmeansInit, RandomPicksFollowTheGeneratorAndKeepAlpha) {
  std::vector<Color> pts;
  for (int i = 0; i < 7; ++i) pts.push_back(oklab(0.1f * i, 0.01f * i, -0.01f * i, 0.1f * i));
  Result<KmeansResult> r = kmeans(pts, config(3, 0, false));
  ASSERT_TRUE(r.ok());
  const std::vector<Color> c = r.value().palette.colors();
  ASSERT_EQ(c.size(), 3u);
  const int expected[3] = {1, 2, 4};
  for (int i = 0; i < 3; ++i) {
    expectNear(c[i], pts[expected[i]]);
    EXPECT_EQ(c[i].alpha, pts[expected[i]].alpha);
    EXPECT_EQ(c[i].space, 15);
  }
  EXPECT_EQ(r.value().palette.seed(), 0u);
}

TEST(KmeansInit, PlusPlusFallsBackToUniformOnOneColour) {
  const std::vector<Color> pts(10, oklab(0.5f, 0.1f, -0.05f));
  Result<KmeansResult> r = kmeans(pts, config(3, 20, true));
  ASSERT_TRUE(r.ok());
  const std::vector<Color> c = r.value().palette.colors();
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].c, c[1].c);
  EXPECT_EQ(c[1].c, c[2].c);
  expectNear(c[0], pts[0]);
  // Equal distances go to the lowest centroid index.
  for (uint32_t label : r.value().labels) EXPECT_EQ(label, 0u);
}

TEST(KmeansInit, PlusPlusSecondCentroidNeverOnTheFirst) {
  std::vector<Color> pts(9, oklab(0.2f, 0, 0));
  pts.push_back(oklab(0.9f, 0, 0));
  for (uint64_t seed = 0; seed < 32; ++seed) {
    Result<KmeansResult> r = kmeans(pts, config(2, 0, true, seed));
    ASSERT_TRUE(r.ok());
    const std::vector<Color> c = r.value().palette.colors();
    EXPECT_GT(std::abs(c[0].c[0] - c[1].c[0]), 0.5f) << "seed " << seed;
  }
}

TEST(KmeansLloyd, ConvergesToClusterMeans) {
  // Two well separated groups; their means are exact in binary.
  const std::vector<Color> pts = {oklab(0.4375f, 0.0f, 0.0f), oklab(0.5625f, 0.0f, 0.0f),
                                  oklab(0.5f, 0.0f, 0.0f),    oklab(0.5f, 0.5f, 0.25f),
                                  oklab(0.5f, 0.5f, 0.5f),    oklab(0.5f, 0.5f, 0.375f)};
  for (uint64_t seed = 0; seed < 8; ++seed) {
    Result<KmeansResult> r = kmeans(pts, config(2, 20, true, seed));
    ASSERT_TRUE(r.ok());
    std::vector<Color> c = r.value().palette.colors();
    std::sort(c.begin(), c.end(), [](const Color& a, const Color& b) { return a.c[1] < b.c[1]; });
    expectNear(c[0], oklab(0.5f, 0.0f, 0.0f), 1e-5f);
    expectNear(c[1], oklab(0.5f, 0.5f, 0.375f), 1e-5f);
    EXPECT_EQ(c[0].alpha, 1.0f);
    const std::vector<uint32_t>& labels = r.value().labels;
    ASSERT_EQ(labels.size(), 6u);
    EXPECT_EQ(labels[0], labels[1]);
    EXPECT_EQ(labels[1], labels[2]);
    EXPECT_EQ(labels[3], labels[4]);
    EXPECT_NE(labels[0], labels[3]);
  }
}

TEST(KmeansLloyd, SameSeedSameBitsDifferentSeedsMayDiffer) {
  std::vector<Color> pts;
  for (int i = 0; i < 200; ++i) {
    pts.push_back(oklab(0.3f + 0.002f * static_cast<float>(i % 37),
                        -0.1f + 0.001f * static_cast<float>(i % 11),
                        0.05f * static_cast<float>(i % 5)));
  }
  Result<KmeansResult> a = kmeans(pts, config(5, 20, false, 7));
  Result<KmeansResult> b = kmeans(pts, config(5, 20, false, 7));
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.value().palette.colors(), b.value().palette.colors());
  bool anyDiffers = false;
  for (uint64_t seed = 8; seed < 16 && !anyDiffers; ++seed) {
    anyDiffers = kmeans(pts, config(5, 20, false, seed)).value().palette.colors() !=
                 a.value().palette.colors();
  }
  EXPECT_TRUE(anyDiffers);
}

TEST(KmeansDistance, SquaredAndRootForms) {
  const Color a = oklab(0.5f, 0.0f, 0.0f), b = oklab(0.5f, 0.375f, 0.5f);
  EXPECT_DOUBLE_EQ(sqDist(a, b), 0.375 * 0.375 + 0.25);
  EXPECT_DOUBLE_EQ(deltaE_ok(a, b), 0.625);
}

TEST(KmeansRegistry, HoldsKmeansAndRefusesBadEntries) {
  initKmeans();
  ASSERT_TRUE(kmeansByName("kmeans").has_value());
  EXPECT_EQ(*kmeansByName("kmeans"), &kmeans);
  EXPECT_FALSE(kmeansByName("Kmeans").has_value());
  EXPECT_FALSE(registerKmeansAlgo("kmeans", &kmeans));
  EXPECT_FALSE(registerKmeansAlgo("", &kmeans));
  EXPECT_FALSE(registerKmeansAlgo("other", nullptr));
}

}  // namespace
}  // namespace kd::prismel

namespace kd::prismel {
namespace {

// The plain Lloyd iteration, every point against every centroid each round.
LloydRun referenceLloyd(const std::vector<Color>& pts, std::vector<Color> cents,
                        const std::vector<double>& weights, int64_t maxIter, double tol) {
  LloydRun run;
  run.labels.assign(pts.size(), 0);
  for (int64_t iter = 0; iter < maxIter; ++iter) {
    for (size_t j = 0; j < pts.size(); ++j) {
      double best = std::numeric_limits<double>::infinity();
      for (size_t c = 0; c < cents.size(); ++c) {
        const double d = sqDist(pts[j], cents[c]);
        if (d < best) {
          best = d;
          run.labels[j] = static_cast<uint32_t>(c);
        }
      }
    }
    std::vector<std::array<double, 4>> sums(cents.size(), {0, 0, 0, 0});
    for (size_t j = 0; j < pts.size(); ++j) {
      const double w = weights.empty() ? 1.0 : weights[j];
      auto& s = sums[run.labels[j]];
      for (int c = 0; c < 3; ++c) s[c] += weights.empty() ? pts[j].c[c] : w * pts[j].c[c];
      s[3] += w;
    }
    double largest = 0;
    for (size_t c = 0; c < cents.size(); ++c) {
      if (!(sums[c][3] > 0)) continue;
      const Color next{{static_cast<float>(sums[c][0] / sums[c][3]),
                        static_cast<float>(sums[c][1] / sums[c][3]),
                        static_cast<float>(sums[c][2] / sums[c][3])},
                       1.0f, 15};
      largest = std::max(largest, deltaE_ok(cents[c], next));
      cents[c] = next;
    }
    if (largest < tol) break;
  }
  run.centroids = cents;
  return run;
}

TEST(KmeansLloyd, PrunedSearchMatchesFullSearchBitForBit) {
  // Clustered data with exact duplicates, so that ties and near ties occur.
  std::vector<Color> pts;
  uint32_t x = 7;
  auto unit = [&] {
    x = x * 1664525u + 1013904223u;
    return static_cast<float>(x >> 8) / 16777216.0f;
  };
  for (int i = 0; i < 3000; ++i) {
    const int cluster = i % 5;
    pts.push_back(oklab(0.2f + 0.15f * cluster + 0.05f * unit(), 0.1f * unit() - 0.05f,
                        0.02f * cluster * unit()));
    if (i % 7 == 0) pts.push_back(pts.back());
  }
  std::vector<double> weights;
  for (const Color& p : pts) weights.push_back(1.0 + p.c[1] * p.c[1]);
  for (size_t k : {1u, 2u, 7u, 16u}) {
    std::vector<Color> start(pts.begin(), pts.begin() + static_cast<ptrdiff_t>(k));
    for (const std::vector<double>& w : {std::vector<double>{}, weights}) {
      const LloydRun want = referenceLloyd(pts, start, w, 50, 1e-7);
      Result<LloydRun> got = lloydRefine(pts, start, w, 50, 1e-7, colorError(ceInvalidValue, "x"));
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(got.value().centroids, want.centroids) << "k=" << k;
      EXPECT_EQ(got.value().labels, want.labels) << "k=" << k;
    }
  }
}

}  // namespace
}  // namespace kd::prismel
