#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/error.h"
#include "prismel/core/color.h"
#include "prismel/math/matrix.h"
#include "prismel/math/white.h"

namespace kd::prismel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(ColorValue, IsTwentyBytesAndKeepsItsFields) {
  Result<Color> c = color(15, 0.5f, -0.1f, 0.2f, 0.25f);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.kind(), rkOk);
  EXPECT_EQ(c.value().c[0], 0.5f);
  EXPECT_EQ(c.value().c[1], -0.1f);
  EXPECT_EQ(c.value().c[2], 0.2f);
  EXPECT_EQ(c.value().alpha, 0.25f);
  EXPECT_EQ(c.value().space, 15);
}

void expectInvalid(const Result<Color>& r, const char* msg) {
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.kind(), rkErr);
  EXPECT_EQ(r.error().kind, ceInvalidValue);
  EXPECT_EQ(r.error().msg, msg);
  EXPECT_EQ(r.error().where, "");
  EXPECT_EQ(r.error().severity, 2);
}

TEST(ColorValue, ChecksSpaceThenAlphaThenComponents) {
  expectInvalid(color(0, kNaN, 0, 0, 2.0f), "color requires a known space");
  expectInvalid(color(1, kNaN, 0, 0, 2.0f), "alpha out of [0,1]");
  expectInvalid(color(1, 0.5f, 0.5f, 0.5f, 1.0000001f), "alpha out of [0,1]");
  expectInvalid(color(1, 0.5f, 0.5f, 0.5f, -0.0001f), "alpha out of [0,1]");
  expectInvalid(color(1, 0.5f, 0.5f, 0.5f, kNaN), "alpha out of [0,1]");
  expectInvalid(color(1, 0.5f, 0.5f, 0.5f, kInf), "alpha out of [0,1]");
  expectInvalid(color(1, kInf, 0.5f, 0.5f, 1.0f), "component NaN/Inf at bounds");
  expectInvalid(color(1, 0.5f, kNaN, 0.5f, 1.0f), "component NaN/Inf at bounds");
  expectInvalid(color(1, 0.5f, 0.5f, -kInf, 1.0f), "component NaN/Inf at bounds");
}

TEST(ColorValue, AcceptsAlphaBoundsAndOutOfGamutComponents) {
  EXPECT_TRUE(color(1, 0.5f, 0.5f, 0.5f, 0.0f).ok());
  EXPECT_TRUE(color(1, 0.5f, 0.5f, 0.5f, 1.0f).ok());
  EXPECT_TRUE(color(1, -3.0f, 7.0f, 0.5f, 1.0f).ok());
  EXPECT_TRUE(color(999, 0, 0, 0, 1.0f).ok());  // tags are not checked here
}

TEST(ColorValue, NarrowingOverflowBecomesInfinite) {
  EXPECT_EQ(narrow(1e300), kInf);
  EXPECT_EQ(narrow(-1e300), -kInf);
  EXPECT_TRUE(std::isnan(narrow(std::nan(""))));
  EXPECT_EQ(narrow(0.1), 0.1f);
}

TEST(ColorErrors, SeverityAndFields) {
  EXPECT_EQ(defaultSeverity(ceNumeric), 3);
  EXPECT_EQ(defaultSeverity(static_cast<ColorErrorKind>(11)), 3);
  for (ColorErrorKind k : {ceInvalidValue, ceUnknownSpace, ceUnknownAlgorithm, ceInvalidArgument,
                           ceInvalidImage}) {
    EXPECT_EQ(defaultSeverity(k), 2);
  }
  const ColorError e = colorError(ceUnknownAlgorithm, "m", "extractPalette");
  EXPECT_EQ(e.kind, ceUnknownAlgorithm);
  EXPECT_EQ(e.msg, "m");
  EXPECT_EQ(e.where, "extractPalette");
  EXPECT_EQ(e.severity, 2);
  EXPECT_EQ(colorError(ceInvalidValue, "x", "y", 7).severity, 7);
  EXPECT_EQ(static_cast<int>(ceInvalidImage), 12);
  EXPECT_EQ(static_cast<int>(ceNumeric), 14);
}

TEST(ColorErrors, ReadingTheValueOfAnErrorThrows) {
  Result<Color> r = color(0, 0, 0, 0, 1);
  try {
    (void)r.value();
    FAIL();
  } catch (const base::KeldraException& e) {
    EXPECT_STREQ(e.what(), "field 'value' is not accessible for type 'Result' using 'kind = rkErr'");
  }
}

TEST(SpaceTagText, PrintsTheNumber) {
  EXPECT_EQ(spaceTagText(15), "SpaceTag(15)");
  EXPECT_EQ(spaceTagText(0), "SpaceTag(0)");
  EXPECT_EQ(spaceTagText(-3), "SpaceTag(-3)");
}

TEST(Matrices, InverseOfAKnownMatrix) {
  // Integer matrix with determinant 1 and an integer inverse.
  const Mat3 m{{{2, 3, 1}, {1, 2, 1}, {1, 1, 1}}};
  EXPECT_DOUBLE_EQ(det3(m), 1.0);
  Result<Mat3> inv = inverse3(m);
  ASSERT_TRUE(inv.ok());
  const Mat3 expect{{{1, -2, 1}, {0, 1, -1}, {-1, 1, 1}}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(inv.value()[i][j], expect[i][j]);
  }
  const Mat3 id = mul3(m, inv.value());
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(id[i][j], i == j ? 1.0 : 0.0);
  }
  const Vec3 v = apply3(m, Vec3{1, 2, 3});
  EXPECT_EQ(v, (Vec3{11, 8, 6}));
}

TEST(Matrices, InverseRefusesSingularAndNonFinite) {
  const Mat3 tiny{{{5e-10, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  Result<Mat3> r = inverse3(tiny);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceNumeric);
  EXPECT_EQ(r.error().msg, "inverse3: singular matrix");
  EXPECT_EQ(r.error().where, "matrices");
  EXPECT_EQ(r.error().severity, 3);
  const Mat3 nan{{{1, 0, 0}, {0, std::nan(""), 0}, {0, 0, 1}}};
  EXPECT_EQ(inverse3(nan).error().msg, "inverse3: non-finite entry");
  const Mat3 inf{{{1, 0, 0}, {0, 1, 0}, {0, 0, HUGE_VAL}}};
  EXPECT_EQ(inverse3(inf).error().msg, "inverse3: non-finite entry");
  EXPECT_TRUE(inverse3(Mat3{{{2e-3, 0, 0}, {0, 1e-3, 0}, {0, 0, 1e-3}}}).ok());
}

TEST(Matrices, BradfordSameWhiteIsIdentityToSevenDigits) {
  const Mat3 m = bradfordMatrix(kD65, kD65);
  bool exact = true;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      EXPECT_NEAR(m[i][j], i == j ? 1.0 : 0.0, 1e-6);
      if (m[i][j] != (i == j ? 1.0 : 0.0)) exact = false;
    }
  }
  EXPECT_FALSE(exact);  // the stored inverse is a seven-digit rounding
}

TEST(Matrices, BradfordD65ToD50MatchesThePublishedMatrix) {
  // Lindbloom's Bradford D65 -> D50 matrix (with his D50 0.96422, 0.82521).
  const Mat3 m = bradfordMatrix(kD65, kD50);
  const Mat3 ref{{{1.0478112, 0.0228866, -0.0501270},
                  {0.0295424, 0.9904844, -0.0170491},
                  {-0.0092345, 0.0150436, 0.7521316}}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(m[i][j], ref[i][j], 2e-4);
  }
  const Vec3 w = apply3(m, kD65);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(w[i], kD50[i], 1e-6);
}

TEST(Matrices, WhitesCompareExactly) {
  EXPECT_TRUE(sameWhite(kD65, Vec3{0.95047, 1.0, 1.08883}));
  EXPECT_FALSE(sameWhite(kD65, Vec3{0.95047, 1.0, 1.0888300000000001}));
  EXPECT_FALSE(sameWhite(kD65, kD50));
}

}  // namespace
}  // namespace kd::prismel
