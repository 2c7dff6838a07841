// kd_image_decode_ex, kd_image_thumbnail_ex, kd_image_probe: the plain
// decode unchanged without flags, probes that agree with decodes, failure
// texts, the pixel limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "keldra/keldra.h"
#include "support/testdata.h"

namespace {

struct Decoded {
  int status = -1;
  int width = 0, height = 0, channels = 0, colorspace = 0;
  std::vector<uint8_t> pixels;
  std::string message;
};

bool operator==(const Decoded& a, const Decoded& b) {
  return a.status == b.status && a.width == b.width && a.height == b.height &&
         a.channels == b.channels && a.colorspace == b.colorspace && a.pixels == b.pixels;
}

Decoded collect(int status, KdImage* img, const char* message) {
  Decoded d;
  d.status = status;
  d.message = message;
  if (img == nullptr) return d;
  d.width = kd_image_width(img);
  d.height = kd_image_height(img);
  d.channels = kd_image_channels(img);
  d.colorspace = kd_image_get_colorspace(img);
  const uint8_t* p = nullptr;
  size_t len = 0;
  EXPECT_EQ(kd_image_pixels(img, &p, &len), 0);
  d.pixels.assign(p, p + len);
  kd_image_free(img);
  return d;
}

Decoded decodeEx(const std::vector<uint8_t>& data, int format, uint32_t flags,
                 uint64_t maxPixels = 0, size_t messageSize = 256) {
  std::vector<char> text(messageSize + 1, 'x');
  KdDecodeOpts opts{sizeof(KdDecodeOpts), flags, maxPixels, text.data(), messageSize};
  KdImage* img = nullptr;
  const int status = kd_image_decode_ex(data.data(), data.size(), format, &opts, &img);
  return collect(status, img, messageSize == 0 ? "" : text.data());
}

Decoded decodePlain(const std::vector<uint8_t>& data, int format) {
  KdImage* img = nullptr;
  const int status = kd_image_decode_buffer(data.data(), data.size(), format, &img);
  return collect(status, img, "");
}

// The decoder kd_image_decode_buffer is asked for, by folder.
int formatOf(const std::string& name) {
  if (name.rfind("codec/tga/", 0) == 0) return KD_FORMAT_TGA;
  if (name.rfind("codec/webp/", 0) == 0) return KD_FORMAT_WEBP;
  if (name.rfind("codec/tiff/", 0) == 0) return KD_FORMAT_TIFF;
  return KD_FORMAT_AUTO;
}

std::vector<std::string> codecFiles() {
  std::vector<std::string> all;
  for (const char* folder : {"codec/bmp", "codec/gif", "codec/jpeg", "codec/pcx", "codec/png",
                             "codec/pnm", "codec/qoi", "codec/tga", "codec/tiff", "codec/webp"}) {
    for (const std::string& name : kd::test::listTestdata(folder)) all.push_back(name);
  }
  return all;
}

TEST(DecodeEx, WithoutFlagsGivesThePlainDecodeForEveryFile) {
  size_t compared = 0;
  for (const std::string& name : codecFiles()) {
    const std::vector<uint8_t> data = kd::test::readTestdata(name);
    const int format = formatOf(name);
    const Decoded plain = decodePlain(data, format);
    const Decoded ex = decodeEx(data, format, 0);
    EXPECT_TRUE(plain == ex) << name << ": status " << plain.status << " vs " << ex.status;
    EXPECT_EQ(ex.message.empty(), ex.status == 0) << name << ": " << ex.message;
    KdImage* img = nullptr;
    EXPECT_EQ(kd_image_decode_ex(data.data(), data.size(), format, nullptr, &img), plain.status);
    kd_image_free(img);
    ++compared;
  }
  EXPECT_GT(compared, 200u);
}

// TGA is never detected from content, so its files are not probed.
TEST(ImageProbe, AgreesWithTheWideDecodeOfEveryDecodableFile) {
  size_t compared = 0;
  for (const std::string& name : codecFiles()) {
    if (formatOf(name) == KD_FORMAT_TGA) continue;
    const std::vector<uint8_t> data = kd::test::readTestdata(name);
    const Decoded wide = decodeEx(data, formatOf(name), KD_DECODE_WIDE);
    if (wide.status != 0) continue;
    KdImageInfo info{};
    info.size = sizeof info;
    char text[128];
    ASSERT_EQ(kd_image_probe(data.data(), data.size(), &info, text, sizeof text), 0)
        << name << ": " << text;
    EXPECT_STREQ(text, "");
    EXPECT_EQ(info.width, wide.width) << name;
    EXPECT_EQ(info.height, wide.height) << name;
    EXPECT_EQ(info.channels, wide.channels) << name;
    EXPECT_EQ(info.colorspace, wide.colorspace) << name;
    ++compared;
  }
  EXPECT_GT(compared, 100u);  // the bundled files alone give over 100
}

TEST(DecodeEx, HandsTheDecodersMessageToTheCaller) {
  const std::vector<uint8_t> text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
  EXPECT_EQ(decodeEx(text, KD_FORMAT_AUTO, 0).message, "decodeImage: unrecognized format");
  EXPECT_EQ(decodeEx(text, KD_FORMAT_AUTO, 0).status, 4);
  const std::vector<uint8_t> gif = kd::test::readTestdata("codec/gif/igif_2x2.gif");
  const std::vector<uint8_t> cut(gif.begin(), gif.begin() + 20);
  const Decoded truncated = decodeEx(cut, KD_FORMAT_AUTO, 0);
  EXPECT_EQ(truncated.status, 2);
  EXPECT_EQ(truncated.message.rfind("gif: ", 0), 0u) << truncated.message;
  // Truncated to the buffer, NUL-terminated; no buffer is fine too.
  EXPECT_EQ(decodeEx(text, KD_FORMAT_AUTO, 0, 0, 6).message, "decod");
  EXPECT_EQ(decodeEx(text, KD_FORMAT_AUTO, 0, 0, 0).status, 4);
  EXPECT_EQ(decodeEx(text, 77, 0).message, "decode: unknown format code");
  EXPECT_EQ(decodeEx(text, KD_FORMAT_AUTO, 0x80).message, "decode: unknown flags");
}

TEST(DecodeEx, RefusesARecordTooSmallToHoldItsFlags) {
  const std::vector<uint8_t> gif = kd::test::readTestdata("codec/gif/igif_2x2.gif");
  KdImage* img = reinterpret_cast<KdImage*>(uintptr_t{0x1234});
  KdDecodeOpts opts{4, 0, 0, nullptr, 0};
  EXPECT_EQ(kd_image_decode_ex(gif.data(), gif.size(), 0, &opts, &img), 2);
  EXPECT_EQ(img, nullptr);
  // A record of an older caller that ends before the limit reads it as 0.
  opts = {8, 0, 1, nullptr, 0};
  ASSERT_EQ(kd_image_decode_ex(gif.data(), gif.size(), 0, &opts, &img), 0);
  kd_image_free(img);
  EXPECT_EQ(kd_image_thumbnail_ex(gif.data(), gif.size(), &opts, &img), 4);
}

// A PNG whose header declares 16384 x 16384 pixels, with no pixel data.
std::vector<uint8_t> bigPngHeader() {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13,
                              'I', 'H', 'D', 'R', 0, 0, 0x40, 0, 0, 0, 0x40, 0,
                              8, 6, 0, 0, 0, 0, 0, 0, 0};
  return png;
}

TEST(DecodeEx, PixelLimitRefusesTheDeclaredSizeBeforeDecoding) {
  const Decoded big = decodeEx(bigPngHeader(), KD_FORMAT_AUTO, KD_DECODE_WIDE, 1u << 26);
  EXPECT_EQ(big.status, 2);
  EXPECT_EQ(big.message, "png: 268435456 pixels exceed the limit of 67108864");
  // The limit is inclusive, for every format (a limit of 0 is no limit).
  size_t limited = 0;
  for (const std::string& name : codecFiles()) {
    const std::vector<uint8_t> data = kd::test::readTestdata(name);
    const Decoded whole = decodeEx(data, formatOf(name), KD_DECODE_WIDE);
    if (whole.status != 0) continue;
    const uint64_t pixels = uint64_t(whole.width) * whole.height;
    EXPECT_TRUE(decodeEx(data, formatOf(name), KD_DECODE_WIDE, pixels) == whole) << name;
    const Decoded refused = decodeEx(data, formatOf(name), KD_DECODE_WIDE, pixels - 1);
    EXPECT_EQ(refused.status, pixels > 1 ? 2 : 0) << name;
    if (pixels > 1) {
      EXPECT_NE(refused.message.find(" pixels exceed the limit of " + std::to_string(pixels - 1)),
                std::string::npos)
          << name << ": " << refused.message;
    }
    ++limited;
  }
  EXPECT_GT(limited, 100u);
  EXPECT_NE(decodeEx(bigPngHeader(), KD_FORMAT_AUTO, 0).message.find("png: "), std::string::npos);
}

TEST(ImageProbe, ChecksItsRecordAndReportsTheFailure) {
  const std::vector<uint8_t> png = bigPngHeader();
  KdImageInfo info{};
  EXPECT_EQ(kd_image_probe(png.data(), png.size(), &info, nullptr, 0), 2);
  info.size = sizeof info;
  ASSERT_EQ(kd_image_probe(png.data(), png.size(), &info, nullptr, 0), 0);
  EXPECT_EQ(info.format, KD_FORMAT_PNG);
  EXPECT_EQ(info.width, 16384);
  EXPECT_EQ(info.channels, 4);
  char text[64];
  const std::vector<uint8_t> cut(png.begin(), png.begin() + 20);
  EXPECT_EQ(kd_image_probe(cut.data(), cut.size(), &info, text, sizeof text), 2);
  EXPECT_STREQ(text, "png: chunk truncated");
  EXPECT_EQ(info.width, 0);
}

}  // namespace
