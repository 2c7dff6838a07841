// Quarter turns, mirrors and EXIF orientation: the a b c / d e f examples,
// a pixel-by-pixel transcription of the destination table, and identities
// on random images of every colour space.
#include "process/rotate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>

#include "image_helpers.h"

namespace kd::process {
namespace {

using testing::grayImage;
using testing::kAllSpaces;
using testing::pixelAt;
using testing::randomImage;
using testing::sameImage;

constexpr RotateOp kOps[] = {roRotate90, roRotate180, roRotate270, roFlipHorizontal,
                             roFlipVertical};

// a b c / d e f
Image abcdef() { return grayImage({{'a', 'b', 'c'}, {'d', 'e', 'f'}}); }

std::vector<std::string> rowsOf(const Image& img) {
  std::vector<std::string> rows;
  for (int64_t y = 0; y < img.height; ++y) {
    auto at = img.pixels.begin() + y * img.width;
    rows.emplace_back(at, at + img.width);
  }
  return rows;
}

using Rows = std::vector<std::string>;

// Destination of source pixel (x, y), straight from the table of operations.
std::pair<int64_t, int64_t> destinationOf(RotateOp op, int64_t x, int64_t y, int64_t w,
                                          int64_t h) {
  switch (op) {
    case roRotate90: return {h - 1 - y, x};
    case roRotate180: return {w - 1 - x, h - 1 - y};
    case roRotate270: return {y, w - 1 - x};
    case roFlipHorizontal: return {w - 1 - x, y};
    case roFlipVertical: return {x, h - 1 - y};
  }
  return {-1, -1};
}

TEST(RotateExamples, ThreeByTwo) {
  EXPECT_EQ(rowsOf(rotate(abcdef(), roRotate90)), (Rows{"da", "eb", "fc"}));
  EXPECT_EQ(rowsOf(rotate(abcdef(), roRotate270)), (Rows{"cf", "be", "ad"}));
  EXPECT_EQ(rowsOf(rotate(abcdef(), roRotate180)), (Rows{"fed", "cba"}));
  EXPECT_EQ(rowsOf(rotate(abcdef(), roFlipHorizontal)), (Rows{"cba", "fed"}));
  EXPECT_EQ(rowsOf(rotate(abcdef(), roFlipVertical)), (Rows{"def", "abc"}));
}

TEST(RotateExamples, OnePixelStaysPut) {
  for (auto cs : kAllSpaces) {
    Image src = randomImage(1, 1, cs, 4);
    for (RotateOp op : kOps) EXPECT_TRUE(sameImage(rotate(src, op), src));
    for (int o = 1; o <= 8; ++o) EXPECT_TRUE(sameImage(applyExifOrientation(src, o), src));
  }
}

TEST(RotateMatchesTable, EveryOperationColourSpaceAndOddSize) {
  // Sizes straddle the tiles (512 output columns by 32 output rows) and the 4-row
  // blocks, so partial tiles and blocks are covered.
  const std::pair<int64_t, int64_t> sizes[] = {{1, 7}, {7, 1}, {5, 3}, {64, 64},
                                               {65, 63}, {131, 70}, {2, 129},
                                               {3, 1030}, {1030, 3}, {37, 517}};
  uint32_t seed = 10;
  for (auto cs : kAllSpaces) {
    for (auto [w, h] : sizes) {
      Image src = randomImage(w, h, cs, seed++);
      for (RotateOp op : kOps) {
        Image out = rotate(src, op);
        bool swaps = op == roRotate90 || op == roRotate270;
        ASSERT_EQ(out.width, swaps ? h : w);
        ASSERT_EQ(out.height, swaps ? w : h);
        ASSERT_EQ(out.colorspace, cs);
        ASSERT_EQ(out.pixels.size(), src.pixels.size());
        const int64_t c = src.channels;
        for (int64_t y = 0; y < h; ++y) {
          for (int64_t x = 0; x < w; ++x) {
            auto [dx, dy] = destinationOf(op, x, y, w, h);
            const uint8_t* want = src.pixels.data() + (y * w + x) * c;
            const uint8_t* got = out.pixels.data() + (dy * out.width + dx) * c;
            ASSERT_TRUE(std::equal(want, want + c, got))
                << w << "x" << h << " op " << int(op) << " at " << x << "," << y;
          }
        }
      }
    }
  }
}

TEST(RotateMatchesTable, TallSourcesMakeLongOutputRows) {
  // Output rows of 80 KB, 40 KB and 1.2 MB: the bands of output rows
  // assembled at a time shrink, down to a single row.
  const std::tuple<int64_t, int64_t, formats::ColorSpace> cases[] = {
      {5, 20000, formats::csRgba}, {9, 40000, formats::csGray}, {2, 300000, formats::csRgba},
      {3, 150000, formats::csRgb}};
  uint32_t seed = 300;
  for (auto [w, h, cs] : cases) {
    Image src = randomImage(w, h, cs, seed++);
    const int64_t c = src.channels;
    for (RotateOp op : {roRotate90, roRotate270}) {
      Image out = rotate(src, op);
      ASSERT_EQ(out.width, h);
      ASSERT_EQ(out.height, w);
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
          auto [dx, dy] = destinationOf(op, x, y, w, h);
          const uint8_t* want = src.pixels.data() + (y * w + x) * c;
          const uint8_t* got = out.pixels.data() + (dy * out.width + dx) * c;
          ASSERT_TRUE(std::equal(want, want + c, got)) << w << "x" << h << " op " << int(op);
        }
      }
    }
    EXPECT_TRUE(sameImage(applyExifOrientation(applyExifOrientation(src, 7), 7), src));
  }
}

TEST(RotateIdentities, FourQuarterTurnsGiveTheSourceBack) {
  uint32_t seed = 50;
  for (auto cs : kAllSpaces) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{3, 2}, {67, 129}, {200, 1}}) {
      Image src = randomImage(w, h, cs, seed++);
      for (RotateOp quarter : {roRotate90, roRotate270}) {
        Image img = src;
        for (int i = 0; i < 4; ++i) img = rotate(img, quarter);
        EXPECT_TRUE(sameImage(img, src)) << w << "x" << h << " cs " << int(cs);
      }
      EXPECT_TRUE(sameImage(rotate(rotate(src, roRotate90), roRotate270), src));
      EXPECT_TRUE(sameImage(rotate(rotate(src, roRotate180), roRotate180), src));
      EXPECT_TRUE(sameImage(rotate(rotate(src, roFlipHorizontal), roFlipHorizontal), src));
      EXPECT_TRUE(sameImage(rotate(rotate(src, roFlipVertical), roFlipVertical), src));
      EXPECT_TRUE(sameImage(rotate(rotate(src, roFlipHorizontal), roFlipVertical),
                            rotate(src, roRotate180)));
    }
  }
}

TEST(OrientationExamples, TransposeAndTransverse) {
  EXPECT_EQ(rowsOf(applyExifOrientation(abcdef(), 5)), (Rows{"ad", "be", "cf"}));
  EXPECT_EQ(rowsOf(applyExifOrientation(abcdef(), 7)), (Rows{"fc", "eb", "da"}));
  EXPECT_EQ(rowsOf(applyExifOrientation(abcdef(), 1)), (Rows{"abc", "def"}));
}

TEST(OrientationMatchesSteps, EachValueIsItsOperations) {
  // The upright form is the listed operations applied in order.
  uint32_t seed = 70;
  for (auto cs : kAllSpaces) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{3, 2}, {71, 66}, {1, 5}}) {
      Image src = randomImage(w, h, cs, seed++);
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 1), src));
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 2), rotate(src, roFlipHorizontal)));
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 3), rotate(src, roRotate180)));
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 4), rotate(src, roFlipVertical)));
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 5),
                            rotate(rotate(src, roFlipHorizontal), roRotate270)));
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 6), rotate(src, roRotate90)));
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 7),
                            rotate(rotate(src, roFlipHorizontal), roRotate90)));
      EXPECT_TRUE(sameImage(applyExifOrientation(src, 8), rotate(src, roRotate270)));
    }
  }
}

// The stored image for orientation n, made from an upright one by the
// inverse of the operations that set it upright.
Image storeWithOrientation(const Image& upright, int n) {
  switch (n) {
    case 2: return rotate(upright, roFlipHorizontal);
    case 3: return rotate(upright, roRotate180);
    case 4: return rotate(upright, roFlipVertical);
    case 5: return rotate(rotate(upright, roRotate90), roFlipHorizontal);
    case 6: return rotate(upright, roRotate270);
    case 7: return rotate(rotate(upright, roRotate270), roFlipHorizontal);
    case 8: return rotate(upright, roRotate90);
    default: return upright;
  }
}

TEST(OrientationIdentities, InverseGivesTheSourceBack) {
  uint32_t seed = 90;
  for (auto cs : kAllSpaces) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{3, 2}, {97, 65}, {1, 130}}) {
      Image upright = randomImage(w, h, cs, seed++);
      for (int n = 1; n <= 8; ++n) {
        Image stored = storeWithOrientation(upright, n);
        EXPECT_TRUE(sameImage(applyExifOrientation(stored, n), upright))
            << "orientation " << n << " " << w << "x" << h << " cs " << int(cs);
      }
      // 5 and 7 are their own inverses.
      for (int n : {5, 7}) {
        EXPECT_TRUE(
            sameImage(applyExifOrientation(applyExifOrientation(upright, n), n), upright));
      }
    }
  }
}

TEST(OrientationRejects, ValuesOutsideOneToEight) {
  Image src = abcdef();
  for (int64_t n : {int64_t{0}, int64_t{9}, int64_t{-1}, INT64_MAX}) {
    try {
      applyExifOrientation(src, n);
      ADD_FAILURE() << "orientation " << n << " accepted";
    } catch (const base::KeldraException& e) {
      EXPECT_STREQ(e.what(), "EXIF orientation must be between 1 and 8");
      EXPECT_EQ(e.kind(), base::ekInvalid);
    }
  }
}

}  // namespace
}  // namespace kd::process
