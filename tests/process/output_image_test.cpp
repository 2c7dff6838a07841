// Operation outputs: the same record newImage makes, for small buffers and
// for buffers large enough to take the huge-page path.
#include "process/output_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>

namespace kd::process {
namespace {

TEST(OutputImage, MatchesNewImageOnBothSidesOfTheHugePageThreshold) {
  for (auto [w, h, cs] : {std::tuple<int64_t, int64_t, formats::ColorSpace>{3, 2, formats::csRgb},
                          {2048, 1024, formats::csRgba},   // exactly 8 MiB
                          {2047, 1024, formats::csRgba},   // just below
                          {3001, 1999, formats::csRgb}}) {
    formats::Image img = newOutputImage(w, h, cs);
    formats::Image ref = formats::newImage(w, h, cs);
    EXPECT_EQ(img.width, ref.width);
    EXPECT_EQ(img.height, ref.height);
    EXPECT_EQ(img.channels, ref.channels);
    EXPECT_EQ(img.colorspace, ref.colorspace);
    ASSERT_EQ(img.pixels.size(), ref.pixels.size());
    EXPECT_TRUE(std::all_of(img.pixels.begin(), img.pixels.end(), [](uint8_t b) { return b == 0; }));
  }
}

TEST(OutputImage, OverflowingSizesFailLikeNewImage) {
  for (auto [w, h] : {std::pair<int64_t, int64_t>{INT64_MAX, 2}, {int64_t{1} << 62, 1}}) {
    try {
      newOutputImage(w, h, formats::csRgba);
      ADD_FAILURE() << w << "x" << h << " accepted";
    } catch (const base::KeldraException& e) {
      EXPECT_STREQ(e.what(), "newImage: size overflow");
      EXPECT_EQ(e.kind(), base::ekInvalid);
    }
  }
}

}  // namespace
}  // namespace kd::process
