// Container rewriting and stripping in memory: JPEG segment placement and
// limits, JPEG stripping, bare TIFF blocks and full TIFF images.
#include <gtest/gtest.h>

#include <cstring>

#include "exif/edit.h"
#include "exif/exif.h"
#include "exif/thumbnail.h"
#include "support/tiff_builder.h"

namespace kd::exif {
namespace {

using test::TiffBuilder;
using test::TiffDir;

Bytes seg(uint8_t marker, const std::string& payload) {
  size_t len = payload.size() + 2;
  Bytes out(payload.size() + 4);
  out[0] = 0xFF;
  out[1] = marker;
  out[2] = static_cast<uint8_t>(len >> 8);
  out[3] = static_cast<uint8_t>(len);
  std::memcpy(out.data() + 4, payload.data(), payload.size());
  return out;
}

Bytes exifSeg(const std::string& tag) { return seg(0xE1, std::string("Exif\0\0", 6) + tag); }

const Bytes kScan = {0xFF, 0xDA, 0x00, 0x04, 1, 2, 0x55, 0xAA, 0xFF, 0xD9};

Bytes jpeg(std::initializer_list<Bytes> parts, bool withScan = true) {
  Bytes out = {0xFF, 0xD8};
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  if (withScan) out.insert(out.end(), kScan.begin(), kScan.end());
  return out;
}

Bytes newSegment(const EditSession& s) {
  Bytes block = serialize(s);
  Bytes out = {0xFF, 0xE1, static_cast<uint8_t>((block.size() + 8) >> 8),
               static_cast<uint8_t>(block.size() + 8), 'E', 'x', 'i', 'f', 0, 0};
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

EditSession artistSession() {
  EditSession s;
  setArtist(s, "Writer");
  return s;
}

const Bytes kApp0 = seg(0xE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
const Bytes kXmp = seg(0xE1, "http://ns.adobe.com/xap/1.0/\0<x/>");
const Bytes kDqt = seg(0xDB, std::string(65, '\1'));
const Bytes kSof = seg(0xC0, std::string("\x08\0\x10\0\x10\x01\x01\x11\0", 9));
const Bytes kDht = seg(0xC4, std::string(20, '\2'));
const Bytes kApp2 = seg(0xE2, "ICC_PROFILE\0\1\1data");
const Bytes kApp13 = seg(0xED, "Photoshop 3.0\0" "8BIM");
const Bytes kCom = seg(0xFE, "comment");

TEST(EmbedExifInJpeg, SegmentPlacement) {
  const EditSession s = artistSession();
  const Bytes n = newSegment(s);
  struct Case {
    const char* name;
    Bytes in, want;
  } cases[] = {
      {"replaces first Exif, keeps XMP", jpeg({kApp0, exifSeg("old"), kXmp}),
       jpeg({kApp0, n, kXmp})},
      {"no APP1: right before SOS", jpeg({kDqt, kSof, kDht}), jpeg({kDqt, kSof, kDht, n})},
      {"two Exif segments: one new one", jpeg({exifSeg("a"), kApp2, exifSeg("b")}),
       jpeg({n, kApp2})},
      {"no SOS: at the end", jpeg({kApp0}, false), jpeg({n}, false)},
  };
  for (const Case& c : cases) {
    Bytes want = c.want;
    if (std::string(c.name) == "no SOS: at the end") want = jpeg({kApp0, n}, false);
    EXPECT_EQ(writeExifBytes(c.in, s), want) << c.name;
  }
}

TEST(EmbedExifInJpeg, MalformedSegmentsFail) {
  const EditSession s = artistSession();
  Bytes notMarker = jpeg({kApp0});
  notMarker[2 + kApp0.size()] = 0x00;
  EXPECT_TRUE(writeExifBytes(notMarker, s).empty());
  EXPECT_TRUE(stripMetadataBytes(notMarker).empty());
  for (uint8_t len : {0, 1}) {
    Bytes bad = {0xFF, 0xD8, 0xFF, 0xE0, 0, len, 0, 0};
    EXPECT_TRUE(writeExifBytes(bad, s).empty());
    EXPECT_TRUE(stripMetadataBytes(bad).empty());
  }
  Bytes beyond = {0xFF, 0xD8, 0xFF, 0xE0, 0, 50, 0, 0};
  EXPECT_TRUE(writeExifBytes(beyond, s).empty());
  EXPECT_TRUE(stripMetadataBytes(beyond).empty());
  EXPECT_TRUE(writeExifBytes(Bytes{0xFF}, s).empty());
}

TEST(EmbedExifInJpeg, BlockSizeLimit) {
  const Bytes src = jpeg({kApp0});
  EXPECT_FALSE(embedExifInJpeg(src, Bytes(kJpegMaxExifBlock, 1)).empty());
  EXPECT_TRUE(embedExifInJpeg(src, Bytes(kJpegMaxExifBlock + 1, 1)).empty());
  // Serialised blocks are always of even length: 65,526 fits, 65,528 does not.
  for (size_t size : {kJpegMaxExifBlock - 1, kJpegMaxExifBlock + 1}) {
    EditSession s;
    s.ifd0.set(0x9999, byteVal(Bytes(size - 8 - 18, 1)));
    ASSERT_EQ(serialize(s).size(), size);
    EXPECT_EQ(writeExifBytes(src, s).empty(), size > kJpegMaxExifBlock) << size;
  }
}

TEST(EmbedExifInJpeg, ThumbnailGivesWayAtTheBlockSizeLimitAndNothingElse) {
  const Bytes src = jpeg({kApp0});
  for (size_t filler : {size_t{40000}, size_t{64000}}) {
    EditSession s;
    s.ifd0.set(0x9999, byteVal(Bytes(filler, 1)));
    s.ifd1.set(0x0103, longVal({6}));
    s.hasThumbnail = true;
    s.thumbnail = Bytes(3000, 7);
    Bytes out = writeExifBytes(src, s);
    ASSERT_FALSE(out.empty()) << filler;
    const int64_t tiff = exifTiffBase(out).value_or(-1);
    EXPECT_EQ(extractExifThumbnailAt(out, tiff), filler < 60000 ? s.thumbnail : Bytes{}) << filler;
    EXPECT_EQ(parseExifBytes(out).ifd0.find(0x9999)->raw.size(), filler);
  }
}

TEST(StripJpeg, KeepsApp0AndApp2Only) {
  Bytes in = jpeg({kApp0, exifSeg("x"), kXmp, kApp2, kApp13, kCom, kDqt});
  EXPECT_EQ(stripMetadataBytes(in), jpeg({kApp0, kApp2, kDqt}));
}

TEST(StripJpeg, Endings) {
  EXPECT_EQ(stripMetadataBytes(jpeg({kApp0, kCom}, false)), jpeg({kApp0}, false));
  Bytes eoi = jpeg({kApp0, kCom}, false);
  eoi.insert(eoi.end(), {0xFF, 0xD9, 0x00});
  Bytes wantEoi = jpeg({kApp0}, false);
  wantEoi.insert(wantEoi.end(), {0xFF, 0xD9, 0x00});
  EXPECT_EQ(stripMetadataBytes(eoi), wantEoi);
  Bytes junk = jpeg({kApp0}, false);
  junk.insert(junk.end(), {0x12, 0x34});
  EXPECT_TRUE(stripMetadataBytes(junk).empty());
  EXPECT_TRUE(stripMetadataBytes(Bytes{'I', 'I', 42, 0, 8, 0, 0, 0}).empty());
  EXPECT_TRUE(stripMetadataBytes(Bytes{0xFF}).empty());
}

TEST(WriteExifBytes, BareTiffBlockIsReplacedByTheBlock) {
  TiffBuilder b(true);
  std::vector<TiffDir> dirs(1);
  dirs[0].entries = {b.ascii(0x010F, "Make")};
  Bytes src = b.build(dirs);
  EditSession s = parseExifBytes(src);
  setArtist(s, "x");
  EXPECT_EQ(writeExifBytes(src, s), serialize(s));
  EXPECT_TRUE(writeExifBytes(Bytes{'G', 'I', 'F', '8'}, s).empty());
}

// A complete TIFF picture: 4x2 grey, two strips, in either byte order.
Bytes tinyTiff(bool be, bool bigMakerNote = false) {
  TiffBuilder b(be);
  std::vector<TiffDir> dirs(2);
  Bytes note(24, 0x5A);
  dirs[0].entries = {b.shorts(256, {4}),          b.shorts(257, {2}),
                     b.shorts(258, {8}),          b.shorts(259, {1}),
                     b.shorts(262, {1}),          b.longs(273, {0, 0}),
                     b.shorts(277, {1}),          b.shorts(278, {1}),
                     b.longs(279, {4, 4}),        b.ascii(0x010F, "Scanner"),
                     b.pointer(0x8769, 1)};
  dirs[1].entries = {b.shorts(0x8827, {200})};
  if (bigMakerNote) dirs[1].entries.push_back(b.bytes(0x927C, 7, note));
  Bytes out = b.build(dirs);
  // Pixel strips after the directories; patch StripOffsets.
  const uint32_t s0 = static_cast<uint32_t>(out.size());
  out.insert(out.end(), {10, 20, 30, 40, 50, 60, 70, 80});
  // StripOffsets is IFD0's 6th entry; its value (2 LONGs) lies out of line.
  const size_t entry = 8 + 2 + 12 * 5;
  uint32_t at = be ? (uint32_t{out[entry + 8]} << 24 | out[entry + 9] << 16 | out[entry + 10] << 8 |
                      out[entry + 11])
                   : (out[entry + 8] | out[entry + 9] << 8 | out[entry + 10] << 16 |
                      uint32_t{out[entry + 11]} << 24);
  Bytes offs;
  b.put32(offs, s0);
  b.put32(offs, s0 + 4);
  std::memcpy(out.data() + at, offs.data(), 8);
  return out;
}

TEST(WriteExifTiff, FullTiffKeepsItsPixelsAndTakesTheEdits) {
  for (bool be : {false, true}) {
    Bytes src = tinyTiff(be, true);
    ASSERT_TRUE(isFullTiff(src));
    EditSession s = parseExifBytes(src);
    setArtist(s, "Edited");
    setGps(s, 10, 20, 30);
    Bytes out = writeExifBytes(src, s);
    ASSERT_GT(out.size(), src.size());
    EXPECT_TRUE(std::equal(src.begin() + 8, src.end(), out.begin() + 8))
        << "source bytes moved";
    EXPECT_EQ(out[0], src[0]);
    Metadata md = readMetadataFromBytes(out);
    EXPECT_EQ(md.tags["Artist"], "Edited");
    EXPECT_EQ(md.tags["Make"], "Scanner");
    EXPECT_EQ(md.tags["ISO"], "200");
    EXPECT_EQ(md.tags["ImageWidth"], "4");
    EXPECT_TRUE(md.hasGps());
    // stripAll keeps the picture's own structure.
    stripAll(s);
    Metadata stripped = readMetadataFromBytes(writeExifBytes(src, s));
    EXPECT_EQ(stripped.tags["ImageWidth"], "4");
    EXPECT_EQ(stripped.tags.count("Make"), 0u);
    EXPECT_EQ(stripped.tags.count("ISO"), 0u);
  }
}

TEST(WriteExifTiff, BigTiffIsRefused) {
  Bytes big = {'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0};
  EditSession s;
  setArtist(s, "x");
  EXPECT_TRUE(writeExifBytes(big, s).empty());
}

}  // namespace
}  // namespace kd::exif
