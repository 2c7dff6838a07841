// BMP under the wide option: OS/2 and V4/V5 headers, bit fields, RLE8 and
// RLE4, against ImageMagick over the shared files, with a counted table of
// the files where the two part ways.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "codec_support.h"
#include "support/testdata.h"

namespace kd::formats::test {
namespace {

const DecodeOptions kWide{true, 0};

// Files where the wide decoder and ImageMagick part ways, with the reason.
const std::map<std::string, std::string>& divergences() {
  static const std::map<std::string, std::string> table = {
      // ImageMagick widens a 4-bit field to v * 16 + v / 16 (15 -> 240) and
      // a 2-bit alpha to v * 64 (3 -> 192); this decoder scales every field
      // to the full range (15 -> 255, 3 -> 255), rounding v * 255 / max.
      {"irs_V3_A4_R4_G4_B4_Top_Down.bmp", "4-bit fields"},
      {"irs_V3_X4_R4_G4_B4_Top_Down.bmp", "4-bit fields"},
      {"mei_rgba16-4444.bmp", "4-bit fields"},
      {"irs_rgba32-61754.bmp", "4-bit alpha field"},
      {"mei_rgba32-1010102.bmp", "2-bit alpha field"},
      // ImageMagick 6 refuses 2-bit pixels.
      {"irs_pal2color.bmp", "2 bpp"},
      // An index past the palette: refused, as the default decoder refuses
      // it; ImageMagick shows entry 0.
      {"irs_pal8badindex.bmp", "palette index out of range"},
      // Runs past the row end: ImageMagick carries them into the next row,
      // this decoder drops them (the row end is where RLE rows end).
      {"mei_badrle.bmp", "runs past the row end"},
      {"mei_badrle4bis.bmp", "runs past the row end"},
      {"mei_badrlebis.bmp", "runs past the row end"},
      // A wrong file-size field: ImageMagick refuses the file, neither
      // decoder here reads that field.
      {"mei_badfilesize.bmp", "file size field"},
  };
  return table;
}

// Files ImageMagick 6 cannot read, or reads by a wrong size field, compared
// with the file of the same picture in the BMP suite.
const std::map<std::string, std::string>& samePicture() {
  static const std::map<std::string, std::string> table = {
      {"mei_pal8oversizepal.bmp", "codec/bmp/mei_pal8.bmp"},  // 300 colours declared
      {"mei_pal8os2v2-sz.bmp", "codec/bmp/mei_pal8.bmp"},     // wrong image size field
  };
  return table;
}

// ImageMagick 6 does not read BI_ALPHABITFIELDS; the same bytes with the
// header made a 56-byte BI_BITFIELDS one (whose four masks sit where the
// alpha bit-field masks follow a 40-byte header) are the same picture.
Bytes magickOfAlphaBitFields(const std::string& rel) {
  Bytes file = kd::test::readTestdata(rel);
  file[14] = 56;
  file[30] = 3;
  TempDir dir;
  const std::string path = dir.file("v3.bmp");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                              static_cast<std::streamsize>(file.size()));
  return magickRgba(path);
}

// "" when `rel` decodes within 1 of ImageMagick or both refuse it.
std::string compareWithMagick(const std::string& rel) {
  const std::string name = std::filesystem::path(rel).filename().string();
  const auto same = samePicture().find(name);
  const Bytes file = kd::test::readTestdata(rel);
  const bool alphaBitFields = file.size() > 34 && file[14] == 40 && file[30] == 6;
  const Bytes peer =
      alphaBitFields ? magickOfAlphaBitFields(rel)
                     : magickRgba(kd::test::testdataPath(same == samePicture().end() ? rel : same->second));
  Image img;
  try {
    img = decodeBmp(viewOf(file), kWide);
  } catch (const KeldraException& e) {
    return peer.empty() ? "" : e.what();
  }
  const size_t pixels = static_cast<size_t>(img.width * img.height);
  if (peer.size() != 4 * pixels) return "ImageMagick gives another size";
  int worst = 0;
  for (size_t i = 0; i < pixels; ++i) {
    for (size_t c = 0; c < 4; ++c) {
      const int ours = c < 3 || img.channels == 4 ? img.pixels[i * img.channels + c] : 255;
      worst = std::max(worst, std::abs(ours - peer[4 * i + c]));
    }
  }
  return worst <= 1 ? "" : "off by " + std::to_string(worst);
}

TEST(BmpWide, SharedFilesMatchImageMagickWithinOne) {
  ASSERT_TRUE(kd::test::toolInstalled("convert-im6.q16", "imagemagick"));
  size_t compared = 0, diverging = 0;
  for (const std::string& rel : listTestdataBoth("codec/bmp", "malformed/bmp")) {
    const std::string name = std::filesystem::path(rel).filename().string();
    const std::string outcome = compareWithMagick(rel);
    if (divergences().count(name) != 0) {
      ++diverging;
      EXPECT_NE(outcome, "") << name << " now matches ImageMagick: take it out of the table";
    } else {
      EXPECT_EQ(outcome, "") << name;
      ++compared;
    }
  }
  // Some rows name files of the wider corpus: every row is met only with it.
  if (kd::test::corpusDir()) {
    EXPECT_EQ(diverging, divergences().size());
  } else {
    EXPECT_LE(diverging, divergences().size());
  }
  EXPECT_GE(compared, 40u);
}

TEST(BmpWide, WhatThePlainDecoderReadsComesOutTheSame) {
  size_t same = 0;
  for (const std::string& rel : listTestdataBoth("codec/bmp", "malformed/bmp")) {
    const Bytes file = kd::test::readTestdata(rel);
    Image plain;
    try {
      plain = decodeBmp(viewOf(file));
    } catch (const KeldraException&) {
      continue;
    }
    const Image wide = decodeBmp(viewOf(file), kWide);
    EXPECT_EQ(wide.colorspace, plain.colorspace) << rel;
    EXPECT_TRUE(wide.pixels == plain.pixels) << rel;
    ++same;
  }
  EXPECT_GE(same, 25u);
}

// A 4 x 3 RLE4 picture: a run, an end of line, a delta over a pixel and a
// row, an absolute run, then the end of the picture.
TEST(BmpWide, RleCodesAndSkippedPixels) {
  const Bytes palette = {1, 2, 3, 0, 10, 20, 30, 0, 40, 50, 60, 0, 70, 80, 90, 0};
  const Bytes rle = {3, 0x12, 0, 0,  // bottom row: 1 2 1, end of line
                     0, 2, 1, 1,     // delta: one right, one up
                     0, 3, 0x23, 0x10, 0, 1};  // absolute 2 3 1 (two bytes); end
  ByteWriter w;
  w.text("BM").u32le(0).u32le(0).u32le(14 + 40 + 16).u32le(40).u32le(4).u32le(3);
  w.u16le(1).u16le(4).u32le(2).u32le(0).u32le(0).u32le(0).u32le(4).u32le(0);
  w.raw(palette).raw(rle);
  const Image img = decodeBmp(viewOf(w.b), kWide);
  // Rows top to bottom as indices; 0 where the stream skipped the pixel.
  const int expect[3][4] = {{0, 2, 3, 1}, {0, 0, 0, 0}, {1, 2, 1, 0}};
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      const uint8_t* px = &img.pixels[static_cast<size_t>(4 * (4 * y + x))];
      const uint8_t* entry = &palette[static_cast<size_t>(4 * expect[y][x])];
      EXPECT_EQ(px[0], entry[2]) << x << "," << y;
      EXPECT_EQ(px[3], 255);
    }
  }
  // Cut before the end-of-picture code: truncated, never a partial picture.
  const Bytes cut(w.b.begin(), w.b.end() - 2);
  EXPECT_EQ(failureOf([&] { return decodeBmp(viewOf(cut), kWide); }),
            (Failure{"bmp: RLE data truncated", ekTruncated}));
  Bytes noncontiguous = kd::test::readTestdata("codec/bmp/irs_rgb16-565.bmp");
  noncontiguous[54] = 0x0F;  // red mask 0xF80F
  EXPECT_EQ(failureOf([&] { return decodeBmp(viewOf(noncontiguous), kWide); }),
            (Failure{"bmp: bit-field mask not contiguous", ekUnsupported}));
}

}  // namespace
}  // namespace kd::formats::test
