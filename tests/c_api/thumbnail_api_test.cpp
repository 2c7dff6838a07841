// kd_image_thumbnail and JPEG through the image functions: argument checks,
// status mapping, the camera sample's preview, the quality clamp.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "keldra/keldra.h"
#include "support/testdata.h"

namespace {

const size_t kTopBit = size_t{1} << (sizeof(size_t) * 8 - 1);

std::vector<uint8_t> sample(const char* name) {
  return kd::test::readFileBytes(std::string(KELDRA_SOURCE_DIR) + "/samples/" + name);
}

TEST(ImageThumbnail, ArgumentChecks) {
  const std::vector<uint8_t> file = sample("canon_s330.jpg");
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(kd_image_thumbnail(file.data(), file.size(), nullptr), 2);
  KdImage* out = reinterpret_cast<KdImage*>(uintptr_t{0x1234});
  EXPECT_EQ(kd_image_thumbnail(nullptr, file.size(), &out), 2);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(kd_image_thumbnail(file.data(), 0, &out), 2);
  EXPECT_EQ(kd_image_thumbnail(file.data(), file.size() | kTopBit, &out), 2);
  EXPECT_EQ(out, nullptr);
}

TEST(ImageThumbnail, CameraSamplePreviewAndFilesWithout) {
  const std::vector<uint8_t> file = sample("canon_s330.jpg");
  KdImage* thumb = nullptr;
  ASSERT_EQ(kd_image_thumbnail(file.data(), file.size(), &thumb), 0);
  EXPECT_EQ(kd_image_width(thumb), 160);
  EXPECT_EQ(kd_image_height(thumb), 120);
  EXPECT_EQ(kd_image_get_colorspace(thumb), KD_CS_RGB);
  kd_image_free(thumb);
  // The full picture decodes too, and is larger.
  KdImage* full = nullptr;
  ASSERT_EQ(kd_image_decode_buffer(file.data(), file.size(), KD_FORMAT_AUTO, &full), 0);
  EXPECT_EQ(kd_image_width(full), 800);
  kd_image_free(full);
  // No EXIF block (PNG), or an EXIF block cut before its preview: status 4.
  const std::vector<uint8_t> png = sample("sunset.png");
  KdImage* none = nullptr;
  EXPECT_EQ(kd_image_thumbnail(png.data(), png.size(), &none), 4);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(kd_image_thumbnail(file.data(), 3000, &none), 4);
}

TEST(ImageEncodeJpeg, QualityIsClampedAndRgbaRefused) {
  std::vector<uint8_t> px(16 * 16 * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 13);
  KdImage* img = nullptr;
  ASSERT_EQ(kd_image_from_pixels(16, 16, KD_CS_RGB, px.data(), px.size(), &img), 0);
  auto encode = [&](int quality) {
    uint8_t* buf = nullptr;
    size_t len = 0;
    EXPECT_EQ(kd_image_encode(img, KD_FORMAT_JPEG, quality, &buf, &len), 0);
    std::vector<uint8_t> out(buf, buf + len);
    kd_image_buffer_free(buf);
    return out;
  };
  EXPECT_EQ(encode(0), encode(1));
  EXPECT_EQ(encode(-5), encode(1));
  EXPECT_EQ(encode(1000), encode(100));
  EXPECT_NE(encode(1), encode(100));
  const std::vector<uint8_t> file = encode(90);
  KdImage* back = nullptr;
  ASSERT_EQ(kd_image_decode_buffer(file.data(), file.size(), KD_FORMAT_JPEG, &back), 0);
  EXPECT_EQ(kd_image_width(back), 16);
  kd_image_free(back);
  kd_image_free(img);
  std::vector<uint8_t> rgba(4 * 4 * 4, 9);
  ASSERT_EQ(kd_image_from_pixels(4, 4, KD_CS_RGBA, rgba.data(), rgba.size(), &img), 0);
  uint8_t* buf = nullptr;
  size_t len = 0;
  EXPECT_EQ(kd_image_encode(img, KD_FORMAT_JPEG, 90, &buf, &len), 4);
  EXPECT_EQ(buf, nullptr);
  kd_image_free(img);
}

}  // namespace
