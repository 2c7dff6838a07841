#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/error.h"
#include "prismel/math/white.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {
namespace {

struct Row {
  SpaceTag tag;
  const char* name;
  SpaceFamily family;
  std::vector<std::string> channels;
  bool unbounded;
  bool flagA;
  int flagB;
  bool d50;
  int transfer;
};

const std::vector<Row>& table() {
  static const std::vector<Row> rows{
      {1, "srgb", famRgbEncoded, {"r", "g", "b"}, false, true, 0, false, 1},
      {2, "srgb-linear", famRgbLinear, {"r", "g", "b"}, true, true, 0, false, 0},
      {3, "p3", famRgbEncoded, {"r", "g", "b"}, false, true, 0, false, 1},
      {4, "p3-linear", famRgbLinear, {"r", "g", "b"}, true, true, 0, false, 0},
      {5, "rec2020", famRgbEncoded, {"r", "g", "b"}, false, true, 0, false, 4},
      {6, "rec2020-linear", famRgbLinear, {"r", "g", "b"}, true, true, 0, false, 0},
      {7, "a98", famRgbEncoded, {"r", "g", "b"}, false, true, 0, false, 2},
      {8, "a98-linear", famRgbLinear, {"r", "g", "b"}, true, true, 0, false, 0},
      {9, "prophoto", famRgbEncoded, {"r", "g", "b"}, false, true, 0, true, 3},
      {10, "prophoto-linear", famRgbLinear, {"r", "g", "b"}, true, true, 0, true, 0},
      {11, "xyz", famXyz, {"X", "Y", "Z"}, true, true, 0, false, 0},
      {12, "xyy", famXyy, {"x", "y", "Y"}, true, true, 0, false, 0},
      {13, "lab", famLab, {"L", "a", "b"}, true, true, 2, true, 0},
      {14, "lch", famLch, {"L", "C", "h"}, true, true, 1, true, 0},
      {15, "oklab", famOklab, {"L", "a", "b"}, true, true, 2, false, 0},
      {16, "oklch", famOklch, {"L", "C", "h"}, true, true, 1, false, 0},
      {17, "hsv", famHsv, {"H", "S", "V"}, false, true, 1, false, 0},
      {18, "hsl", famHsl, {"H", "S", "L"}, false, true, 1, false, 0},
      {19, "hwb", famHwb, {"H", "W", "B"}, false, true, 0, false, 0},
      {20, "cmyk", famCmyk, {"C", "M", "Y", "K"}, false, false, 0, false, 0},
      {21, "ycbcr", famYcbcr, {"Y", "Cb", "Cr"}, false, true, 2, false, 0},
      {22, "ictcp", famIctcp, {"I", "Ct", "Cp"}, true, true, 2, false, 5},
      {23, "jzazbz", famJzazbz, {"Jz", "Az", "Bz"}, true, true, 2, false, 0},
      {24, "cam16", famCam16, {"J", "C", "h"}, true, true, 1, false, 0},
      {25, "cam16-ucs", famCam16Ucs, {"J'", "a'", "b'"}, true, true, 2, false, 0},
      {26, "hct", famHct, {"H", "C", "T"}, true, false, 1, false, 0},
  };
  return rows;
}

TEST(SpaceRegistry, HoldsTheTwentySixSpacesInTagOrder) {
  const auto& all = spaceRegistry().all();
  ASSERT_EQ(all.size(), table().size());
  EXPECT_TRUE(spaceRegistry().sealed());
  for (size_t i = 0; i < all.size(); ++i) {
    const Row& row = table()[i];
    const SpaceDescriptor& d = *all[i];
    SCOPED_TRACE(row.name);
    EXPECT_EQ(d.tag, row.tag);
    EXPECT_EQ(d.name, row.name);
    EXPECT_EQ(d.family, row.family);
    EXPECT_EQ(d.channels, static_cast<int64_t>(row.channels.size()));
    EXPECT_EQ(d.channelNames, row.channels);
    EXPECT_EQ(d.mins.size(), row.channels.size());
    EXPECT_EQ(d.maxes.size(), row.channels.size());
    EXPECT_EQ(d.unbounded, row.unbounded);
    EXPECT_EQ(d.flagA, row.flagA);
    EXPECT_EQ(d.flagB, row.flagB);
    EXPECT_TRUE(sameWhite(d.white, row.d50 ? kD50 : kD65));
    EXPECT_EQ(d.transfer, row.transfer);
    EXPECT_EQ(d.gamma, row.tag == 7 ? 2.2 : 0.0);
    EXPECT_EQ(spaceByTag(row.tag), &d);
    EXPECT_EQ(spaceByName(row.name), &d);
  }
}

TEST(SpaceRegistry, RangesOfRepresentativeSpaces) {
  const double inf = HUGE_VAL;
  EXPECT_EQ(spaceByTag(1)->mins, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(spaceByTag(1)->maxes, (std::vector<double>{1, 1, 1}));
  EXPECT_EQ(spaceByTag(2)->mins, (std::vector<double>{-inf, -inf, -inf}));
  EXPECT_EQ(spaceByTag(12)->maxes, (std::vector<double>{1, 1, inf}));
  EXPECT_EQ(spaceByTag(14)->maxes, (std::vector<double>{100, inf, 360}));
  EXPECT_EQ(spaceByTag(20)->maxes, (std::vector<double>{1, 1, 1, 1}));
  EXPECT_EQ(spaceByTag(21)->mins, (std::vector<double>{0, -0.5, -0.5}));
  EXPECT_EQ(spaceByTag(26)->maxes, (std::vector<double>{360, inf, 100}));
}

TEST(SpaceRegistry, RgbMatricesAreTheStoredConstantsWithComputedInverses) {
  const SpaceDescriptor& srgb = *spaceByTag(1);
  EXPECT_EQ(srgb.toXyz[0][0], 0.4124564);
  EXPECT_EQ(srgb.toXyz[1][2], 0.072175);
  EXPECT_EQ(srgb.toXyz[2][1], 0.119192);
  EXPECT_EQ(spaceByTag(10)->toXyz[2][2], 0.82521);
  for (SpaceTag t = 1; t <= 10; ++t) {
    const SpaceDescriptor& d = *spaceByTag(t);
    EXPECT_EQ(d.toXyz, spaceByTag(t % 2 == 1 ? t + 1 : t - 1)->toXyz);
    const Mat3 id = mul3(d.toXyz, d.fromXyz);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(id[i][j], i == j ? 1 : 0, 1e-12);
    }
  }
  // The well-known inverse sRGB matrix.
  EXPECT_NEAR(srgb.fromXyz[0][0], 3.2404542, 1e-6);
  EXPECT_NEAR(srgb.fromXyz[1][1], 1.8760108, 1e-6);
  EXPECT_NEAR(srgb.fromXyz[2][2], 1.0572252, 1e-6);
  EXPECT_EQ(spaceByTag(11)->toXyz, kIdentity3);
}

TEST(SpaceRegistry, LookupOfUnknownKeys) {
  EXPECT_EQ(spaceByTag(0), nullptr);
  EXPECT_EQ(spaceByTag(27), nullptr);
  EXPECT_EQ(spaceByTag(-1), nullptr);
  EXPECT_EQ(spaceByTag(1 << 30), nullptr);
  EXPECT_EQ(spaceByName("SRGB"), nullptr);
  EXPECT_EQ(spaceByName(""), nullptr);
  EXPECT_EQ(spaceByName("display-p3"), nullptr);
}

TEST(SpaceRegistry, IsSealedAfterStart) {
  SpaceDescriptor d = *spaceByTag(1);
  EXPECT_FALSE(registerSpace(d));
  d.name = "brand-new";
  d.tag = 99;
  EXPECT_FALSE(registerSpace(d));
  EXPECT_EQ(spaceByName("brand-new"), nullptr);
  EXPECT_EQ(spaceByTag(99), nullptr);
  EXPECT_EQ(spaceRegistry().all().size(), 26u);
  EXPECT_EQ(spaceByName("srgb")->tag, 1);
}

TEST(SpaceRegistry, AddRefusesDuplicatesAndEmptyNames) {
  SpaceRegistry r;
  SpaceDescriptor a = *spaceByTag(1);
  EXPECT_TRUE(r.add(a));
  EXPECT_FALSE(r.add(a));
  SpaceDescriptor sameName = a;
  sameName.tag = 500;
  EXPECT_FALSE(r.add(sameName));
  SpaceDescriptor sameTag = a;
  sameTag.name = "other";
  EXPECT_FALSE(r.add(sameTag));
  SpaceDescriptor empty = a;
  empty.name = "";
  empty.tag = 501;
  EXPECT_FALSE(r.add(empty));
  SpaceDescriptor big = a;
  big.name = "big";
  big.tag = 100000;
  EXPECT_TRUE(r.add(big));
  EXPECT_EQ(r.byTag(100000)->name, "big");
  r.seal();
  SpaceDescriptor late = a;
  late.name = "late";
  late.tag = 7;
  EXPECT_FALSE(r.add(late));
  EXPECT_EQ(r.all().size(), 2u);
}

TEST(SpaceDescriptors, RgbBuilderRefusesASingularMatrix) {
  const Mat3 singular{{{1, 2, 3}, {2, 4, 6}, {0, 0, 1}}};
  try {
    (void)makeRgbDescriptor("bad", 90, famRgbLinear, kD65, 0, 0, singular, true, {"r", "g", "b"});
    FAIL();
  } catch (const base::KeldraException& e) {
    EXPECT_STREQ(e.what(), "RGB primaries matrix must be invertible");
  }
}

TEST(SpaceDescriptors, FamilyNames) {
  EXPECT_EQ(familyName(famRgbEncoded), "famRgbEncoded");
  EXPECT_EQ(familyName(famCmyk), "famCmyk");
  EXPECT_EQ(familyName(famCam16Ucs), "famCam16Ucs");
  EXPECT_EQ(familyName(famHct), "famHct");
  EXPECT_EQ(static_cast<int>(famHct), 17);
}

}  // namespace
}  // namespace kd::prismel
