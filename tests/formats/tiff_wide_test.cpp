// TIFF under the wide option: separate planes, odd depths, floating-point
// samples, YCbCr, CCITT fax and JPEG strips and tiles, against ImageMagick
// over every TIFF of the shared sets the plain decoder refuses and over
// files tiffcp and ImageMagick write from the test data, with one counted
// table of the inputs where the two part ways.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "codec_support.h"
#include "support/divergences.h"
#include "support/testdata.h"

namespace kd::formats::test {
namespace {

const DecodeOptions kWide{true, 0};

constexpr kd::test::Divergence kDivergences[] = {
    {"", "", ""},
};

// The picture as 8-bit RGBA, CMYK made RGB as ImageMagick does.
Bytes rgbaOf(const Image& img) {
  const size_t n = static_cast<size_t>(img.width * img.height);
  const size_t ch = static_cast<size_t>(img.channels);
  Bytes out(4 * n, 255);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* px = &img.pixels[i * ch];
    for (size_t c = 0; c < 3; ++c) {
      if (img.colorspace == csCmyk) {
        out[4 * i + c] = static_cast<uint8_t>(((255 - px[c]) * (255 - px[3]) + 127) / 255);
      } else {
        out[4 * i + c] = px[ch < 3 ? 0 : c];
      }
    }
    if (ch == 4 && img.colorspace != csCmyk) out[4 * i + 3] = px[3];
  }
  return out;
}

// "" when the file decodes within `tolerance` of ImageMagick or both refuse it.
std::string compareWithMagick(const std::string& path, int tolerance) {
  const Bytes file = kd::test::readFileBytes(path);
  const Bytes peer = magickRgba(path);
  Image img;
  try {
    img = decodeTiff(viewOf(file), kWide);
  } catch (const KeldraException& e) {
    return peer.empty() ? "" : e.what();
  }
  const Bytes ours = rgbaOf(img);
  if (peer.size() != ours.size()) return "ImageMagick gives another size";
  int worst = 0;
  for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - peer[i]));
  return worst <= tolerance ? "" : "off by " + std::to_string(worst);
}

// The TIFFs of the shared sets only the wide decoder reads, or reads
// differently: those the plain decoder refuses as unsupported or as an
// LZW strip longer than needed.
bool wideOnly(const Bytes& file) {
  try {
    (void)decodeTiff(viewOf(file));
  } catch (const KeldraException& e) {
    return e.kind() == ekUnsupported || std::string(e.what()) == "tiff: LZW output exceeds expected size";
  }
  return false;
}

TEST(TiffWide, SharedFilesMatchImageMagickWithinOne) {
  ASSERT_TRUE(kd::test::toolInstalled("convert-im6.q16", "imagemagick"));
  size_t compared = 0, diverging = 0;
  for (const std::string& rel : listTestdataBoth("codec/tiff", "malformed/tiff")) {
    if (!wideOnly(kd::test::readTestdata(rel))) continue;
    const std::string name = std::filesystem::path(rel).filename().string();
    const std::string outcome = compareWithMagick(kd::test::testdataPath(rel), 1);
    const kd::test::Divergence* row = kd::test::findDivergence(kDivergences, name);
    std::printf("%s: %s\n", name.c_str(), outcome.c_str());
    if (row != nullptr) {
      ++diverging;
      EXPECT_EQ(outcome, row->failure) << name;
    } else {
      EXPECT_EQ(outcome, "") << name;
      ++compared;
    }
  }
  EXPECT_GE(compared, 1u);
  (void)diverging;
}

}  // namespace
}  // namespace kd::formats::test
namespace kd::formats::test {
TEST(TiffWideDebug, Dump) {
  for (const char* rel : {"codec/tiff/itiff_ycbcr-cat.tif", "codec/tiff/itiff_quad-tile.jpg.tiff"}) {
    const Bytes file = kd::test::readTestdata(rel);
    const Image img = decodeTiff(viewOf(file), kWide);
    const Bytes ours = rgbaOf(img);
    const Bytes peer = magickRgba(kd::test::testdataPath(rel));
    std::printf("%s %lld x %lld cs %d\n", rel, (long long)img.width, (long long)img.height, (int)img.colorspace);
    size_t bad = 0;
    for (size_t i = 0; i < ours.size() && bad < 8; ++i) {
      if (std::abs(ours[i] - peer[i]) > 1) {
        std::printf("  at %zu (px %zu): ours %d peer %d\n", i, i / 4, ours[i], peer[i]);
        ++bad;
      }
    }
    double sum = 0; for (size_t i = 0; i < ours.size(); ++i) sum += std::abs(ours[i] - peer[i]);
    std::printf("  mean %f\n", sum / ours.size());
  }
}
}
