// kd_image_*: argument checks in order, handle misuse, status mapping.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "c_api/guard.h"
#include "keldra/keldra.h"

namespace {

const size_t kTopBit = size_t{1} << (sizeof(size_t) * 8 - 1);
KdImage* const kPoison = reinterpret_cast<KdImage*>(uintptr_t{0x1234});

KdImage* makeImage(int w, int h, int cs) {
  static const int channels[] = {1, 3, 4, 4, 3, 1};
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * channels[cs]);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 7);
  KdImage* img = nullptr;
  EXPECT_EQ(kd_image_from_pixels(w, h, cs, px.data(), px.size(), &img), 0);
  return img;
}

TEST(ImageFromPixels, ChecksInOrderAndClearsOut) {
  uint8_t px[12] = {};
  EXPECT_EQ(kd_image_from_pixels(2, 2, KD_CS_RGB, px, 12, nullptr), 2);
  KdImage* out = kPoison;
  EXPECT_EQ(kd_image_from_pixels(0, 2, KD_CS_RGB, px, 12, &out), 2);
  EXPECT_EQ(out, nullptr);
  for (int cs : {-1, 6, 100}) {
    out = kPoison;
    EXPECT_EQ(kd_image_from_pixels(2, 2, cs, px, 12, &out), 2);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(kd_image_from_pixels(2, -1, KD_CS_RGB, px, 12, &out), 2);
  EXPECT_EQ(kd_image_from_pixels(2, 2, KD_CS_RGB, nullptr, 12, &out), 2);
  EXPECT_EQ(kd_image_from_pixels(2, 2, KD_CS_RGB, px, 11, &out), 2);
  EXPECT_EQ(kd_image_from_pixels(2, 2, KD_CS_RGB, px, 13, &out), 2);
  EXPECT_EQ(out, nullptr);
  // A huge claimed size with a short buffer is refused before allocating.
  EXPECT_EQ(kd_image_from_pixels(2147483647, 2147483647, KD_CS_RGBA, px, 12, &out), 2);
  EXPECT_EQ(out, nullptr);
}

TEST(ImageFromPixels, EveryColourSpaceCopiesTheCallersBytes) {
  const int channels[] = {1, 3, 4, 4, 3, 1};
  for (int cs = 0; cs < 6; ++cs) {
    std::vector<uint8_t> px(static_cast<size_t>(3 * 5 * channels[cs]), 9);
    KdImage* img = nullptr;
    ASSERT_EQ(kd_image_from_pixels(3, 5, cs, px.data(), px.size(), &img), 0);
    px.assign(px.size(), 1);  // the image owns a copy
    EXPECT_EQ(kd_image_width(img), 3);
    EXPECT_EQ(kd_image_height(img), 5);
    EXPECT_EQ(kd_image_channels(img), channels[cs]);
    EXPECT_EQ(kd_image_get_colorspace(img), cs);
    const uint8_t* p = nullptr;
    size_t len = 0;
    ASSERT_EQ(kd_image_pixels(img, &p, &len), 0);
    ASSERT_EQ(len, px.size());
    for (size_t i = 0; i < len; ++i) ASSERT_EQ(p[i], 9);
    kd_image_free(img);
  }
}

TEST(ImageDecodeBuffer, ChecksInOrder) {
  const uint8_t data[4] = {'B', 'M', 0, 0};
  EXPECT_EQ(kd_image_decode_buffer(data, 4, 0, nullptr), 2);
  KdImage* out = kPoison;
  EXPECT_EQ(kd_image_decode_buffer(nullptr, 4, 0, &out), 2);
  EXPECT_EQ(out, nullptr);
  out = kPoison;
  EXPECT_EQ(kd_image_decode_buffer(data, 0, 0, &out), 2);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(kd_image_decode_buffer(data, 4, 11, &out), 2);
  EXPECT_EQ(kd_image_decode_buffer(data, 4, -1, &out), 2);
  EXPECT_EQ(kd_image_decode_buffer(data, kTopBit | 4, 0, &out), 2);
  EXPECT_EQ(out, nullptr);
}

TEST(ImageDecodeBuffer, MapsDecoderKinds) {
  KdImage* out = kPoison;
  const uint8_t one[1] = {0};
  EXPECT_EQ(kd_image_decode_buffer(one, 1, 0, &out), 2);  // "input too short", ekTruncated
  EXPECT_EQ(out, nullptr);
  const uint8_t junk[8] = {'P', '7', ' ', '1', 0, 0, 0, 0};
  EXPECT_EQ(kd_image_decode_buffer(junk, 8, 0, &out), 4);  // unrecognized, ekUnsupported
  EXPECT_EQ(kd_image_decode_buffer(junk, 8, KD_FORMAT_PNG, &out), 4);
  EXPECT_EQ(out, nullptr);
}

TEST(ImageEncode, ChecksAndUnencodableFormats) {
  KdImage* img = makeImage(2, 2, KD_CS_RGB);
  uint8_t* buf = reinterpret_cast<uint8_t*>(kPoison);
  size_t len = 77;
  EXPECT_EQ(kd_image_encode(img, KD_FORMAT_PNG, 90, nullptr, &len), 2);
  EXPECT_EQ(len, 77u);  // untouched when the other out-pointer is NULL
  EXPECT_EQ(kd_image_encode(img, KD_FORMAT_PNG, 90, &buf, nullptr), 2);
  EXPECT_EQ(kd_image_encode(nullptr, KD_FORMAT_PNG, 90, &buf, &len), 2);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(len, 0u);
  for (int format : {0, 6, 7, 9, 10, 11, -1}) {
    buf = reinterpret_cast<uint8_t*>(kPoison);
    len = 77;
    EXPECT_EQ(kd_image_encode(img, format, 90, &buf, &len), 4) << format;
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0u);
  }
  kd_image_free(img);
}

TEST(ImageQueries, InvalidHandlesGiveZero) {
  KdImage* img = makeImage(4, 3, KD_CS_RGBA);
  kd_image_free(img);
  for (KdImage* h : {static_cast<KdImage*>(nullptr), kPoison, img}) {
    EXPECT_EQ(kd_image_width(h), 0);
    EXPECT_EQ(kd_image_height(h), 0);
    EXPECT_EQ(kd_image_channels(h), 0);
    EXPECT_EQ(kd_image_get_colorspace(h), 0);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(kPoison);
    size_t len = 5;
    EXPECT_EQ(kd_image_pixels(h, &p, &len), 2);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(len, 0u);
  }
}

TEST(ImageFree, DoubleAndForeignFreesAreHarmless) {
  KdImage* img = makeImage(1, 1, KD_CS_GRAY);
  kd_image_free(img);
  kd_image_free(img);
  kd_image_free(nullptr);
  kd_image_free(kPoison);
  // Handles of another kind are not live in the image set.
  KdImage* other = makeImage(1, 1, KD_CS_GRAY);
  kd_palette_free(reinterpret_cast<KdPalette*>(other));
  kd_exif_meta_free(reinterpret_cast<KdExif*>(other));
  kd_exif_edit_free(reinterpret_cast<KdExifEdit*>(other));
  EXPECT_EQ(kd_image_width(other), 1);
  kd_image_free(other);
}

TEST(StatusMapping, KindsToImageStatuses) {
  using namespace kd::c_api;
  EXPECT_EQ(mapImgStatus(kd::base::ekNone), 0);
  EXPECT_EQ(mapImgStatus(kd::base::ekUnsupported), 4);
  EXPECT_EQ(mapImgStatus(kd::base::ekTruncated), 2);
  EXPECT_EQ(mapImgStatus(kd::base::ekInvalid), 2);
  EXPECT_EQ(mapImgStatus(kd::base::ekTooLarge), 2);
  EXPECT_TRUE(badLength(0));
  EXPECT_TRUE(badLength(kTopBit));
  EXPECT_FALSE(badLength(kTopBit - 1));
}

}  // namespace
