#include <stb/stb_image.h>

#include <set>

#include "codec_support.h"
#include "formats/formats.h"

namespace kd::formats::test {
namespace {

// A string literal with its embedded zero bytes.
template <size_t N>
std::string lit(const char (&s)[N]) {
  return std::string(s, N - 1);
}

Failure pnmFailure(const std::string& text) {
  const Bytes b = bytesOf(text);
  return failureOf([&] { return decodePnm(viewOf(b)); });
}
Image pnm(const std::string& text) {
  const Bytes b = bytesOf(text);
  return decodePnm(viewOf(b));
}

TEST(PnmDecode, PlainFormatsScaleAndSkipComments) {
  const Image p2 = pnm("P2\n3 1\n1023\n1023 512 2000\n");
  EXPECT_EQ(p2.colorspace, csGray);
  EXPECT_EQ(p2.pixels, (Bytes{255, 128, 255}));  // 2000 is clamped to maxval

  const Image commented = pnm("P3 # a comment\n2 # width then\r# another\n1\n255 1 2 3\t4 5\f6");
  EXPECT_EQ(commented.colorspace, csRgb);
  EXPECT_EQ(commented.pixels, (Bytes{1, 2, 3, 4, 5, 6}));

  const Image p1 = pnm("P1\n4 1\n1 0 1 0");
  EXPECT_EQ(p1.pixels, (Bytes{0, 255, 0, 255}));
}

TEST(PnmDecode, RawFormats) {
  EXPECT_EQ(pnm("P5 2 1 255\n\x01\xFF").pixels, (Bytes{1, 255}));
  // maxval 3: 0..3 map to 0, 85, 170, 255; 7 is clamped to 3.
  EXPECT_EQ(pnm(std::string("P5 5 1 3\n\x00\x01\x02\x03\x07", 14)).pixels,
            (Bytes{0, 85, 170, 255, 255}));
  // Two bytes big-endian above maxval 255: 1000/1000 and 500/1000.
  EXPECT_EQ(pnm(std::string("P5 2 1 1000\n\x03\xE8\x01\xF4", 16)).pixels, (Bytes{255, 128}));
  EXPECT_EQ(pnm("P6 1 1 255\rABC").pixels, (Bytes{'A', 'B', 'C'}));
  // P4: 10 pixels in rows of 2 bytes, most significant bit first, 1 = black.
  EXPECT_EQ(pnm(std::string("P4 10 2\n\xA0\x40\xFF\xC0", 12)).pixels,
            (Bytes{0, 255, 0, 255, 255, 255, 255, 255, 255, 0,  //
                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Any byte below '!' may end the header; bytes after the data are ignored.
  EXPECT_EQ(pnm(std::string("P5 1 1 255\x01\x09trailing", 20)).pixels, (Bytes{9}));
}

TEST(PnmDecode, PamHeaders) {
  const Image rgba = pnm(
      "P7\n# comment\n  WIDTH  2 \nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\n"
      "ENDHDR\nabcdefgh");
  EXPECT_EQ(rgba.colorspace, csRgba);
  EXPECT_EQ(rgba.pixels, bytesOf("abcdefgh"));
  const Image grey = pnm(lit("P7\nWIDTH 1\nHEIGHT 2\nDEPTH 1\nMAXVAL 65535\nENDHDR\n\xFF\xFF\x80\x00"));
  EXPECT_EQ(grey.colorspace, csGray);
  EXPECT_EQ(grey.pixels, (Bytes{255, 128}));
  EXPECT_EQ(pnm(lit("P7\nDEPTH 3\nMAXVAL 1\nWIDTH 1\nHEIGHT 1\nFOO bar\nENDHDR\n\x01\x00\x01")).pixels,
            (Bytes{255, 0, 255}));
  const Bytes pam = bytesOf("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\nx");
  EXPECT_EQ(decodePam(viewOf(pam)).pixels, bytesOf("x"));
  // The sniffer does not route P7 here.
  EXPECT_EQ(failureOf([&] { return decodeImage(viewOf(pam)); }).message,
            "decodeImage: unrecognized format");
}

TEST(PnmRejects, EachFailureWithItsMessage) {
  const std::pair<std::string, Failure> cases[] = {
      {"P", {"pnm: header truncated", ekTruncated}},
      {"Q6 1 1 255 abc", {"pnm: not a PNM container", ekUnsupported}},
      {"P8 1 1", {"pnm: unsupported type", ekUnsupported}},
      {"P0 1 1", {"pnm: unsupported type", ekUnsupported}},
      {"P5 0 1 255 x", {"pnm: bad dimensions", ekInvalid}},
      {"P5 1 1073741825 255 x", {"pnm: bad dimensions", ekInvalid}},
      {"P5 1 1 0 x", {"pnm: bad maxval", ekInvalid}},
      {"P5 1 1 65536 x", {"pnm: bad maxval", ekInvalid}},
      {"P5 32769 32768 255 x", {"pnm: too many pixels", ekInvalid}},
      {"P5 1", {"pnm: expected an integer", ekTruncated}},
      {"P5 -1 1 255 x", {"pnm: expected an integer", ekTruncated}},
      {"P5 1 1 #only a comment", {"pnm: expected an integer", ekTruncated}},
      {"P5 99999999999999999999 1 255 x", {"pnm: integer exceeds the platform range", ekInvalid}},
      {"P1 4 1 0101", {"pnm: P1 sample not 0/1", ekInvalid}},
      {"P1 2 1 0 2", {"pnm: P1 sample not 0/1", ekInvalid}},
      {"P2 2 1 255 7", {"pnm: expected an integer", ekTruncated}},
      {"P6 2 2 255A", {"pnm: missing whitespace after header", ekInvalid}},
      {"P5 1 1 255#c\nx", {"pnm: missing whitespace after header", ekInvalid}},
      {"P4 9 2 \x01\x02\x03", {"pnm: P4 data truncated", ekTruncated}},
      {"P5 2 1 256 \x01\x02\x03", {"pnm: P5 data truncated", ekTruncated}},
      {"P6 1 1 255", {"pnm: P6 data truncated", ekTruncated}},
      {"P6 1 1 255 ab", {"pnm: P6 data truncated", ekTruncated}},
      {"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR", {"pnm: PAM header truncated", ekTruncated}},
      {"P7\nWIDTH 1\nHEIGHT\n", {"pnm: bad PAM header line", ekInvalid}},
      {"P7\nWIDTH x1\n", {"pnm: PAM bad WIDTH value", ekInvalid}},
      {"P7\nHEIGHT 1.5\n", {"pnm: PAM bad HEIGHT value", ekInvalid}},
      {"P7\nDEPTH \t\n", {"pnm: bad PAM header line", ekInvalid}},
      {"P7\nMAXVAL 99999999999999999999999\n", {"pnm: PAM bad MAXVAL value", ekInvalid}},
      {"P7\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\nx", {"pnm: PAM bad dimensions", ekInvalid}},
      {"P7\nWIDTH -1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\nx", {"pnm: PAM bad dimensions", ekInvalid}},
      {"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\nxx",
       {"pnm: PAM depth must be 1, 3, or 4", ekUnsupported}},
      {"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 70000\nENDHDR\nx", {"pnm: PAM bad maxval", ekInvalid}},
      {"P7\nWIDTH 65536\nHEIGHT 16385\nDEPTH 1\nMAXVAL 255\nENDHDR\nx", {"pnm: too many pixels", ekInvalid}},
      {"P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 256\nENDHDR\nxyz", {"pnm: PAM data truncated", ekTruncated}},
  };
  for (const auto& [text, expect] : cases) EXPECT_EQ(pnmFailure(text), expect) << text;
}

TEST(PnmRejects, HugePlainHeadersFailLikeSmallOnes) {
  // The picture is far larger than the input: the error is that of the
  // samples, found without allocating gigabytes first.
  EXPECT_EQ(pnmFailure("P3 32768 32768 255 1 2 3 4"),
            (Failure{"pnm: expected an integer", ekTruncated}));
  EXPECT_EQ(pnmFailure("P1 32768 32768 1 0 7"), (Failure{"pnm: P1 sample not 0/1", ekInvalid}));
}

TEST(PnmEncode, ExactHeadersAndRoundTrips) {
  Image grey = newImage(2, 1, csGray);
  grey.pixels = {7, 200};
  EXPECT_EQ(encodePnm(grey), bytesOf(std::string("P5\n2 1\n255\n\x07\xC8", 13)));
  Image rgba = newImage(1, 1, csRgba);
  rgba.pixels = {1, 2, 3, 4};
  EXPECT_EQ(encodePnm(rgba),
            bytesOf("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
                    "\x01\x02\x03\x04"));
  for (ColorSpace cs : {csGray, csRgb, csRgba}) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{1, 1}, {17, 9}}) {
      const Image img = testPicture(w, h, cs);
      const Image back = decodePnm(viewOf(encodePnm(img)));
      EXPECT_EQ(back.colorspace, cs);
      EXPECT_EQ(back.width, w);
      EXPECT_EQ(back.pixels, img.pixels);
    }
  }
  for (ColorSpace cs : {csCmyk, csOther3, csOther1}) {
    EXPECT_EQ(failureOf([&] { return encodePnm(newImage(1, 1, cs)); }),
              (Failure{"pnm: encode needs csRgb, csGray, or csRgba", ekUnsupported}));
  }
}

// The test files either decode to what netpbm makes of them (rescaled to
// maxval 255 by pamdepth, read back with stb_image) or fail with one of the
// decoder's messages. Raw files with maxval 255 are also compared with
// stb_image directly.
TEST(PnmPeer, SharedFilesMatchNetpbmAndStbImage) {
  for (const char* tool : {"pamdepth", "pamtopnm", "pamchannel"}) {
    ASSERT_TRUE(kd::test::toolInstalled(tool, "netpbm"));
  }
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  int decoded = 0;
  for (const std::string& rel : kd::test::listTestdata("codec/pnm")) {
    SCOPED_TRACE(rel);
    const Bytes file = kd::test::readTestdata(rel);
    Image img;
    try {
      img = decodePnm(viewOf(file));
    } catch (const KeldraException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("pnm: ", 0), 0u) << e.what();
      continue;
    }
    ++decoded;
    const std::string path = kd::test::testdataPath(rel);
    const std::string colour = dir.file("colour.pnm");
    ASSERT_TRUE(runCommand("pamdepth 255 " + quoted(path) + " | pamtopnm > " + quoted(colour) +
                           " 2>/dev/null || pamdepth 255 " + quoted(path) +
                           " | pamchannel 0 1 2 | pamtopnm -assume > " + quoted(colour)));
    int w = 0, h = 0, n = 0;
    const int want = img.channels == 1 ? 1 : 3;
    stbi_uc* peer = stbi_load(colour.c_str(), &w, &h, &n, want);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(w, img.width);
    ASSERT_EQ(h, img.height);
    const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t ch = static_cast<size_t>(img.channels);
    size_t mismatches = 0;
    for (size_t i = 0; i < count; ++i) {
      for (size_t c = 0; c < static_cast<size_t>(want); ++c) {
        mismatches += img.pixels[i * ch + c] != peer[i * static_cast<size_t>(want) + c];
      }
    }
    EXPECT_EQ(mismatches, 0u);
    stbi_image_free(peer);
    if (ch == 4) {
      const std::string alpha = dir.file("alpha.pgm");
      ASSERT_TRUE(runCommand("pamdepth 255 " + quoted(path) + " | pamchannel 3 | pamtopnm -assume > " +
                             quoted(alpha)));
      stbi_uc* a = stbi_load(alpha.c_str(), &w, &h, &n, 1);
      ASSERT_NE(a, nullptr);
      for (size_t i = 0; i < count; ++i) mismatches += img.pixels[i * 4 + 3] != a[i];
      EXPECT_EQ(mismatches, 0u);
      stbi_image_free(a);
    }
    // Raw 8-bit files: stb_image reads them itself.
    if (file[1] == '5' || file[1] == '6') {
      stbi_uc* direct = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h,
                                              &n, static_cast<int>(ch));
      if (direct != nullptr && stbi_is_16_bit_from_memory(file.data(), static_cast<int>(file.size())) == 0) {
        EXPECT_EQ(img.pixels, Bytes(direct, direct + img.pixels.size()));
      }
      stbi_image_free(direct);
    }
  }
  EXPECT_GE(decoded, 15);
}

TEST(PnmPeer, NamedFilesFailForTheirReason) {
  const std::pair<const char*, Failure> cases[] = {
      {"codec/pnm/et_PFM.pfm", {"pnm: unsupported type", ekUnsupported}},
      {"codec/pnm/pil_hopper.p7", {"pnm: bad PAM header line", ekInvalid}},
  };
  for (const auto& [rel, expect] : cases) {
    const Bytes file = kd::test::readTestdata(rel);
    EXPECT_EQ(failureOf([&] { return decodePnm(viewOf(file)); }), expect) << rel;
  }
}

// Under the wide option the sniffer routes PAM too, so everything the
// encoder writes (P5, P6, P7 RGBA) reads back; depth 2 gives RGBA.
TEST(PnmWide, EverythingTheEncoderWritesReadsBack) {
  const DecodeOptions wide{true, 0};
  for (ColorSpace cs : {csGray, csRgb, csRgba}) {
    const Image img = testPicture(9, 5, cs);
    const Bytes file = encodePnm(img);
    const Image back = decodeImage(viewOf(file), wide);
    EXPECT_EQ(back.colorspace, cs);
    EXPECT_TRUE(back.pixels == img.pixels) << static_cast<int>(cs);
  }
  const Bytes pam = encodePnm(testPicture(2, 2, csRgba));
  EXPECT_EQ(failureOf([&] { return decodeImage(viewOf(pam)); }),
            (Failure{"decodeImage: unrecognized format", ekUnsupported}));
  const Bytes greyAlpha =
      bytesOf(lit("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 15\nENDHDR\n\x0F\x00\x05\x0F"));
  EXPECT_EQ(decodeImage(viewOf(greyAlpha), wide).pixels,
            (Bytes{255, 255, 255, 0, 85, 85, 85, 255}));
  EXPECT_EQ(failureOf([&] { return decodePam(viewOf(greyAlpha)); }),
            (Failure{"pnm: PAM depth must be 1, 3, or 4", ekUnsupported}));
}

}  // namespace
}  // namespace kd::formats::test
