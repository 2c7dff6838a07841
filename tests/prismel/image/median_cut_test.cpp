#include <gtest/gtest.h>

#include "helpers.h"
#include "prismel/image/quantizer.h"

namespace kd::prismel {
namespace {

using test::repeat;
using test::rowImage;
using test::Triple;

using Quantizer = Result<Palette> (*)(const ColorImage&, int64_t, const QuantizeOpts&);

struct Named {
  const char* name;
  Quantizer run;
};

const Named kShared[] = {{"medianCut", medianCut}, {"octree", octree}, {"neuquant", neuquant}};

TEST(SharedQuantizerChecks, EmptyImageAndTooFewPixels) {
  for (const Named& q : kShared) {
    ColorImage empty;
    empty.workSpace = 15;
    Result<Palette> r = q.run(empty, 1, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ceInvalidImage);
    EXPECT_EQ(r.error().msg, std::string(q.name) + ": empty image");
    EXPECT_EQ(r.error().where, q.name);

    r = q.run(rowImage(15, repeat({0.5f, 0, 0}, 5)), 6, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ceInvalidArgument);
    EXPECT_EQ(r.error().msg, std::string(q.name) + ": n (6) > pixel count (5)");
    EXPECT_EQ(r.error().where, q.name);

    EXPECT_TRUE(q.run(rowImage(15, repeat({0.5f, 0, 0}, 5)), 5, {}).ok()) << q.name;
  }
}

TEST(CentroidColor, EmptyBoxAndMean) {
  const ColorImage img = rowImage(1, {{0, 0, 0}});
  Result<Color> r = centroidColor(img, {1.0, 2.0, 3.0}, 0.0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceInvalidArgument);
  EXPECT_EQ(r.error().msg, "centroid: empty box");
  EXPECT_EQ(r.error().where, "centroidColor");
  r = centroidColor(img, {1.0, 2.0, 3.0}, 4.0);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), (Color{{0.25f, 0.5f, 0.75f}, 1.0f, 1}));
}

TEST(MedianCut, OneColourRepeatedGivesNIdenticalColours) {
  const Triple c{0.3f, 0.05f, -0.02f};
  Result<Palette> r = medianCut(rowImage(15, repeat(c, 10)), 4, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 4);
  for (const Color& col : r.value().colors()) EXPECT_EQ(col.c, c);
}

TEST(MedianCut, OddBoxSplitsShorterHalfFirst) {
  // Five pixels along the first axis, given out of order: the sorted box
  // splits into lengths 2 and 3, in that order.
  const ColorImage img =
      rowImage(1, {{0.5f, 0, 0}, {0.125f, 0, 0}, {0.375f, 0, 0}, {0.25f, 0, 0}, {0.75f, 0, 0}});
  Result<Palette> r = medianCut(img, 2, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 2);
  EXPECT_FLOAT_EQ(r.value().colors()[0].c[0], (0.125f + 0.25f) / 2);
  EXPECT_FLOAT_EQ(r.value().colors()[1].c[0], (0.375f + 0.5f + 0.75f) / 3);
}

TEST(MedianCut, WidestAxisAndWidestBoxChosen) {
  // Range 0.5 on the second axis beats 0.25 on the first.
  const ColorImage img =
      rowImage(1, {{0.0f, 0.0f, 0}, {0.25f, 0.5f, 0}, {0.25f, 0.0f, 0}, {0.0f, 0.5f, 0}});
  Result<Palette> r = medianCut(img, 2, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().colors()[0].c, (Triple{0.125f, 0.0f, 0}));
  EXPECT_EQ(r.value().colors()[1].c, (Triple{0.125f, 0.5f, 0}));
  // Equal ranges: the lower axis wins.
  const ColorImage tie = rowImage(1, {{0.0f, 0.5f, 0}, {0.5f, 0.0f, 0}});
  r = medianCut(tie, 2, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().colors()[0].c, (Triple{0.0f, 0.5f, 0}));
}

TEST(MedianCut, ThreeBoxesSplitTheWidestFirst) {
  // After the first cut the upper box (range 0.5) is wider than the lower
  // one (range 0.0625), so the third colour comes from splitting it.
  const ColorImage img = rowImage(
      1, {{0.0f, 0, 0}, {0.0625f, 0, 0}, {0.5f, 0, 0}, {1.0f, 0, 0}});
  Result<Palette> r = medianCut(img, 3, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 3);
  EXPECT_EQ(r.value().colors()[0].c[0], 0.03125f);
  EXPECT_EQ(r.value().colors()[1].c[0], 0.5f);
  EXPECT_EQ(r.value().colors()[2].c[0], 1.0f);
}

}  // namespace
}  // namespace kd::prismel
