#include <gtest/gtest.h>

#include "helpers.h"
#include "prismel/image/quantizer.h"

namespace kd::prismel {
namespace {

using test::rowImage;
using test::Triple;

// A component that quantizes to q on an axis spanning [0, 1].
float level(int q) { return (static_cast<float>(q) + 0.5f) / 255.0f; }
Triple grey(int q) { return {level(q), level(q), level(q)}; }

void add(std::vector<Triple>& px, const Triple& t, int times) {
  for (int i = 0; i < times; ++i) px.push_back(t);
}

// Nine leaves: the ends of the cube, four more greys, and three leaves under
// one depth-7 node (levels 100/101 differ only in the last bit) holding one
// pixel each, the smallest subtree of its depth.
std::vector<Triple> nineLeaves() {
  std::vector<Triple> px;
  add(px, {0.0f, 0.0f, 0.0f}, 4);
  add(px, {1.0f, 1.0f, 1.0f}, 4);
  for (int q : {20, 40, 60, 80}) add(px, grey(q), 4);
  add(px, {level(100), level(100), level(100)}, 1);
  add(px, {level(101), level(100), level(100)}, 1);
  add(px, {level(100), level(101), level(100)}, 1);
  return px;
}

TEST(Octree, NoReductionWhenLeavesFit) {
  Result<Palette> r = octree(rowImage(1, nineLeaves()), 9, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 9);
  // Depth first with children in slot order: along the grey diagonal that is
  // ascending order.
  const std::vector<Color> c = r.value().colors();
  EXPECT_EQ(c[0].c, (Triple{0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(c[1].c, grey(20));
  EXPECT_EQ(c[8].c, (Triple{1.0f, 1.0f, 1.0f}));
}

TEST(Octree, FoldOfAThreeChildNodeLeavesSevenColours) {
  Result<Palette> r = octree(rowImage(1, nineLeaves()), 8, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 7);
  const Color folded = r.value().colors()[5];
  EXPECT_FLOAT_EQ(folded.c[0], (2 * level(100) + level(101)) / 3);
  EXPECT_FLOAT_EQ(folded.c[1], (2 * level(100) + level(101)) / 3);
  EXPECT_FLOAT_EQ(folded.c[2], level(100));
  EXPECT_EQ(folded.alpha, 1.0f);
}

TEST(Octree, OneColourAndFlatAxes) {
  Result<Palette> r = octree(rowImage(15, std::vector<Triple>(7, {0.7f, 0.01f, -0.02f})), 1, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 1);
  EXPECT_EQ(r.value().colors()[0].c, (Triple{0.7f, 0.01f, -0.02f}));
}

TEST(Octree, FoldsAllTheWayToOneColour) {
  const ColorImage img = test::noiseImage(15, 300);
  Result<Palette> r = octree(img, 1, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 1);
  double sum = 0;
  for (const Color& p : img.pixels) sum += p.c[0];
  EXPECT_NEAR(r.value().colors()[0].c[0], sum / 300, 1e-6);
}

TEST(Octree, FoldsCanUndershootN) {
  const ColorImage img = test::noiseImage(15, 300);
  for (int64_t n : {2, 5, 16, 40}) {
    Result<Palette> r = octree(img, n, {});
    ASSERT_TRUE(r.ok());
    EXPECT_LE(r.value().len(), n);
    EXPECT_GE(r.value().len(), 1);
  }
}

}  // namespace
}  // namespace kd::prismel
