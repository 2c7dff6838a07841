#include "prismel/palette/palette.h"

#include <gtest/gtest.h>

namespace kd::prismel {
namespace {

Color oklab(float l, float a, float b) { return Color{{l, a, b}, 1.0f, 15}; }

TEST(QuantizeOptsDefaults, MatchDocumentedValues) {
  const QuantizeOpts o = defaultQuantizeOpts();
  EXPECT_EQ(o.seed, 0u);
  EXPECT_EQ(o.maxIter, 20);
  EXPECT_FALSE(o.weighted);
  EXPECT_FALSE(o.parallel);
  EXPECT_EQ(o.threads, 0);
}

TEST(PaletteBuild, EmptyColorSetIsRefused) {
  Result<Palette> p = palette(1, {}, 0, 0);
  ASSERT_FALSE(p.ok());
  EXPECT_EQ(p.error().kind, ceInvalidArgument);
  EXPECT_EQ(p.error().msg, "palette: empty color set");
  EXPECT_EQ(p.error().where, "palette");
}

TEST(PaletteBuild, KeepsFieldsAndColourOrder) {
  Result<Palette> p = palette(1, {oklab(0.1f, 0, 0), oklab(0.9f, 0.1f, -0.1f)}, 0, 42);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().len(), 2);
  EXPECT_EQ(p.value().tag(), 1);
  EXPECT_EQ(p.value().intent(), 0);
  EXPECT_EQ(p.value().seed(), 42u);
  EXPECT_TRUE(p.value().roles().empty());
  EXPECT_EQ(p.value().colors()[1], oklab(0.9f, 0.1f, -0.1f));
}

TEST(PaletteBuild, RoleIndicesCheckedOnlyForRolePalettes) {
  const std::vector<Color> two = {oklab(0.1f, 0, 0), oklab(0.2f, 0, 0)};
  Result<Palette> bad = palette(6, two, 0, 0, {{"accent", 2}});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, ceInvalidValue);
  EXPECT_EQ(bad.error().msg, "palette: role 'accent' index 2 out of range for 2 colors");
  EXPECT_EQ(bad.error().where, "palette");

  Result<Palette> negative = palette(6, two, 0, 0, {{"bg", -1}});
  ASSERT_FALSE(negative.ok());
  EXPECT_EQ(negative.error().msg, "palette: role 'bg' index -1 out of range for 2 colors");

  EXPECT_TRUE(palette(6, two, 0, 0, {{"bg", 0}, {"fg", 1}}).ok());
  // Other kinds carry their roles unchecked.
  EXPECT_TRUE(palette(1, two, 0, 0, {{"accent", 7}}).ok());
}

}  // namespace
}  // namespace kd::prismel
