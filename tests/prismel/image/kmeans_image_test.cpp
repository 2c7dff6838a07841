#include <gtest/gtest.h>

#include "helpers.h"
#include "prismel/image/quantizer.h"

namespace kd::prismel {
namespace {

using test::repeat;
using test::rowImage;
using test::Triple;

TEST(KmeansImage, ChecksInOrder) {
  ColorImage empty;
  empty.workSpace = 1;
  Result<Palette> r = computeKmeansImage(empty, 2, {}, false);
  EXPECT_EQ(r.error().kind, ceInvalidImage);
  EXPECT_EQ(r.error().msg, "kmeans: empty image");
  EXPECT_EQ(r.error().where, "computeKmeansImage");

  r = computeKmeansImage(rowImage(1, {{0.5f, 0.5f, 0.5f}}), 2, {}, true);
  EXPECT_EQ(r.error().kind, ceInvalidArgument);
  EXPECT_EQ(r.error().msg, "kmeans: requires OKLab work space, got SpaceTag(1)");

  r = computeKmeansImage(rowImage(15, repeat({0.5f, 0, 0}, 3)), 4, {}, true);
  EXPECT_EQ(r.error().kind, ceInvalidArgument);
  EXPECT_EQ(r.error().msg, "kmeans: n (4) > pixel count (3)");
  EXPECT_EQ(r.error().where, "computeKmeansImage");
}

TEST(KmeansImage, CountEqualToPixelsAccepted) {
  EXPECT_TRUE(computeKmeansImage(rowImage(15, repeat({0.5f, 0, 0}, 3)), 3, {}, false).ok());
}

TEST(KmeansImage, SrgbWorkSpaceRefusedWhereWuAccepts) {
  const ColorImage img = test::noiseImage(1, 20);
  EXPECT_FALSE(extractPalette(img, 2, "kmeans", 1, {}).ok());
  EXPECT_FALSE(extractPalette(img, 2, "kmeansPP", 1, {}).ok());
  EXPECT_TRUE(extractPalette(img, 2, "wu", 1, {}).ok());
}

TEST(KmeansImage, NegativeIterationCapRefusedOnBothPaths) {
  QuantizeOpts opts;
  opts.maxIter = -1;
  for (bool weighted : {false, true}) {
    opts.weighted = weighted;
    Result<Palette> r = computeKmeansImage(test::noiseImage(15, 10), 2, opts, true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().msg, "kmeans: maxIter must be >= 0, got -1");
  }
}

TEST(KmeansImage, ZeroIterationsGivesImagePixels) {
  ColorImage img = test::noiseImage(15, 40);
  for (size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i].alpha = (i % 10) / 10.0f;
  QuantizeOpts opts;
  opts.maxIter = 0;
  opts.seed = 3;
  for (bool plusPlus : {false, true}) {
    Result<Palette> r = computeKmeansImage(img, 5, opts, plusPlus);
    ASSERT_TRUE(r.ok());
    for (const Color& c : r.value().colors()) {
      bool found = false;
      for (const Color& p : img.pixels) {
        found = found || (std::abs(p.c[0] - c.c[0]) < 2e-6f && std::abs(p.c[1] - c.c[1]) < 2e-6f &&
                          std::abs(p.c[2] - c.c[2]) < 2e-6f && p.alpha == c.alpha);
      }
      EXPECT_TRUE(found);
    }
  }
}

TEST(KmeansImage, OneColourThreeCentroids) {
  Result<Palette> r = computeKmeansImage(rowImage(15, repeat({0.4f, 0.1f, -0.1f}, 12)), 3, {}, true);
  ASSERT_TRUE(r.ok());
  const std::vector<Color> c = r.value().colors();
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0], c[1]);
  EXPECT_EQ(c[1], c[2]);
  EXPECT_NEAR(c[0].c[0], 0.4f, 2e-6f);
}

TEST(KmeansImage, WeightedRefinementPullsTowardsChroma) {
  // One cluster: a grey and a saturated colour. The chroma weight (C + 1)
  // pulls the weighted mean towards the saturated one.
  const Triple grey{0.5f, 0.0f, 0.0f}, red{0.5f, 0.3f, 0.4f};  // chroma 0.5
  const ColorImage img = rowImage(15, {grey, red});
  QuantizeOpts opts;
  opts.weighted = true;
  Result<Palette> r = computeKmeansImage(img, 1, opts, false);
  ASSERT_TRUE(r.ok());
  const Color c = r.value().colors()[0];
  // Weighted mean: (1·grey + 1.5·red) / 2.5.
  EXPECT_NEAR(c.c[1], 0.3f * 1.5f / 2.5f, 1e-6f);
  EXPECT_NEAR(c.c[2], 0.4f * 1.5f / 2.5f, 1e-6f);
  EXPECT_EQ(c.alpha, 1.0f);
  // Unweighted gives the plain mean.
  opts.weighted = false;
  EXPECT_NEAR(computeKmeansImage(img, 1, opts, false).value().colors()[0].c[1], 0.15f, 1e-6f);
}

TEST(KmeansImage, WeightedLloydKeepsEmptyClusters) {
  const ColorImage img = rowImage(15, {{0.5f, 0, 0}, {0.6f, 0, 0}});
  const std::vector<Color> start = {Color{{0.55f, 0, 0}, 1, 15}, Color{{0.9f, 0.2f, 0.2f}, 1, 15}};
  Result<std::vector<Color>> r = weightedLloyd(img, start, {1.0, 1.0}, 5, false, 1e-4, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value()[1], start[1]);
  EXPECT_NEAR(r.value()[0].c[0], 0.55f, 1e-7f);
}

TEST(KmeansImage, WeightedLloydRejectsNonFiniteMeans) {
  const ColorImage img = rowImage(15, {{3e38f, 0, 0}, {3e38f, 0, 0}});
  Result<std::vector<Color>> r =
      weightedLloyd(img, {Color{{3e38f, 0, 0}, 1, 15}}, {1e300, 1e300}, 1, false, 1e-4, 1);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceInvalidArgument);
  EXPECT_EQ(r.error().msg, "weightedLloyd: centroid update produced invalid comps");
  EXPECT_EQ(r.error().where, "weightedLloyd");
}

}  // namespace
}  // namespace kd::prismel
