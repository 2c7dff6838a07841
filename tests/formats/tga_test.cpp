#include <stb/stb_image.h>

#include <set>

#include "codec_support.h"

namespace kd::formats::test {
namespace {

struct TgaSpec {
  uint8_t idLength = 0;
  uint8_t colorMapType = 0;
  uint8_t imageType = 2;
  uint16_t firstEntry = 0;
  uint16_t mapLength = 0;
  uint8_t mapEntryBits = 0;
  uint16_t width = 2;
  uint16_t height = 2;
  uint8_t depth = 24;
  uint8_t descriptor = 0;
  Bytes map;
  Bytes data;
};

Bytes tgaFile(const TgaSpec& s) {
  ByteWriter w;
  w.u8(s.idLength).u8(s.colorMapType).u8(s.imageType).u16le(s.firstEntry).u16le(s.mapLength);
  w.u8(s.mapEntryBits).u16le(0).u16le(0).u16le(s.width).u16le(s.height).u8(s.depth);
  w.u8(s.descriptor).fill(s.idLength, 'i').raw(s.map).raw(s.data);
  return w.b;
}

Failure tgaFailure(const Bytes& file) { return failureOf([&] { return decodeTga(viewOf(file)); }); }
Image tga(const TgaSpec& s) { return decodeTga(viewOf(tgaFile(s))); }

TEST(TgaDecode, RowOrderFollowsDescriptorBitFive) {
  TgaSpec s;
  s.width = 1;
  s.height = 2;
  s.data = {1, 2, 3, 4, 5, 6};  // B, G, R of the first and second stored row
  EXPECT_EQ(tga(s).pixels, (Bytes{6, 5, 4, 3, 2, 1}));  // last stored row on top
  s.descriptor = 0x20;
  EXPECT_EQ(tga(s).pixels, (Bytes{3, 2, 1, 6, 5, 4}));
  // The right-to-left bit and the alpha bits are not honoured.
  s.descriptor = 0x3F;
  EXPECT_EQ(tga(s).pixels, (Bytes{3, 2, 1, 6, 5, 4}));
}

TEST(TgaDecode, TrueColourGreyAndIdField) {
  TgaSpec rgba;
  rgba.width = 1;
  rgba.height = 1;
  rgba.depth = 32;
  rgba.idLength = 5;
  rgba.data = {1, 2, 3, 4};
  const Image a = tga(rgba);
  EXPECT_EQ(a.colorspace, csRgba);
  EXPECT_EQ(a.pixels, (Bytes{3, 2, 1, 4}));

  TgaSpec grey;
  grey.imageType = 3;
  grey.depth = 8;
  grey.width = 3;
  grey.height = 1;
  grey.data = {9, 8, 7};
  const Image g = tga(grey);
  EXPECT_EQ(g.colorspace, csGray);
  EXPECT_EQ(g.pixels, (Bytes{9, 8, 7}));
}

TEST(TgaDecode, ColourMapWithFirstEntryIndex) {
  TgaSpec s;
  s.colorMapType = 1;
  s.imageType = 1;
  s.firstEntry = 16;
  s.mapLength = 2;
  s.mapEntryBits = 24;
  s.depth = 8;
  s.width = 2;
  s.height = 1;
  s.descriptor = 0x20;
  s.map = {1, 2, 3, 4, 5, 6};
  s.data = {17, 16};
  const Image img = tga(s);
  EXPECT_EQ(img.colorspace, csRgb);
  EXPECT_EQ(img.pixels, (Bytes{6, 5, 4, 3, 2, 1}));
  s.data = {16, 15};
  EXPECT_EQ(tgaFailure(tgaFile(s)), (Failure{"tga: palette index out of range", ekInvalid}));
  s.data = {18, 16};
  EXPECT_EQ(tgaFailure(tgaFile(s)), (Failure{"tga: palette index out of range", ekInvalid}));

  s.mapEntryBits = 32;
  s.map = {1, 2, 3, 4, 5, 6, 7, 8};
  s.data = {16, 17};
  const Image rgba = tga(s);
  EXPECT_EQ(rgba.colorspace, csRgba);
  EXPECT_EQ(rgba.pixels, (Bytes{3, 2, 1, 4, 7, 6, 5, 8}));
}

TEST(TgaDecode, RunLengthPacketsCrossRows) {
  TgaSpec s;
  s.imageType = 11;
  s.depth = 8;
  s.width = 3;
  s.height = 2;
  s.descriptor = 0x20;
  // Repeat 4 x 7, then 2 literals 1, 2: the repeat crosses the row end.
  s.data = {0x83, 7, 0x01, 1, 2};
  EXPECT_EQ(tga(s).pixels, (Bytes{7, 7, 7, 7, 1, 2}));
  s.descriptor = 0;
  EXPECT_EQ(tga(s).pixels, (Bytes{7, 1, 2, 7, 7, 7}));

  // A literal packet crossing the row end, in a colour-mapped RLE file.
  TgaSpec p;
  p.colorMapType = 1;
  p.imageType = 9;
  p.mapLength = 3;
  p.mapEntryBits = 24;
  p.depth = 8;
  p.width = 2;
  p.height = 2;
  p.descriptor = 0x20;
  p.map = {0, 0, 10, 0, 0, 20, 0, 0, 30};
  p.data = {0x02, 0, 1, 2, 0x80, 1};
  EXPECT_EQ(tga(p).pixels, (Bytes{10, 0, 0, 20, 0, 0, 30, 0, 0, 20, 0, 0}));
}

TEST(TgaRejects, EachFailureWithItsMessage) {
  TgaSpec good;
  good.data.assign(12, 0);
  ASSERT_EQ(tgaFailure(tgaFile(good)).message, "decoded");
  auto with = [&](auto change) {
    TgaSpec s = good;
    change(s);
    return tgaFailure(tgaFile(s));
  };
  TgaSpec mapped;
  mapped.colorMapType = 1;
  mapped.imageType = 1;
  mapped.mapLength = 2;
  mapped.mapEntryBits = 24;
  mapped.map.assign(6, 0);
  mapped.depth = 8;
  mapped.data.assign(4, 0);
  ASSERT_EQ(tgaFailure(tgaFile(mapped)).message, "decoded");
  auto mappedWith = [&](auto change) {
    TgaSpec s = mapped;
    change(s);
    return tgaFailure(tgaFile(s));
  };

  EXPECT_EQ(tgaFailure(Bytes(17, 0)), (Failure{"tga: header truncated", ekTruncated}));
  for (uint8_t type : {0, 4, 8, 12, 32, 0x81}) {
    EXPECT_EQ(with([type](TgaSpec& s) { s.imageType = type; }),
              (Failure{"tga: unsupported image type", ekUnsupported}));
  }
  EXPECT_EQ(with([](TgaSpec& s) { s.width = 0; }), (Failure{"tga: bad dimensions", ekInvalid}));
  EXPECT_EQ(with([](TgaSpec& s) { s.height = 0; }), (Failure{"tga: bad dimensions", ekInvalid}));
  EXPECT_EQ(with([](TgaSpec& s) {
              s.width = 65535;
              s.height = 16385;
            }),
            (Failure{"tga: too many pixels", ekInvalid}));
  EXPECT_EQ(mappedWith([](TgaSpec& s) { s.colorMapType = 0; }),
            (Failure{"tga: color-mapped image has no color map", ekInvalid}));
  for (uint8_t bits : {15, 16, 8, 0}) {
    EXPECT_EQ(mappedWith([bits](TgaSpec& s) { s.mapEntryBits = bits; }),
              (Failure{"tga: palette must be 24/32-bit", ekUnsupported}));
  }
  EXPECT_EQ(mappedWith([](TgaSpec& s) {
              s.map.resize(5);
              s.data.clear();
            }),
            (Failure{"tga: color map truncated", ekTruncated}));
  EXPECT_EQ(mappedWith([](TgaSpec& s) { s.depth = 16; }),
            (Failure{"tga: index depth must be 8", ekUnsupported}));
  EXPECT_EQ(with([](TgaSpec& s) { s.colorMapType = 1; }),
            (Failure{"tga: color map present but image is not color-mapped", ekInvalid}));
  EXPECT_EQ(with([](TgaSpec& s) {
              s.imageType = 3;
              s.colorMapType = 1;
            }),
            (Failure{"tga: color map present but image is not color-mapped", ekInvalid}));
  EXPECT_EQ(with([](TgaSpec& s) {
              s.imageType = 3;
              s.depth = 16;
            }),
            (Failure{"tga: grayscale depth must be 8", ekUnsupported}));
  for (uint8_t depth : {15, 16, 8, 0}) {
    EXPECT_EQ(with([depth](TgaSpec& s) { s.depth = depth; }),
              (Failure{"tga: 16-bit truecolor unsupported", ekUnsupported}));
  }
  EXPECT_EQ(mappedWith([](TgaSpec& s) { s.data.pop_back(); }),
            (Failure{"tga: index truncated", ekTruncated}));
  EXPECT_EQ(with([](TgaSpec& s) { s.data.pop_back(); }),
            (Failure{"tga: pixel truncated", ekTruncated}));
  // A bad index before the cut is reported, not the cut.
  EXPECT_EQ(mappedWith([](TgaSpec& s) { s.data = {0, 5, 0}; }),
            (Failure{"tga: palette index out of range", ekInvalid}));
  // An ID field longer than the file.
  EXPECT_EQ(with([](TgaSpec& s) {
              s.idLength = 200;
              s.data.clear();
            }),
            (Failure{"tga: pixel truncated", ekTruncated}));

  const std::pair<Bytes, Failure> rle[] = {
      {{}, {"tga: RLE stream truncated", ekTruncated}},
      {{0x80, 1, 2, 3}, {"tga: RLE stream truncated", ekTruncated}},
      {{0x84, 1, 2, 3}, {"tga: RLE exceeds image", ekInvalid}},
      {{0x04, 1, 2, 3}, {"tga: RLE exceeds image", ekInvalid}},
      {{0x81, 1, 2}, {"tga: pixel truncated", ekTruncated}},
      {{0x01, 1, 2, 3, 4, 5}, {"tga: pixel truncated", ekTruncated}},
  };
  for (const auto& [data, expect] : rle) {
    EXPECT_EQ(with([&data = data](TgaSpec& s) {
                s.imageType = 10;
                s.data = data;
              }),
              expect);
    // The same stream under a header announcing 2^30 pixels fails the same
    // way, except for the packet that passed the small picture's end.
    if (expect.kind == ekTruncated) {
      EXPECT_EQ(with([&data = data](TgaSpec& s) {
                  s.imageType = 10;
                  s.width = 32768;
                  s.height = 32768;
                  s.data = data;
                }),
                expect);
    }
  }
  EXPECT_EQ(mappedWith([](TgaSpec& s) {
              s.imageType = 9;
              s.data = {0x81, 1, 0x01, 0, 9};
            }),
            (Failure{"tga: palette index out of range", ekInvalid}));
  EXPECT_EQ(mappedWith([](TgaSpec& s) {
              s.imageType = 9;
              s.data = {0x83};
            }),
            (Failure{"tga: index truncated", ekTruncated}));
}

TEST(TgaEncode, HeadersAndRoundTrips) {
  Image one = newImage(1, 1, csRgba);
  one.pixels = {1, 2, 3, 4};
  const Bytes out = encodeTga(one);
  TgaSpec expect;
  expect.width = 1;
  expect.height = 1;
  expect.depth = 32;
  expect.data = {3, 2, 1, 4};
  EXPECT_EQ(out, tgaFile(expect));
  EXPECT_EQ(out.size(), 22u);

  for (ColorSpace cs : {csGray, csRgb, csRgba}) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{1, 1}, {17, 9}}) {
      const Image img = testPicture(w, h, cs);
      const Bytes file = encodeTga(img);
      EXPECT_EQ(file[2], cs == csGray ? 3 : 2);
      EXPECT_EQ(file[17], 0);
      const Image back = decodeTga(viewOf(file));
      EXPECT_EQ(back.colorspace, cs);
      EXPECT_EQ(back.pixels, img.pixels);
    }
  }
  for (ColorSpace cs : {csCmyk, csOther3, csOther1}) {
    EXPECT_EQ(failureOf([&] { return encodeTga(newImage(1, 1, cs)); }),
              (Failure{"tga: encode needs csRgb, csRgba, or csGray", ekUnsupported}));
  }
  Image wide;
  wide.width = 65536;
  wide.height = 1;
  wide.colorspace = csGray;
  wide.channels = 1;
  EXPECT_EQ(failureOf([&] { return encodeTga(wide); }),
            (Failure{"tga: dimensions exceed the 16-bit header fields", ekInvalid}));
}

// Every test TGA either decodes to stb_image's pixels or fails with one of
// the decoder's messages.
TEST(TgaPeer, SharedFilesMatchStbImage) {
  ASSERT_TRUE(kd::test::toolInstalled("convert-im6.q16", "imagemagick"));
  int decoded = 0;
  for (const std::string& rel : listTestdataBoth("codec/tga", "malformed/tga")) {
    SCOPED_TRACE(rel);
    const Bytes file = kd::test::readTestdata(rel);
    Image img;
    try {
      img = decodeTga(viewOf(file));
    } catch (const KeldraException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("tga: ", 0), 0u) << e.what();
      continue;
    }
    ++decoded;
    const bool firstEntryNotZero = file[1] == 1 && (file[3] | file[4]) != 0;
    if (firstEntryNotZero) {
      // stb_image skips first-entry bytes instead of shifting the indices;
      // ImageMagick reads such colour maps as the format defines them.
      EXPECT_EQ(rgbOf(img), magickRgb(kd::test::testdataPath(rel), img.width, img.height));
      continue;
    }
    int w = 0, h = 0, n = 0;
    stbi_uc* peer = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n,
                                          static_cast<int>(img.channels));
    ASSERT_NE(peer, nullptr) << stbi_failure_reason();
    ASSERT_EQ(w, img.width);
    ASSERT_EQ(h, img.height);
    EXPECT_EQ(img.pixels, Bytes(peer, peer + img.pixels.size()));
    stbi_image_free(peer);
  }
  EXPECT_GE(decoded, 15);
}

TEST(TgaPeer, NamedFilesFailForTheirReason) {
  const std::pair<const char*, Failure> cases[] = {
      {"codec/tga/irs_utc16.tga", {"tga: 16-bit truecolor unsupported", ekUnsupported}},
      {"codec/tga/pil_p_16.tga", {"tga: palette must be 24/32-bit", ekUnsupported}},
      {"malformed/tga/irs_flip-zero-height2.tga", {"tga: unsupported image type", ekUnsupported}},
      {"malformed/tga/pil_cross_scan_line_truncated.tga", {"tga: index truncated", ekTruncated}},
  };
  for (const auto& [rel, expect] : cases) {
    EXPECT_EQ(tgaFailure(kd::test::readTestdata(rel)), expect) << rel;
  }
}

}  // namespace
}  // namespace kd::formats::test
