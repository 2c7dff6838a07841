// HEIF rewriting: the Exif item in place and in an appended mdat, fields too
// small for the new place, and blanking Exif and XMP items.
#include <gtest/gtest.h>

#include <cstring>

#include "exif/edit.h"
#include "exif/isobmff.h"
#include "support/container_builder.h"

namespace kd::exif {
namespace {

using test::append;
using test::box;
using test::ByteVec;
using test::bytesOf;
using test::concat;
using test::fullBox;
using test::putBe;

ByteVec infe(uint32_t id, const std::string& type, const std::string& mime = "") {
  ByteVec c;
  putBe(c, id, 2);
  putBe(c, 0, 2);
  append(c, type);
  c.push_back(0);
  if (!mime.empty()) {
    append(c, mime);
    c.push_back(0);
  }
  return fullBox("infe", 2, c);
}

// ftyp, meta (Exif item 1, XMP item 2, picture item 3; iloc version 0 with
// 4-byte offsets and `lengthSize`-byte lengths), mdat with the three extents.
struct Heif {
  ByteVec file;
  int64_t exifAt, xmpAt, pictureAt;
};

Heif makeHeif(size_t exifLen, size_t xmpLen, int lengthSize = 4) {
  const ByteVec ftyp = box("ftyp", bytesOf(std::string("heic\0\0\0\0mif1heic", 16)));
  auto metaWith = [&](uint64_t exifOff, uint64_t xmpOff, uint64_t picOff) {
    ByteVec infos;
    putBe(infos, 3, 2);
    append(infos, infe(1, "Exif"));
    append(infos, infe(2, "mime", "application/rdf+xml"));
    append(infos, infe(3, "hvc1"));
    ByteVec loc = {static_cast<uint8_t>(4 << 4 | lengthSize), 0};
    putBe(loc, 3, 2);
    const std::pair<uint64_t, uint64_t> ext[3] = {{exifOff, exifLen}, {xmpOff, xmpLen}, {picOff, 6}};
    for (uint32_t id = 1; id <= 3; ++id) {
      putBe(loc, id, 2);
      putBe(loc, 0, 2);
      putBe(loc, 1, 2);
      putBe(loc, ext[id - 1].first, 4);
      putBe(loc, ext[id - 1].second, lengthSize);
    }
    return fullBox("meta", 0, concat({fullBox("iinf", 0, infos), fullBox("iloc", 0, loc)}));
  };
  const size_t start = ftyp.size() + metaWith(0, 0, 0).size() + 8;
  Heif h;
  h.exifAt = static_cast<int64_t>(start);
  h.xmpAt = h.exifAt + static_cast<int64_t>(exifLen);
  h.pictureAt = h.xmpAt + static_cast<int64_t>(xmpLen);
  ByteVec content(exifLen, 0xEE);
  content.resize(exifLen + xmpLen, 'x');
  append(content, ByteVec{1, 2, 3, 4, 5, 6});
  h.file = concat({ftyp,
                   metaWith(static_cast<uint64_t>(h.exifAt), static_cast<uint64_t>(h.xmpAt),
                            static_cast<uint64_t>(h.pictureAt)),
                   box("mdat", content)});
  return h;
}

// A block whose payload (4 zero bytes + block) is exactly `n` bytes.
Bytes blockOfPayload(size_t n) {
  EditSession s;
  s.ifd0.set(0x9999, byteVal(Bytes(n - 4 - 26, 7)));
  Bytes b = serialize(s);
  EXPECT_EQ(b.size() + 4, n);
  return b;
}

TEST(WriteExifIsobmff, InPlaceWhenThePayloadFits) {
  Heif h = makeHeif(1000, 10);
  const Bytes block = blockOfPayload(600);
  Bytes out = writeExifIsobmff(h.file, block);
  ASSERT_EQ(out.size(), h.file.size());
  const ItemRecord item = locateExifItem(out);
  EXPECT_EQ(item.offset, h.exifAt);
  EXPECT_EQ(item.length, 600);
  EXPECT_EQ(Bytes(out.begin() + h.exifAt, out.begin() + h.exifAt + 4), Bytes(4, 0));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), out.begin() + h.exifAt + 4));
  EXPECT_EQ(Bytes(out.begin() + h.exifAt + 600, out.begin() + h.exifAt + 1000), Bytes(400, 0));
  EXPECT_EQ(Bytes(out.begin() + h.exifAt + 1000, out.end()),
            Bytes(h.file.begin() + h.exifAt + 1000, h.file.end()));
  EXPECT_EQ(parseExifBytes(out).ifd0.find(0x9999)->raw.size(), 570u);
}

TEST(WriteExifIsobmff, AppendedMdatWhenItDoesNot) {
  Heif h = makeHeif(1000, 10);
  const Bytes block = blockOfPayload(1200);
  Bytes out = writeExifIsobmff(h.file, block);
  ASSERT_EQ(out.size(), h.file.size() + 1208);
  const size_t d = h.file.size();
  EXPECT_EQ(Bytes(out.begin() + d, out.begin() + d + 8),
            (Bytes{0, 0, 0x04, 0xB8, 'm', 'd', 'a', 't'}));
  const ItemRecord item = locateExifItem(out);
  EXPECT_EQ(item.offset, static_cast<int64_t>(d + 8));
  EXPECT_EQ(item.length, 1200);
  EXPECT_TRUE(std::equal(h.file.begin(), h.file.begin() + h.exifAt, out.begin()) == false)
      << "the iloc fields were patched";
  EXPECT_EQ(Bytes(out.begin() + h.exifAt, out.begin() + static_cast<ptrdiff_t>(d)),
            Bytes(h.file.begin() + h.exifAt, h.file.end()))
      << "old extent and the rest stay";
  EXPECT_EQ(parseExifBytes(out).ifd0.find(0x9999)->raw.size(), 1170u);
}

// A length field that cannot hold the new size: the write fails instead of
// returning the file unedited as if it had succeeded.
TEST(WriteExifIsobmff, FieldsTooSmallFail) {
  Heif h = makeHeif(200, 10, 0);
  EXPECT_TRUE(writeExifIsobmff(h.file, blockOfPayload(100)).empty());
  EXPECT_TRUE(writeExifIsobmff(bytesOf(std::string("\0\0\0\x0c" "ftypheic", 12)),
                               blockOfPayload(100))
                  .empty());
}

TEST(StripIsobmff, BlanksExifAndXmpInPlace) {
  for (size_t xmpLen : {300u, 100u}) {
    Heif h = makeHeif(64, xmpLen);
    Bytes out = stripIsobmff(h.file);
    ASSERT_EQ(out.size(), h.file.size());
    const Bytes emptyTiff = {0, 0, 0, 0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(out.begin() + h.exifAt, out.begin() + h.exifAt + 18), emptyTiff);
    EXPECT_EQ(Bytes(out.begin() + h.exifAt + 18, out.begin() + h.xmpAt), Bytes(46, 0));
    Bytes xmp(out.begin() + h.xmpAt, out.begin() + h.pictureAt);
    if (xmpLen >= 192) {
      EXPECT_EQ(std::string(xmp.begin(), xmp.begin() + 192), std::string(kEmptyXmpPacket));
      EXPECT_EQ(Bytes(xmp.begin() + 192, xmp.end()), Bytes(xmpLen - 192, ' '));
    } else {
      EXPECT_EQ(xmp, Bytes(xmpLen, 0));
    }
    EXPECT_EQ(Bytes(out.begin() + h.pictureAt, out.end()), (Bytes{1, 2, 3, 4, 5, 6}));
    EditSession s = parseExifBytes(out);
    EXPECT_TRUE(s.ifd0.empty());
    EXPECT_GT(findExifTiffInIsobmff(out).value_or(0), 0) << "the Exif item is still an EXIF block";
  }
  EXPECT_TRUE(stripIsobmff(bytesOf(std::string("\0\0\0\x0c" "ftypheic", 12))).empty());
}

}  // namespace
}  // namespace kd::exif
