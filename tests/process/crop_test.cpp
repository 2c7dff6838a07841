// Crop: whole-image and last-pixel rectangles, random rectangles against a
// pixel-by-pixel copy, and every refusal with its message.
#include "process/crop.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "image_helpers.h"

namespace kd::process {
namespace {

using testing::kAllSpaces;
using testing::pixelAt;
using testing::randomImage;
using testing::sameImage;

void expectFailure(const Image& src, int64_t x, int64_t y, int64_t w, int64_t h,
                   const std::string& message) {
  try {
    crop(src, x, y, w, h);
    ADD_FAILURE() << "crop " << x << "," << y << " " << w << "x" << h << " succeeded";
  } catch (const base::KeldraException& e) {
    EXPECT_EQ(e.what(), message);
    EXPECT_EQ(e.kind(), base::ekInvalid);
  }
}

TEST(CropExamples, WholeImageIsACopy) {
  for (auto cs : kAllSpaces) {
    Image src = randomImage(13, 7, cs, 3);
    EXPECT_TRUE(sameImage(crop(src, 0, 0, 13, 7), src));
  }
}

TEST(CropExamples, LastPixel) {
  for (auto cs : kAllSpaces) {
    Image src = randomImage(13, 7, cs, 4);
    Image out = crop(src, 12, 6, 1, 1);
    EXPECT_EQ(out.width, 1);
    EXPECT_EQ(out.height, 1);
    EXPECT_EQ(out.colorspace, cs);
    EXPECT_EQ(out.pixels, pixelAt(src, 12, 6));
  }
}

TEST(CropMatchesPixels, RandomRectangles) {
  std::mt19937 rng(11);
  uint32_t seed = 20;
  for (auto cs : kAllSpaces) {
    Image src = randomImage(41, 23, cs, seed++);
    for (int n = 0; n < 40; ++n) {
      int64_t x = rng() % 41, y = rng() % 23;
      int64_t w = 1 + rng() % (41 - x), h = 1 + rng() % (23 - y);
      Image out = crop(src, x, y, w, h);
      ASSERT_EQ(out.width, w);
      ASSERT_EQ(out.height, h);
      for (int64_t j = 0; j < h; ++j) {
        for (int64_t i = 0; i < w; ++i) ASSERT_EQ(pixelAt(out, i, j), pixelAt(src, x + i, y + j));
      }
    }
  }
}

TEST(CropRejects, NegativeOriginOrEmptySize) {
  Image src = randomImage(5, 4, formats::csRgb, 1);
  const char* msg = "crop: non-positive or negative";
  expectFailure(src, -1, 0, 2, 2, msg);
  expectFailure(src, 0, -1, 2, 2, msg);
  expectFailure(src, 0, 0, 0, 2, msg);
  expectFailure(src, 0, 0, 2, 0, msg);
  expectFailure(src, 0, 0, -5, 2, msg);
  // The sign checks come before the overrun check.
  expectFailure(src, 100, 100, 0, 1, msg);
}

TEST(CropRejects, RectangleOverrunningTheSource) {
  Image src = randomImage(5, 4, formats::csRgba, 2);
  const char* msg = "crop: rectangle overruns the source";
  expectFailure(src, 1, 0, 5, 1, msg);
  expectFailure(src, 0, 1, 1, 4, msg);
  expectFailure(src, 5, 0, 1, 1, msg);
  expectFailure(src, 0, 0, 6, 4, msg);
  // Sums that overflow 64 bits are overruns, not wrap-arounds.
  expectFailure(src, 1, 0, INT64_MAX, 1, msg);
  expectFailure(src, 0, INT64_MAX, 1, INT64_MAX, msg);
}

}  // namespace
}  // namespace kd::process
