// TIFF associated alpha (ExtraSamples 1): premultiplied colour made
// straight, against ImageMagick over every such file of the shared sets.
#include <gtest/gtest.h>

#include <cstdlib>

#include "codec_support.h"
#include "support/testdata.h"

namespace kd::formats::test {
namespace {

TEST(TiffAssociatedAlpha, StraightColourMatchesImageMagickWithinOne) {
  ASSERT_TRUE(kd::test::toolInstalled("convert-im6.q16", "imagemagick"));
  size_t compared = 0;
  for (const std::string& rel : listTestdataBoth("codec/tiff", "metadata/tiff")) {
    const Bytes file = kd::test::readTestdata(rel);
    if (!hasAssociatedAlpha(file)) continue;
    const Image img = decodeTiff(viewOf(file));
    ASSERT_EQ(img.colorspace, csRgba) << rel;
    const Bytes peer = magickRgba(kd::test::testdataPath(rel));
    ASSERT_EQ(peer.size(), img.pixels.size()) << rel;
    int worst = 0;
    for (size_t i = 0; i < peer.size(); ++i) worst = std::max(worst, std::abs(img.pixels[i] - peer[i]));
    EXPECT_LE(worst, 1) << rel;
    ++compared;
  }
  EXPECT_GE(compared, 1u);
}

}  // namespace
}  // namespace kd::formats::test
