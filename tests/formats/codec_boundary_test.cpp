// The simple codecs through the C functions: format codes, statuses and
// round trips of every accepted colour space.
#include <cstring>

#include "codec_support.h"
#include "keldra/keldra.h"

namespace kd::formats::test {
namespace {

struct Handle {
  KdImage* img = nullptr;
  ~Handle() { kd_image_free(img); }
};

int encodeWith(KdImage* img, int format, Bytes& out) {
  uint8_t* buf = nullptr;
  size_t len = 0;
  const int st = kd_image_encode(img, format, 90, &buf, &len);
  if (st == KD_IMAGE_OK) out.assign(buf, buf + len);
  kd_image_buffer_free(buf);
  return st;
}

TEST(CodecBoundary, EveryEncoderRoundTripsItsColourSpaces) {
  struct Case {
    int format;
    int colorspace;
    int decodeAs;
    bool keepsAlpha;
  };
  const Case cases[] = {
      {KD_FORMAT_BMP, KD_CS_RGB, KD_FORMAT_AUTO, true},
      {KD_FORMAT_BMP, KD_CS_RGBA, KD_FORMAT_AUTO, false},
      {KD_FORMAT_QOI, KD_CS_RGB, KD_FORMAT_QOI, true},
      {KD_FORMAT_QOI, KD_CS_RGBA, KD_FORMAT_AUTO, true},
      {KD_FORMAT_PNM, KD_CS_GRAY, KD_FORMAT_PNM, true},
      {KD_FORMAT_PNM, KD_CS_RGB, KD_FORMAT_AUTO, true},
      {KD_FORMAT_TGA, KD_CS_GRAY, KD_FORMAT_TGA, true},
      {KD_FORMAT_TGA, KD_CS_RGB, KD_FORMAT_TGA, true},
      {KD_FORMAT_TGA, KD_CS_RGBA, KD_FORMAT_TGA, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << " cs " << c.colorspace);
    const Image src = testPicture(17, 9, static_cast<ColorSpace>(c.colorspace), 5);
    Handle in;
    ASSERT_EQ(kd_image_from_pixels(17, 9, c.colorspace, src.pixels.data(), src.pixels.size(),
                                   &in.img),
              KD_IMAGE_OK);
    Bytes file;
    ASSERT_EQ(encodeWith(in.img, c.format, file), KD_IMAGE_OK);
    Handle back;
    ASSERT_EQ(kd_image_decode_buffer(file.data(), file.size(), c.decodeAs, &back.img), KD_IMAGE_OK);
    EXPECT_EQ(kd_image_width(back.img), 17);
    EXPECT_EQ(kd_image_height(back.img), 9);
    EXPECT_EQ(kd_image_get_colorspace(back.img), c.colorspace);
    const uint8_t* px = nullptr;
    size_t len = 0;
    ASSERT_EQ(kd_image_pixels(back.img, &px, &len), KD_IMAGE_OK);
    ASSERT_EQ(len, src.pixels.size());
    Bytes expect = src.pixels;
    if (!c.keepsAlpha) {
      for (size_t i = 3; i < expect.size(); i += 4) expect[i] = 255;
    }
    EXPECT_EQ(Bytes(px, px + len), expect);
  }
}

TEST(CodecBoundary, RefusedColourSpacesAndUndetectedFormats) {
  const uint8_t grey[4] = {1, 2, 3, 4};
  Handle g;
  ASSERT_EQ(kd_image_from_pixels(2, 2, KD_CS_GRAY, grey, 4, &g.img), KD_IMAGE_OK);
  Bytes out;
  EXPECT_EQ(encodeWith(g.img, KD_FORMAT_BMP, out), KD_IMAGE_EUNSUPPORTED);
  EXPECT_EQ(encodeWith(g.img, KD_FORMAT_QOI, out), KD_IMAGE_EUNSUPPORTED);
  Handle other;
  ASSERT_EQ(kd_image_from_pixels(2, 2, KD_CS_OTHER1, grey, 4, &other.img), KD_IMAGE_OK);
  EXPECT_EQ(encodeWith(other.img, KD_FORMAT_PNM, out), KD_IMAGE_EUNSUPPORTED);
  EXPECT_EQ(encodeWith(other.img, KD_FORMAT_TGA, out), KD_IMAGE_EUNSUPPORTED);

  // A TGA file is never detected; named as format 8 it decodes.
  ASSERT_EQ(encodeWith(g.img, KD_FORMAT_TGA, out), KD_IMAGE_OK);
  Handle h;
  EXPECT_EQ(kd_image_decode_buffer(out.data(), out.size(), KD_FORMAT_PNG, &h.img),
            KD_IMAGE_EUNSUPPORTED);
  EXPECT_EQ(h.img, nullptr);
  EXPECT_EQ(kd_image_decode_buffer(out.data(), out.size(), KD_FORMAT_TGA, &h.img), KD_IMAGE_OK);
  // A QOI file named as TGA runs the TGA decoder: image type 'i' (0x69) is
  // not a TGA type.
  const Bytes qoi = bytesOf(std::string("qoif\0\0\0\1\0\0\0\1\3\0\xFE\1\2\3", 18));
  Handle t;
  EXPECT_EQ(kd_image_decode_buffer(qoi.data(), qoi.size(), KD_FORMAT_TGA, &t.img),
            KD_IMAGE_EUNSUPPORTED);
  EXPECT_EQ(kd_image_decode_buffer(qoi.data(), qoi.size(), KD_FORMAT_AUTO, &t.img), KD_IMAGE_OK);
  // Truncation and malformed data map to status 2, unsupported features to 4.
  Handle u;
  EXPECT_EQ(kd_image_decode_buffer(qoi.data(), 16, KD_FORMAT_AUTO, &u.img), KD_IMAGE_EARG);
  const Bytes pcx4 = [] {
    Bytes b(130, 0);
    b[0] = 0x0A;
    b[1] = 5;
    b[3] = 4;  // 4 bits in one plane
    b[65] = 1;
    b[66] = 1;
    return b;
  }();
  EXPECT_EQ(kd_image_decode_buffer(pcx4.data(), pcx4.size(), KD_FORMAT_AUTO, &u.img),
            KD_IMAGE_EUNSUPPORTED);
}

}  // namespace
}  // namespace kd::formats::test
