#include <stb/stb_image.h>

#include <algorithm>
#include <map>
#include <set>

#include "codec_support.h"
#include "support/testdata.h"

namespace kd::formats::test {
namespace {

struct BmpSpec {
  int32_t width = 2;
  int32_t height = 2;
  uint16_t bpp = 24;
  uint16_t planes = 1;
  uint32_t compression = 0;
  uint32_t dibSize = 40;
  uint32_t colorsUsed = 0;
  Bytes palette;  // B, G, R, X entries
  Bytes pixels;   // padded rows as stored
  int64_t offsetDelta = 0;  // added to the natural pixel offset (no bytes are added)
};

Bytes bmpFile(const BmpSpec& s) {
  const uint32_t offset =
      static_cast<uint32_t>(14 + s.dibSize + s.palette.size() + s.offsetDelta);
  ByteWriter w;
  w.text("BM").u32le(0).u32le(0).u32le(offset);
  w.u32le(s.dibSize).u32le(static_cast<uint32_t>(s.width)).u32le(static_cast<uint32_t>(s.height));
  w.u16le(s.planes).u16le(s.bpp).u32le(s.compression).u32le(0).u32le(2835).u32le(2835);
  w.u32le(s.colorsUsed).u32le(0);
  if (s.dibSize > 40) w.fill(s.dibSize - 40, 0);
  w.raw(s.palette);
  w.raw(s.pixels);
  return w.b;
}

Failure bmpFailure(const Bytes& file) { return failureOf([&] { return decodeBmp(viewOf(file)); }); }

// 2 x 2, 24-bit: top row red, green; bottom row blue, white.
Bytes rgbRows(bool topDown) {
  const Bytes top = {0, 0, 255, 0, 255, 0, 0, 0};       // B G R, B G R, 2 padding
  const Bytes bottom = {255, 0, 0, 255, 255, 255, 0, 0};
  Bytes rows = topDown ? top : bottom;
  const Bytes& second = topDown ? bottom : top;
  rows.insert(rows.end(), second.begin(), second.end());
  return rows;
}

TEST(BmpDecode, BottomUpAndTopDownRowsGiveTheSameImage) {
  BmpSpec up;
  up.pixels = rgbRows(false);
  BmpSpec down = up;
  down.height = -2;
  down.pixels = rgbRows(true);
  const Image a = decodeBmp(viewOf(bmpFile(up)));
  const Image b = decodeBmp(viewOf(bmpFile(down)));
  EXPECT_EQ(a.colorspace, csRgb);
  EXPECT_EQ(a.width, 2);
  EXPECT_EQ(a.height, 2);
  const Bytes expect = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  EXPECT_EQ(a.pixels, expect);
  EXPECT_EQ(b.pixels, expect);
}

TEST(BmpDecode, ThirtyTwoBitAlphaIsAlwaysOpaque) {
  BmpSpec s;
  s.width = 1;
  s.height = 1;
  s.bpp = 32;
  s.pixels = {10, 20, 30, 0};
  const Image img = decodeBmp(viewOf(bmpFile(s)));
  EXPECT_EQ(img.colorspace, csRgba);
  EXPECT_EQ(img.pixels, (Bytes{30, 20, 10, 255}));
}

TEST(BmpDecode, PackedIndicesAreMostSignificantFirst) {
  // 1-bit: 10 pixels 1,0,1,1,0,0,0,1 | 1,0 -> bytes 0xB1 0x80, padded to 4.
  BmpSpec mono;
  mono.width = 10;
  mono.height = 1;
  mono.bpp = 1;
  mono.palette = {0, 0, 0, 0, 255, 255, 255, 0};
  mono.pixels = {0xB1, 0x80, 0, 0};
  const Image m = decodeBmp(viewOf(bmpFile(mono)));
  ASSERT_EQ(m.colorspace, csRgba);
  const int bits[10] = {1, 0, 1, 1, 0, 0, 0, 1, 1, 0};
  for (int x = 0; x < 10; ++x) {
    EXPECT_EQ(m.pixels[4 * x], bits[x] ? 255 : 0) << x;
    EXPECT_EQ(m.pixels[4 * x + 3], 255);
  }

  // 4-bit: 3 pixels 2, 1, 3 -> bytes 0x21 0x30; palette entries BGR.
  BmpSpec nib;
  nib.width = 3;
  nib.height = 1;
  nib.bpp = 4;
  nib.palette = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
  nib.colorsUsed = 4;
  nib.pixels = {0x21, 0x30, 0, 0};
  EXPECT_EQ(decodeBmp(viewOf(bmpFile(nib))).pixels,
            (Bytes{9, 8, 7, 255, 6, 5, 4, 255, 12, 11, 10, 255}));
}

TEST(BmpDecode, ColorsUsedLimitsThePalette) {
  BmpSpec s;
  s.width = 3;
  s.height = 1;
  s.bpp = 8;
  s.colorsUsed = 2;
  s.palette = {0, 0, 0, 0, 9, 9, 9, 0};
  s.pixels = {0, 1, 1, 0};
  EXPECT_EQ(bmpFailure(bmpFile(s)).message, "decoded");
  s.pixels = {0, 1, 2, 0};
  EXPECT_EQ(bmpFailure(bmpFile(s)), (Failure{"bmp: palette index out of range", ekInvalid}));
  // A colours-used count above 2^bits does not enlarge the palette.
  s.colorsUsed = 1000;
  s.palette.resize(256 * 4);
  s.pixels = {0, 1, 255, 0};
  EXPECT_EQ(bmpFailure(bmpFile(s)).message, "decoded");
}

TEST(BmpDecode, LargerDibHeadersPutThePaletteAfterThem) {
  BmpSpec s;
  s.dibSize = 124;
  s.width = 1;
  s.height = 1;
  s.bpp = 8;
  s.colorsUsed = 1;
  s.palette = {30, 20, 10, 0};
  s.pixels = {0, 0, 0, 0};
  const Bytes file = bmpFile(s);
  ASSERT_EQ(file[138], 30);  // palette at 14 + 124
  EXPECT_EQ(decodeBmp(viewOf(file)).pixels, (Bytes{10, 20, 30, 255}));
}

TEST(BmpRejects, EachMalformedHeaderWithItsMessage) {
  BmpSpec good;
  good.pixels = rgbRows(false);
  const Bytes base = bmpFile(good);
  ASSERT_EQ(bmpFailure(base).message, "decoded");

  auto with = [&](auto change) {
    BmpSpec s = good;
    change(s);
    return bmpFailure(bmpFile(s));
  };
  EXPECT_EQ(bmpFailure(Bytes(base.begin(), base.begin() + 17)),
            (Failure{"bmp: header truncated", ekTruncated}));
  Bytes notBm = base;
  notBm[1] = 'A';
  EXPECT_EQ(bmpFailure(notBm), (Failure{"bmp: not a BM container", ekUnsupported}));
  EXPECT_EQ(with([](BmpSpec& s) { s.dibSize = 12; }),
            (Failure{"bmp: only BITMAPINFOHEADER-and-larger DIB headers are supported",
                     ekUnsupported}));
  EXPECT_EQ(bmpFailure(Bytes(base.begin(), base.begin() + 53)),
            (Failure{"bmp: DIB header truncated", ekTruncated}));
  EXPECT_EQ(with([](BmpSpec& s) { s.width = 0; }),
            (Failure{"bmp: width must be positive", ekInvalid}));
  EXPECT_EQ(with([](BmpSpec& s) { s.width = -2; }),
            (Failure{"bmp: width must be positive", ekInvalid}));
  EXPECT_EQ(with([](BmpSpec& s) { s.height = 0; }),
            (Failure{"bmp: height must be non-zero", ekInvalid}));
  EXPECT_EQ(with([](BmpSpec& s) { s.width = (1 << 30) + 1; }),
            (Failure{"bmp: dimensions too large", ekInvalid}));
  EXPECT_EQ(with([](BmpSpec& s) { s.height = -((1 << 30) + 1); }),
            (Failure{"bmp: dimensions too large", ekInvalid}));
  EXPECT_EQ(with([](BmpSpec& s) { s.height = INT32_MIN; }),
            (Failure{"bmp: dimensions too large", ekInvalid}));
  // Each side within 2^30 but more than 2^30 pixels in all.
  EXPECT_EQ(with([](BmpSpec& s) {
              s.width = 1 << 16;
              s.height = (1 << 14) + 1;
            }),
            (Failure{"bmp: dimensions too large", ekInvalid}));
  EXPECT_EQ(with([](BmpSpec& s) { s.planes = 2; }),
            (Failure{"bmp: planes must be 1", ekUnsupported}));
  EXPECT_EQ(with([](BmpSpec& s) { s.compression = 1; }),
            (Failure{"bmp: only BI_RGB (uncompressed) is supported", ekUnsupported}));
  for (uint16_t bpp : {0, 2, 16, 48}) {
    EXPECT_EQ(with([bpp](BmpSpec& s) { s.bpp = bpp; }),
              (Failure{"bmp: unsupported bpp", ekUnsupported}));
  }
  EXPECT_EQ(with([](BmpSpec& s) {
              s.bpp = 8;
              s.pixels.clear();
              s.palette.assign(200, 0);  // 50 of 256 entries
            }),
            (Failure{"bmp: palette truncated", ekTruncated}));
  EXPECT_EQ(with([](BmpSpec& s) { s.offsetDelta = -1; }),
            (Failure{"bmp: pixel offset overlaps header or palette", ekInvalid}));
  EXPECT_EQ(with([](BmpSpec& s) { s.pixels.pop_back(); }),
            (Failure{"bmp: pixel data truncated", ekTruncated}));
  // A pixel offset far beyond the input, and rows whose total overflows.
  Bytes farOffset = base;
  farOffset[13] = 0xFF;  // pixel offset 0xFF00003E
  EXPECT_EQ(bmpFailure(farOffset), (Failure{"bmp: pixel data truncated", ekTruncated}));
  EXPECT_EQ(with([](BmpSpec& s) {
              s.width = 1 << 30;
              s.height = 1;
              s.bpp = 32;
            }),
            (Failure{"bmp: pixel data truncated", ekTruncated}));
}

TEST(BmpRejects, EveryPrefixFailsTruncatedOrDecodes) {
  BmpSpec s;
  s.width = 5;
  s.height = 3;
  s.bpp = 8;
  s.palette.assign(1024, 7);
  s.pixels.assign(24, 1);
  const Bytes file = bmpFile(s);
  for (size_t n = 0; n + 1 < file.size(); ++n) {
    const Failure f = bmpFailure(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(n)));
    EXPECT_EQ(f.kind, ekTruncated) << n << " " << f;
  }
  EXPECT_EQ(bmpFailure(file).message, "decoded");
}

TEST(BmpEncode, OneByOneIsFiftyEightBytesWithTheFixedHeader) {
  Image img = newImage(1, 1, csRgb);
  img.pixels = {1, 2, 3};
  const Bytes out = encodeBmp(img);
  ByteWriter w;
  w.text("BM").u32le(58).u32le(0).u32le(54);
  w.u32le(40).u32le(1).u32le(1).u16le(1).u16le(24).u32le(0).u32le(4).u32le(2835).u32le(2835);
  w.u32le(0).u32le(0);
  w.u8(3).u8(2).u8(1).u8(0);
  EXPECT_EQ(out, w.b);
}

TEST(BmpEncode, RoundTripsRgbAndDropsAlpha) {
  for (auto [w, h] : {std::pair<int64_t, int64_t>{1, 1}, {17, 9}, {4, 3}, {3, 5}}) {
    const Image rgb = testPicture(w, h, csRgb);
    const Image back = decodeBmp(viewOf(encodeBmp(rgb)));
    EXPECT_EQ(back.colorspace, csRgb);
    EXPECT_EQ(back.pixels, rgb.pixels) << w << "x" << h;

    const Image rgba = testPicture(w, h, csRgba, 7);
    const Bytes file = encodeBmp(rgba);
    EXPECT_EQ(file[28], 32);
    const Image opaque = decodeBmp(viewOf(file));
    Bytes expect = rgba.pixels;
    for (size_t i = 3; i < expect.size(); i += 4) expect[i] = 255;
    EXPECT_EQ(opaque.pixels, expect);
    // The stored alpha byte is the image's own.
    EXPECT_EQ(file[54 + 3], rgba.pixels[static_cast<size_t>((h - 1) * w * 4 + 3)]);
  }
}

TEST(BmpEncode, RefusesOtherColourSpacesAndOversizedImages) {
  for (ColorSpace cs : {csGray, csCmyk, csOther3, csOther1}) {
    EXPECT_EQ(failureOf([&] { return encodeBmp(newImage(1, 1, cs)); }),
              (Failure{"bmp: encode needs csRgb or csRgba", ekUnsupported}));
  }
  Image huge;  // the sizes are checked before any sample is read
  huge.width = 1 << 16;
  huge.height = 1 << 16;
  huge.colorspace = csRgb;
  huge.channels = 3;
  EXPECT_EQ(failureOf([&] { return encodeBmp(huge); }),
            (Failure{"bmp: encoded size exceeds the 32-bit BMP fields", ekTooLarge}));
  huge.width = int64_t{1} << 40;
  huge.height = 1;
  EXPECT_EQ(failureOf([&] { return encodeBmp(huge); }).kind, ekTooLarge);
}

// Every test BMP either decodes to stb_image's pixels (32-bit alpha forced
// to 255) or fails with one of the decoder's messages.
TEST(BmpPeer, SharedFilesMatchStbImage) {
  const std::set<std::string> messages = {
      "bmp: only BITMAPINFOHEADER-and-larger DIB headers are supported",
      "bmp: only BI_RGB (uncompressed) is supported",
      "bmp: unsupported bpp",
      "bmp: palette truncated",
      "bmp: pixel data truncated",
      "bmp: pixel offset overlaps header or palette",
      "bmp: palette index out of range",
      "bmp: header truncated",
      "bmp: DIB header truncated",
      "bmp: width must be positive",
      "bmp: planes must be 1",
  };
  std::vector<std::string> files = listTestdataBoth("codec/bmp", "malformed/bmp");
  int decoded = 0;
  for (const std::string& rel : files) {
    SCOPED_TRACE(rel);
    const Bytes file = kd::test::readTestdata(rel);
    Image img;
    try {
      img = decodeBmp(viewOf(file));
    } catch (const KeldraException& e) {
      EXPECT_TRUE(messages.count(e.what())) << e.what();
      continue;
    }
    ++decoded;
    int w = 0, h = 0, n = 0;
    const int want = static_cast<int>(img.channels);
    stbi_uc* peer = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h,
                                          &n, want);
    if (peer == nullptr) {
      // stb_image refuses OS/2 2.x headers, oversized colour counts and
      // palettes it does not expect; the BMP suite stores the same pictures
      // as pal8.bmp and rgb24.bmp in those files.
      static const std::map<std::string, std::string> samePicture = {
          {"codec/bmp/mei_pal8os2v2-sz.bmp", "codec/bmp/mei_pal8.bmp"},
          {"codec/bmp/mei_pal8oversizepal.bmp", "codec/bmp/mei_pal8.bmp"},
          {"codec/bmp/mei_rgb24largepal.bmp", "codec/bmp/irs_rgb24.bmp"}};
      auto it = samePicture.find(rel);
      ASSERT_TRUE(it != samePicture.end()) << rel << ": " << stbi_failure_reason();
      const Bytes ref = kd::test::readTestdata(it->second);
      peer = stbi_load_from_memory(ref.data(), static_cast<int>(ref.size()), &w, &h, &n, want);
      ASSERT_NE(peer, nullptr);
    }
    ASSERT_EQ(w, img.width);
    ASSERT_EQ(h, img.height);
    const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
    size_t mismatches = 0;
    for (size_t i = 0; i < count * static_cast<size_t>(want); ++i) {
      const uint8_t expect = (want == 4 && i % 4 == 3) ? 255 : peer[i];
      mismatches += img.pixels[i] != expect;
    }
    EXPECT_EQ(mismatches, 0u);
    stbi_image_free(peer);
  }
  EXPECT_GE(decoded, 25);
}

TEST(BmpPeer, NamedFilesFailForTheirReason) {
  const std::pair<const char*, Failure> cases[] = {
      {"codec/bmp/irs_Core_1_Bit.bmp",
       {"bmp: only BITMAPINFOHEADER-and-larger DIB headers are supported", ekUnsupported}},
      {"codec/bmp/irs_pal8rle.bmp", {"bmp: only BI_RGB (uncompressed) is supported", ekUnsupported}},
      {"codec/bmp/irs_rgb16-565.bmp", {"bmp: only BI_RGB (uncompressed) is supported", ekUnsupported}},
      {"codec/bmp/irs_pal8badindex.bmp", {"bmp: palette index out of range", ekInvalid}},
      {"malformed/bmp/mei_shortfile.bmp", {"bmp: pixel data truncated", ekTruncated}},
  };
  for (const auto& [rel, expect] : cases) {
    EXPECT_EQ(bmpFailure(kd::test::readTestdata(rel)), expect) << rel;
  }
}

}  // namespace
}  // namespace kd::formats::test
