// The PNG encoder's compression levels: every colour type at every level
// reads back through our decoder and libpng with the exact pixels; level 0
// and NULL options are the plain encoder's bytes.
#include <gtest/gtest.h>

#include "formats/codecs.h"
#include "formats/png.h"
#include "keldra/keldra.h"
#include "png_peer.h"
#include "support/testdata.h"

namespace kd::formats {
namespace {

// A photograph cut to 301 x 97 (odd sizes: the filters' edges) as grey,
// RGB and RGBA (alpha from the red channel's rows, so it varies).
Image photoAs(ColorSpace cs) {
  const Image photo = decodeJpeg(test::readTestdata("codec/jpeg/pil_flower2.jpg"));
  Image img;
  img.width = std::min<int64_t>(photo.width, 301);
  img.height = std::min<int64_t>(photo.height, 97);
  img.colorspace = cs;
  img.channels = channelsOf(cs);
  for (int64_t y = 0; y < img.height; ++y) {
    for (int64_t x = 0; x < img.width; ++x) {
      const uint8_t* s = &photo.pixels[static_cast<size_t>((y * photo.width + x) * photo.channels)];
      const int64_t n = std::min<int64_t>(img.channels, photo.channels);
      for (int64_t c = 0; c < n; ++c) img.pixels.push_back(s[c]);
      if (img.channels == 4) img.pixels.push_back(static_cast<uint8_t>(s[0] ^ y));
    }
  }
  return img;
}

// Beside the photographs: a drawing (flat bands and a repeating pattern:
// long matches, runs a window apart) and noise (stored blocks).
std::vector<Image> testImages() {
  std::vector<Image> images = {photoAs(csGray), photoAs(csRgb), photoAs(csRgba)};
  for (int kind = 0; kind < 2; ++kind) {
    Image img;
    img.width = 1111;
    img.height = 41;
    img.colorspace = kind == 0 ? csRgb : csRgba;
    img.channels = channelsOf(img.colorspace);
    uint32_t noise = 12345;
    img.pixels.resize(static_cast<size_t>(img.width * img.height * img.channels));
    for (size_t i = 0; i < img.pixels.size(); ++i) {
      noise = noise * 1103515245u + 12345u;
      img.pixels[i] = static_cast<uint8_t>(kind == 0 ? (i / 3000 % 2 ? i % 7 * 30 : 200) : noise >> 24);
    }
    images.push_back(img);
  }
  return images;
}

class PngLevels : public ::testing::TestWithParam<int> {};

TEST_P(PngLevels, EveryColourTypeReadsBackExactlyHereAndInLibpng) {
  for (const Image& img : testImages()) {
    const int cs = static_cast<int>(img.colorspace);
    base::HeapBytes out;
    encodePngLevelTo(img, GetParam(), out);
    const Bytes file = out.toBytes();
    EXPECT_EQ(decodePng(file).pixels, img.pixels) << "colour space " << cs << " width " << img.width;
    const test::PeerImage peer = test::libpngDecode(file);
    ASSERT_TRUE(peer.ok) << peer.error;
    EXPECT_EQ(peer.pixels, img.pixels) << "colour space " << cs << " width " << img.width;
    // The photographs (the drawing suits the unfiltered plain encoder).
    if (GetParam() > 0 && img.width != 1111) {
      EXPECT_LT(file.size(), encodePng(img).size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Level, PngLevels, ::testing::Range(0, 10));

TEST(PngEncodeEx, NullOptionsAndLevelZeroGiveThePlainBytesAndBadLevelsAreRefused) {
  const Image img = photoAs(csRgb);
  KdImage* h = nullptr;
  ASSERT_EQ(kd_image_from_pixels(int(img.width), int(img.height), KD_CS_RGB, img.pixels.data(),
                                 img.pixels.size(), &h),
            KD_IMAGE_OK);
  uint8_t* plain = nullptr;
  size_t plainLen = 0;
  ASSERT_EQ(kd_image_encode(h, KD_FORMAT_PNG, 90, &plain, &plainLen), KD_IMAGE_OK);
  for (int level : {0, 6, 10, -1}) {
    KdEncodeOpts opts{sizeof(KdEncodeOpts), 0, level, 0};
    for (const KdEncodeOpts* o : {static_cast<const KdEncodeOpts*>(nullptr), static_cast<const KdEncodeOpts*>(&opts)}) {
      uint8_t* buf = nullptr;
      size_t len = 0;
      const int st = kd_image_encode_ex(h, KD_FORMAT_PNG, o, &buf, &len);
      if (o != nullptr && (level < 0 || level > 9)) {
        EXPECT_EQ(st, KD_IMAGE_EARG);
        EXPECT_EQ(buf, nullptr);
        continue;
      }
      ASSERT_EQ(st, KD_IMAGE_OK);
      const bool same = len == plainLen && std::equal(buf, buf + len, plain);
      EXPECT_EQ(same, o == nullptr || level == 0) << "level " << level;
      kd_image_buffer_free(buf);
    }
  }
  kd_image_buffer_free(plain);
  kd_image_free(h);
}

}  // namespace
}  // namespace kd::formats
