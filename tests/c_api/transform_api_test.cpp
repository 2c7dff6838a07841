// kd_image_resize / crop / rotate / apply_orientation: checks in order,
// code mapping, new handles that leave the source alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "keldra/keldra.h"

namespace {

KdImage* const kPoison = reinterpret_cast<KdImage*>(uintptr_t{0x1234});
const int kChannels[] = {1, 3, 4, 4, 3, 1};

KdImage* fromPixels(int w, int h, int cs, const std::vector<uint8_t>& px) {
  KdImage* img = nullptr;
  EXPECT_EQ(kd_image_from_pixels(w, h, cs, px.data(), px.size(), &img), 0);
  return img;
}

KdImage* makeImage(int w, int h, int cs) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * kChannels[cs]);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 37 + 11);
  return fromPixels(w, h, cs, px);
}

std::vector<uint8_t> samples(KdImage* img) {
  const uint8_t* p = nullptr;
  size_t len = 0;
  EXPECT_EQ(kd_image_pixels(img, &p, &len), 0);
  return std::vector<uint8_t>(p, p + len);
}

std::string text(KdImage* img) {
  auto s = samples(img);
  return std::string(s.begin(), s.end());
}

// a b c / d e f
KdImage* abcdef() { return fromPixels(3, 2, KD_CS_GRAY, {'a', 'b', 'c', 'd', 'e', 'f'}); }

TEST(ImageResize, ChecksInOrderAndClearsOut) {
  KdImage* img = makeImage(4, 3, KD_CS_RGB);
  EXPECT_EQ(kd_image_resize(img, 2, 2, KD_FILTER_BOX, nullptr), 2);
  KdImage* out = kPoison;
  EXPECT_EQ(kd_image_resize(nullptr, 2, 2, KD_FILTER_BOX, &out), 2);
  EXPECT_EQ(out, nullptr);
  out = kPoison;
  EXPECT_EQ(kd_image_resize(kPoison, 2, 2, KD_FILTER_BOX, &out), 2);
  EXPECT_EQ(out, nullptr);
  for (auto [w, h] : {std::pair{0, 2}, {2, 0}, {-1, 2}, {2, -7}}) {
    out = kPoison;
    // Dimensions are refused before the filter code is looked at.
    EXPECT_EQ(kd_image_resize(img, w, h, 99, &out), 2);
    EXPECT_EQ(out, nullptr);
  }
  for (int filter : {3, -1, 1000}) {
    out = kPoison;
    EXPECT_EQ(kd_image_resize(img, 2, 2, filter, &out), 2) << filter;  // "kd_image: bad filter"
    EXPECT_EQ(out, nullptr);
  }
  out = kPoison;
  EXPECT_EQ(kd_image_resize(img, 40000, 40000, KD_FILTER_NEAREST, &out), 2);  // too large
  EXPECT_EQ(out, nullptr);
  kd_image_free(img);
}

TEST(ImageResize, FilterCodesReachTheirFilters) {
  KdImage* row = fromPixels(4, 1, KD_CS_GRAY, {0, 100, 200, 255});
  const std::vector<uint8_t> want[] = {{100, 255}, {50, 228}, {50, 228}};
  for (int filter : {KD_FILTER_NEAREST, KD_FILTER_BILINEAR, KD_FILTER_BOX}) {
    KdImage* out = nullptr;
    ASSERT_EQ(kd_image_resize(row, 2, 1, filter, &out), 0);
    EXPECT_EQ(kd_image_width(out), 2);
    EXPECT_EQ(kd_image_height(out), 1);
    EXPECT_EQ(samples(out), want[filter]);
    kd_image_free(out);
  }
  EXPECT_EQ(samples(row), (std::vector<uint8_t>{0, 100, 200, 255}));
  kd_image_free(row);
}

TEST(ImageResize, EveryColourSpaceKeepsItsSpace) {
  for (int cs = 0; cs < 6; ++cs) {
    KdImage* img = makeImage(5, 3, cs);
    KdImage* out = nullptr;
    ASSERT_EQ(kd_image_resize(img, 8, 2, KD_FILTER_BILINEAR, &out), 0);
    EXPECT_EQ(kd_image_get_colorspace(out), cs);
    EXPECT_EQ(kd_image_channels(out), kChannels[cs]);
    EXPECT_EQ(samples(out).size(), static_cast<size_t>(8 * 2 * kChannels[cs]));
    kd_image_free(out);
    kd_image_free(img);
  }
}

TEST(ImageCrop, ChecksAndRectangleErrors) {
  KdImage* img = makeImage(5, 4, KD_CS_RGBA);
  EXPECT_EQ(kd_image_crop(img, 0, 0, 1, 1, nullptr), 2);
  KdImage* out = kPoison;
  EXPECT_EQ(kd_image_crop(nullptr, 0, 0, 1, 1, &out), 2);
  EXPECT_EQ(out, nullptr);
  for (auto r : {std::vector<int>{-1, 0, 1, 1}, {0, 0, 0, 1}, {1, 0, 5, 1}, {0, 4, 1, 1},
                 {2147483647, 0, 2147483647, 1}}) {
    out = kPoison;
    EXPECT_EQ(kd_image_crop(img, r[0], r[1], r[2], r[3], &out), 2);
    EXPECT_EQ(out, nullptr);
  }
  kd_image_free(img);
}

TEST(ImageCrop, WholePictureIsAnEqualCopyInANewHandle) {
  for (int cs = 0; cs < 6; ++cs) {
    KdImage* img = makeImage(7, 3, cs);
    const uint8_t* before = nullptr;
    size_t len = 0;
    ASSERT_EQ(kd_image_pixels(img, &before, &len), 0);
    KdImage* out = nullptr;
    ASSERT_EQ(kd_image_crop(img, 0, 0, 7, 3, &out), 0);
    ASSERT_NE(out, img);
    EXPECT_EQ(samples(out), samples(img));
    EXPECT_EQ(kd_image_get_colorspace(out), cs);
    // The source's borrowed samples still point at its own bytes.
    const uint8_t* after = nullptr;
    ASSERT_EQ(kd_image_pixels(img, &after, &len), 0);
    EXPECT_EQ(after, before);
    kd_image_free(out);
    kd_image_free(img);
  }
}

TEST(ImageCrop, LastPixel) {
  KdImage* img = abcdef();
  KdImage* out = nullptr;
  ASSERT_EQ(kd_image_crop(img, 2, 1, 1, 1, &out), 0);
  EXPECT_EQ(text(out), "f");
  kd_image_free(out);
  kd_image_free(img);
}

TEST(ImageRotate, OperationCodes) {
  KdImage* img = abcdef();
  const char* want[] = {"daebfc", "fedcba", "cfbead", "cbafed", "defabc"};
  const int widths[] = {2, 3, 2, 3, 3};
  for (int op = 0; op < 5; ++op) {
    KdImage* out = nullptr;
    ASSERT_EQ(kd_image_rotate(img, op, &out), 0);
    EXPECT_EQ(text(out), want[op]) << op;
    EXPECT_EQ(kd_image_width(out), widths[op]);
    EXPECT_EQ(kd_image_height(out), 6 / widths[op]);
    kd_image_free(out);
  }
  EXPECT_EQ(text(img), "abcdef");
  for (int op : {5, -1, 100}) {
    KdImage* out = kPoison;
    EXPECT_EQ(kd_image_rotate(img, op, &out), 2) << op;  // "kd_image: bad rotate op"
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(kd_image_rotate(img, 0, nullptr), 2);
  KdImage* out = kPoison;
  EXPECT_EQ(kd_image_rotate(kPoison, 0, &out), 2);
  EXPECT_EQ(out, nullptr);
  kd_image_free(img);
  out = kPoison;
  EXPECT_EQ(kd_image_rotate(img, 0, &out), 2);  // released handle
  EXPECT_EQ(out, nullptr);
}

TEST(ImageOrientation, ValuesAndChecks) {
  KdImage* img = abcdef();
  const char* want[] = {"abcdef", "cbafed", "fedcba", "defabc", "adbecf", "daebfc", "fcebda",
                        "cfbead"};
  for (int o = 1; o <= 8; ++o) {
    KdImage* out = nullptr;
    ASSERT_EQ(kd_image_apply_orientation(img, o, &out), 0);
    ASSERT_NE(out, img);
    EXPECT_EQ(text(out), want[o - 1]) << o;
    EXPECT_EQ(kd_image_width(out), o >= 5 ? 2 : 3);
    kd_image_free(out);
  }
  for (int o : {0, 9, -1}) {
    KdImage* out = kPoison;
    EXPECT_EQ(kd_image_apply_orientation(img, o, &out), 2) << o;
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(kd_image_apply_orientation(img, 1, nullptr), 2);
  KdImage* out = kPoison;
  EXPECT_EQ(kd_image_apply_orientation(nullptr, 1, &out), 2);
  EXPECT_EQ(out, nullptr);
  kd_image_free(img);
}

TEST(ImageTransforms, OddColourSpacesSurviveEveryOperation) {
  for (int cs : {KD_CS_CMYK, KD_CS_OTHER3, KD_CS_OTHER1}) {
    KdImage* img = makeImage(6, 5, cs);
    KdImage* outs[4] = {};
    ASSERT_EQ(kd_image_resize(img, 3, 9, KD_FILTER_BOX, &outs[0]), 0);
    ASSERT_EQ(kd_image_crop(img, 1, 1, 4, 3, &outs[1]), 0);
    ASSERT_EQ(kd_image_rotate(img, KD_ROTATE_270, &outs[2]), 0);
    ASSERT_EQ(kd_image_apply_orientation(img, 7, &outs[3]), 0);
    for (KdImage* o : outs) {
      EXPECT_EQ(kd_image_get_colorspace(o), cs);
      EXPECT_EQ(kd_image_channels(o), kChannels[cs]);
      kd_image_free(o);
    }
    kd_image_free(img);
  }
}

}  // namespace
