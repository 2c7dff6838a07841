// Palette extraction from 8-bit images: the image checks, the lift into
// colours, the fast OKLab path, and real photos beside libimagequant.
#include "process/quantize.h"

#include <gtest/gtest.h>
#include <libimagequant.h>
#include <stb_image.h>

#include <cmath>
#include <limits>

#include "prismel/conversion/hub.h"
#include "support/testdata.h"

namespace kd::process {
namespace {

using formats::Bytes;
using formats::Image;
using prismel::Color;
using prismel::ColorImage;
using prismel::Palette;
using prismel::QuantizeOpts;
using prismel::Result;

Image makeImage(int64_t w, int64_t h, formats::ColorSpace cs, Bytes pixels) {
  Image img;
  img.width = w;
  img.height = h;
  img.colorspace = cs;
  img.channels = formats::channelsOf(cs);
  img.pixels = std::move(pixels);
  return img;
}

void expectImageError(const Image& img, const std::string& msg) {
  Result<ColorImage> r = toColorImage(img);
  ASSERT_FALSE(r.ok()) << msg;
  EXPECT_EQ(r.error().kind, prismel::ceInvalidImage);
  EXPECT_EQ(r.error().msg, msg);
  EXPECT_EQ(r.error().where, "Keldra.extractPalette");
}

TEST(ToColorImage, ChecksInOrder) {
  expectImageError(makeImage(0, 1, formats::csRgb, {}), "image dimensions must be positive");
  expectImageError(makeImage(2, -1, formats::csRgb, {}), "image dimensions must be positive");
  // A grey image claiming three channels fails before any buffer check.
  Image gray3 = makeImage(1, 1, formats::csGray, {});
  gray3.channels = 3;
  expectImageError(gray3, "channel count disagrees with the image colorspace");
  expectImageError(makeImage(int64_t{1} << 62, 4, formats::csGray, {}),
                   "image dimensions overflow the addressable size");
  expectImageError(makeImage(int64_t{1} << 61, 2, formats::csRgba, {}),
                   "pixel buffer length disagrees with image dimensions");
  // One byte short: refused, never read past the buffer.
  expectImageError(makeImage(2, 2, formats::csRgba, Bytes(15, 0)),
                   "pixel buffer length disagrees with image dimensions");
  expectImageError(makeImage(1, 1, formats::csCmyk, Bytes(4, 0)),
                   "palette extraction supports Gray, RGB and RGBA images");
  expectImageError(makeImage(1, 1, formats::csOther3, Bytes(3, 0)),
                   "palette extraction supports Gray, RGB and RGBA images");
  expectImageError(makeImage(1, 1, formats::csOther1, Bytes(1, 0)),
                   "palette extraction supports Gray, RGB and RGBA images");
}

TEST(ToColorImage, GreyWhiteBecomesOneSrgbWhite) {
  Result<ColorImage> r = toColorImage(makeImage(1, 1, formats::csGray, {255}));
  ASSERT_TRUE(r.ok());
  const ColorImage& img = r.value();
  EXPECT_EQ(img.pixels, (std::vector<Color>{Color{{1.0f, 1.0f, 1.0f}, 1.0f, 1}}));
  EXPECT_EQ(img.originSpace, 1);
  EXPECT_EQ(img.workSpace, 1);
  EXPECT_EQ(img.bitDepth, 8);
  EXPECT_FALSE(img.flag);
}

TEST(ToColorImage, SamplesAreSinglePrecisionQuotients) {
  Bytes px;
  for (int v = 0; v < 256; ++v) {
    px.push_back(static_cast<uint8_t>(v));
    px.push_back(static_cast<uint8_t>(255 - v));
    px.push_back(static_cast<uint8_t>(v / 2));
    px.push_back(static_cast<uint8_t>((v * 7) & 255));
  }
  Result<ColorImage> r = toColorImage(makeImage(16, 16, formats::csRgba, px));
  ASSERT_TRUE(r.ok());
  for (int v = 0; v < 256; ++v) {
    const Color& c = r.value().pixels[v];
    volatile float den = 255.0f;  // keep the division a division
    EXPECT_EQ(c.c[0], static_cast<float>(v) / den);
    EXPECT_EQ(c.c[1], static_cast<float>(255 - v) / den);
    EXPECT_EQ(c.c[2], static_cast<float>(v / 2) / den);
    EXPECT_EQ(c.alpha, static_cast<float>((v * 7) & 255) / den);
    EXPECT_EQ(c.space, 1);
  }
}

TEST(ExtractPaletteFromImage, RgbWorkSpaceSkipsConversion) {
  Result<Palette> p = extractPalette(makeImage(1, 2, formats::csRgb, {255, 0, 0, 255, 0, 0}), 4,
                                     "wu", 1, {});
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().colors(), (std::vector<Color>{Color{{1.0f, 0.0f, 0.0f}, 1.0f, 1}}));
}

TEST(ExtractPaletteFromImage, ImageErrorsComeFirst) {
  Result<Palette> p = extractPalette(makeImage(1, 1, formats::csCmyk, Bytes(4, 0)), 0, "x", 0, {});
  ASSERT_FALSE(p.ok());
  EXPECT_EQ(p.error().msg, "palette extraction supports Gray, RGB and RGBA images");
}

// ---- Real photos ----------------------------------------------------------

const char* const kPhotos[] = {"codec/jpeg/irs_cat.jpg", "codec/jpeg/pil_flower2.jpg",
                               "codec/png/pil_hopper.png"};

Image loadPhoto(const std::string& rel) {
  const std::vector<uint8_t> bytes = test::readTestdata(rel);
  int w = 0, h = 0, n = 0;
  uint8_t* data = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n, 3);
  EXPECT_NE(data, nullptr) << rel;
  if (data == nullptr) return {};
  Image img = makeImage(w, h, formats::csRgb, Bytes(data, data + size_t(w) * h * 3));
  stbi_image_free(data);
  return img;
}

double meanDistance(const std::vector<Color>& lab, const std::vector<Color>& pal) {
  double total = 0;
  for (const Color& p : lab) {
    double best = std::numeric_limits<double>::infinity();
    for (const Color& c : pal) {
      const double d0 = p.c[0] - c.c[0], d1 = p.c[1] - c.c[1], d2 = p.c[2] - c.c[2];
      best = std::min(best, d0 * d0 + d1 * d1 + d2 * d2);
    }
    total += std::sqrt(best);
  }
  return total / static_cast<double>(lab.size());
}

// libimagequant's palette for the photo, as OKLab colours.
std::vector<Color> imagequantPalette(const Image& img, int n) {
  std::vector<uint8_t> rgba;
  for (size_t i = 0; i < img.pixels.size(); i += 3) {
    rgba.insert(rgba.end(), {img.pixels[i], img.pixels[i + 1], img.pixels[i + 2], 255});
  }
  liq_attr* attr = liq_attr_create();
  liq_set_max_colors(attr, n);
  liq_image* li = liq_image_create_rgba(attr, rgba.data(), static_cast<int>(img.width),
                                        static_cast<int>(img.height), 0);
  liq_result* res = nullptr;
  std::vector<Color> out;
  if (liq_image_quantize(li, attr, &res) == LIQ_OK) {
    const liq_palette* pal = liq_get_palette(res);
    for (unsigned i = 0; i < pal->count; ++i) {
      Color c{{pal->entries[i].r / 255.0f, pal->entries[i].g / 255.0f, pal->entries[i].b / 255.0f},
              1.0f, 1};
      out.push_back(prismel::to(15, c).value());
    }
    liq_result_destroy(res);
  }
  liq_image_destroy(li);
  liq_attr_destroy(attr);
  return out;
}

// The library lifts 8-bit samples into OKLab with the batch path; converting
// every pixel through the hub one by one must give the same palettes.
TEST(PhotoPalettes, FastOklabLiftMatchesPerPixelConversion) {
  for (const char* rel : kPhotos) {
    const Image img = loadPhoto(rel);
    Result<ColorImage> lifted = toColorImage(img);
    ASSERT_TRUE(lifted.ok()) << rel;
    ColorImage lab = lifted.value();
    for (Color& c : lab.pixels) c = prismel::to(15, c).value();
    lab.workSpace = 15;
    for (const char* algo : {"wu", "medianCut", "octree"}) {
      Result<Palette> fast = extractPalette(img, 8, algo, 15, {});
      Result<Palette> slow = prismel::extractPalette(lab, 8, algo, 15, {});
      ASSERT_TRUE(fast.ok() && slow.ok()) << rel << " " << algo;
      EXPECT_EQ(fast.value().colors(), slow.value().colors()) << rel << " " << algo;
    }
  }
}

TEST(PhotoPalettes, WuAndKmeansPPCloseToImagequant) {
  for (const char* rel : {kPhotos[0], kPhotos[2]}) {
    const Image img = loadPhoto(rel);
    const std::vector<Color> lab = prismel::toWorkSpace(toColorImage(img).value(), 15).value().pixels;
    for (int n : {8, 16}) {
      const double peer = meanDistance(lab, imagequantPalette(img, n));
      ASSERT_GT(peer, 0.0);
      for (const char* algo : {"wu", "kmeansPP"}) {
        Result<Palette> p = extractPalette(img, n, algo, 15, {});
        ASSERT_TRUE(p.ok()) << rel;
        EXPECT_LE(p.value().len(), n);
        const double ours = meanDistance(lab, p.value().colors());
        EXPECT_LT(ours, peer * 1.25) << rel << " n=" << n << " " << algo;
      }
    }
  }
}

}  // namespace
}  // namespace kd::process
