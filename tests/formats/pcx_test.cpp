#include "codec_support.h"
#include "formats/formats.h"

namespace kd::formats::test {
namespace {

struct PcxSpec {
  uint8_t version = 5;
  uint8_t encoding = 1;
  uint8_t bits = 8;
  uint16_t xmin = 0, ymin = 0, xmax = 1, ymax = 0;  // 2 x 1
  uint8_t planes = 1;
  uint16_t bytesPerLine = 2;
  uint16_t paletteInfo = 1;
  Bytes data;
  bool palette = false;  // append the marker and 256 entries (entry i = i, 255 - i, 7)
};

Bytes pcxFile(const PcxSpec& s) {
  ByteWriter w;
  w.u8(0x0A).u8(s.version).u8(s.encoding).u8(s.bits);
  w.u16le(s.xmin).u16le(s.ymin).u16le(s.xmax).u16le(s.ymax).u16le(72).u16le(72);
  w.fill(48, 0).u8(0).u8(s.planes).u16le(s.bytesPerLine).u16le(s.paletteInfo);
  w.fill(128 - w.b.size(), 0);
  w.raw(s.data);
  if (s.palette) {
    w.u8(12);
    for (int i = 0; i < 256; ++i) w.u8(i).u8(255 - i).u8(7);
  }
  return w.b;
}

Failure pcxFailure(const Bytes& file) { return failureOf([&] { return decodePcx(viewOf(file)); }); }
Image pcx(const PcxSpec& s) { return decodePcx(viewOf(pcxFile(s))); }

TEST(PcxDecode, ThreePlanesGiveRgb) {
  PcxSpec s;
  s.planes = 3;
  s.bytesPerLine = 3;  // width 2 plus one padding byte per plane
  s.encoding = 0;
  s.data = {1, 2, 99, 3, 4, 99, 5, 6, 99};
  const Image img = pcx(s);
  EXPECT_EQ(img.colorspace, csRgb);
  EXPECT_EQ(img.pixels, (Bytes{1, 3, 5, 2, 4, 6}));
}

TEST(PcxDecode, EightBitPaletteAndGrey) {
  PcxSpec s;
  s.data = {0xC2, 200};  // run of two 200s
  s.palette = true;
  const Image pal = pcx(s);
  EXPECT_EQ(pal.colorspace, csRgba);
  EXPECT_EQ(pal.pixels, (Bytes{200, 55, 7, 255, 200, 55, 7, 255}));
  // Palette info 2: grey, even with a palette appended.
  s.paletteInfo = 2;
  const Image grey = pcx(s);
  EXPECT_EQ(grey.colorspace, csGray);
  EXPECT_EQ(grey.pixels, (Bytes{200, 200}));
}

TEST(PcxDecode, MonochromeBitsMostSignificantFirst) {
  PcxSpec s;
  s.bits = 1;
  s.xmax = 9;  // width 10
  s.bytesPerLine = 2;
  s.encoding = 0;
  s.data = {0x80, 0x40};
  const Image img = pcx(s);
  EXPECT_EQ(img.colorspace, csGray);
  EXPECT_EQ(img.pixels, (Bytes{0, 255, 255, 255, 255, 255, 255, 255, 255, 0}));
}

TEST(PcxDecode, RunLengthDetails) {
  PcxSpec s;
  s.xmin = 10;
  s.xmax = 13;  // width 4
  s.ymax = 1;   // height 2
  s.bytesPerLine = 4;
  s.paletteInfo = 2;
  // Row 1: 0xC0 writes nothing, a literal, a run of 3 ending exactly at
  // the line end. Row 2: 0xC1 0xC5 is a run of one literal 0xC5.
  s.data = {0xC0, 77, 1, 0xC3, 9, 0xC1, 0xC5, 0xC3, 4};
  const Image img = pcx(s);
  EXPECT_EQ(img.width, 4);
  EXPECT_EQ(img.height, 2);
  EXPECT_EQ(img.pixels, (Bytes{1, 9, 9, 9, 0xC5, 4, 4, 4}));
  // Raw files take bytes of 0xC0 and above literally.
  s.encoding = 0;
  s.data = {0xC0, 0xFF, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(pcx(s).pixels, (Bytes{0xC0, 0xFF, 1, 2, 3, 4, 5, 6}));
}

TEST(PcxRejects, EachFailureWithItsMessage) {
  PcxSpec good;
  good.data = {1, 2};
  good.paletteInfo = 2;
  ASSERT_EQ(pcxFailure(pcxFile(good)).message, "decoded");
  auto with = [&](auto change) {
    PcxSpec s = good;
    change(s);
    return pcxFailure(pcxFile(s));
  };
  EXPECT_EQ(pcxFailure(Bytes(127, 0x0A)), (Failure{"pcx: header truncated", ekTruncated}));
  Bytes notPcx = pcxFile(good);
  notPcx[0] = 0x0B;
  EXPECT_EQ(pcxFailure(notPcx), (Failure{"pcx: not a ZSoft PCX", ekUnsupported}));
  EXPECT_EQ(with([](PcxSpec& s) { s.version = 6; }),
            (Failure{"pcx: unsupported version", ekUnsupported}));
  EXPECT_EQ(with([](PcxSpec& s) { s.encoding = 2; }),
            (Failure{"pcx: unsupported encoding", ekUnsupported}));
  EXPECT_EQ(with([](PcxSpec& s) { s.xmin = 2; }), (Failure{"pcx: bad dimensions", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) { s.ymin = 1; }), (Failure{"pcx: bad dimensions", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) {
              s.xmax = 65535;
              s.ymax = 16384;
            }),
            (Failure{"pcx: too many pixels", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) {
              s.bits = 4;
              s.planes = 1;
            }),
            (Failure{"pcx: unsupported pixel layout", ekUnsupported}));
  EXPECT_EQ(with([](PcxSpec& s) {
              s.bits = 1;
              s.planes = 4;
            }),
            (Failure{"pcx: unsupported pixel layout", ekUnsupported}));
  EXPECT_EQ(with([](PcxSpec& s) { s.bytesPerLine = 1; }),
            (Failure{"pcx: bpl smaller than width", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) {
              s.bytesPerLine = 3;
              s.data = {1, 2, 3};
            }).message,
            "decoded");
  EXPECT_EQ(with([](PcxSpec& s) { s.bytesPerLine = 4; }),
            (Failure{"pcx: bpl too large for width", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) {
              s.bits = 1;
              s.xmax = 8;  // 9 pixels need 2 bytes
              s.bytesPerLine = 1;
            }),
            (Failure{"pcx: bpl too small for mono", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) {
              s.bits = 1;
              s.xmax = 8;
              s.bytesPerLine = 4;
            }),
            (Failure{"pcx: bpl too large for width", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) { s.data = {0xC3, 1}; }),
            (Failure{"pcx: RLE overruns scanline", ekInvalid}));
  EXPECT_EQ(with([](PcxSpec& s) { s.data = {1, 0xC1}; }),
            (Failure{"pcx: RLE value truncated", ekTruncated}));
  EXPECT_EQ(with([](PcxSpec& s) { s.data = {1}; }),
            (Failure{"pcx: pixel data truncated", ekTruncated}));
  EXPECT_EQ(with([](PcxSpec& s) {
              s.encoding = 0;
              s.data = {1};
            }),
            (Failure{"pcx: pixel data truncated", ekTruncated}));
  // The same failures under a header announcing 2^30 pixels.
  EXPECT_EQ(with([](PcxSpec& s) {
              s.xmax = 32767;
              s.ymax = 32767;
              s.bytesPerLine = 32768;
              s.data = {1, 0xC1};
            }),
            (Failure{"pcx: RLE value truncated", ekTruncated}));

  // Palette layout without the marker byte, or too short a file.
  EXPECT_EQ(with([](PcxSpec& s) { s.paletteInfo = 1; }),
            (Failure{"pcx: missing 256-color palette", ekInvalid}));
  PcxSpec marked = good;
  marked.paletteInfo = 1;
  marked.palette = true;
  Bytes noMarker = pcxFile(marked);
  noMarker[noMarker.size() - 769] = 11;
  EXPECT_EQ(pcxFailure(noMarker), (Failure{"pcx: missing 256-color palette", ekInvalid}));
  // Truncated pixel data wins over the missing palette.
  EXPECT_EQ(with([](PcxSpec& s) {
              s.paletteInfo = 1;
              s.data = {1};
            }),
            (Failure{"pcx: pixel data truncated", ekTruncated}));
}

TEST(PcxDecode, SnifferReachesTheDecoder) {
  PcxSpec s;
  s.paletteInfo = 2;
  s.data = {5, 6};
  EXPECT_EQ(decodeImage(viewOf(pcxFile(s))).pixels, (Bytes{5, 6}));
}

// Every test PCX either decodes to ImageMagick's pixels or fails with one
// of the decoder's messages.
TEST(PcxPeer, SharedFilesMatchImageMagick) {
  ASSERT_TRUE(kd::test::toolInstalled("convert-im6.q16", "imagemagick"));
  int decoded = 0;
  for (const std::string& rel : kd::test::listTestdata("codec/pcx")) {
    SCOPED_TRACE(rel);
    const Bytes file = kd::test::readTestdata(rel);
    Image img;
    try {
      img = decodePcx(viewOf(file));
    } catch (const KeldraException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("pcx: ", 0), 0u) << e.what();
      continue;
    }
    ++decoded;
    EXPECT_EQ(rgbOf(img), magickRgb(kd::test::testdataPath(rel), img.width, img.height));
  }
  EXPECT_GE(decoded, 4);
}

TEST(PcxPeer, NamedFilesFailForTheirReason) {
  const std::pair<const char*, Failure> cases[] = {
      {"codec/pcx/mei_CGA_FSD.PCX", {"pcx: unsupported pixel layout", ekUnsupported}},
      {"codec/pcx/mei_lena7.pcx", {"pcx: unsupported pixel layout", ekUnsupported}},
  };
  for (const auto& [rel, expect] : cases) {
    EXPECT_EQ(pcxFailure(kd::test::readTestdata(rel)), expect) << rel;
  }
}

}  // namespace
}  // namespace kd::formats::test
