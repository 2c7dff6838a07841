// The EXIF block writer: byte-exact layouts, sort order, padding, the
// interoperability directory and the maker note's place.
#include <gtest/gtest.h>

#include "base/error.h"
#include "exif/edit.h"
#include "exif/exif.h"
#include "support/tiff_builder.h"

namespace kd::exif {
namespace {

using test::TiffBuilder;
using test::TiffDir;

uint16_t u16(const Bytes& b, size_t p) { return static_cast<uint16_t>(b[p] | b[p + 1] << 8); }
uint32_t u32(const Bytes& b, size_t p) {
  return b[p] | b[p + 1] << 8 | b[p + 2] << 16 | static_cast<uint32_t>(b[p + 3]) << 24;
}

TEST(Serialize, EmptySessionIsFourteenBytes) {
  EditSession s;
  EXPECT_EQ(serialize(s), (Bytes{0x49, 0x49, 0x2A, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Serialize, ThreeLetterArtistInline) {
  EditSession s;
  setArtist(s, "Ann");
  Bytes want = {0x49, 0x49, 0x2A, 0, 8, 0, 0, 0, 1, 0, 0x3B, 0x01, 2, 0, 4, 0, 0, 0,
                'A',  'n',  'n',  0, 0, 0, 0, 0};
  EXPECT_EQ(serialize(s), want);
}

TEST(Serialize, ExifDirectoryAt38AfterOneIfd0Tag) {
  EditSession s;
  setArtist(s, "Ann");
  setTagByName(s, "ISO", "100");
  Bytes b = serialize(s);
  EXPECT_EQ(u16(b, 8), 2);
  EXPECT_EQ(u16(b, 10), 0x013B);
  EXPECT_EQ(u16(b, 22), 0x8769);
  EXPECT_EQ(u32(b, 30), 38u);
  EXPECT_EQ(u16(b, 38), 1);
  EXPECT_EQ(b.size(), 38u + 18u);
}

TEST(Serialize, TagsSortedWithPointersInPlace) {
  EditSession s;
  setTagByName(s, "Copyright", "c");     // 0x8298
  setGps(s, 1, 2, 3);                    // GPS pointer 0x8825
  setTagByName(s, "Make", "m");          // 0x010F
  s.ifd0.set(0x8769, longVal({999}));    // stale pointer, regenerated
  s.ifd0.set(0x9000, asciiVal("z"));     // sorts after both pointers
  Bytes b = serialize(s);
  ASSERT_EQ(u16(b, 8), 4);
  std::vector<uint16_t> tags;
  for (int i = 0; i < 4; ++i) tags.push_back(u16(b, 10 + 12 * i));
  EXPECT_EQ(tags, (std::vector<uint16_t>{0x010F, 0x8298, 0x8825, 0x9000}));
  EXPECT_EQ(u32(b, 10 + 12 * 2 + 8), 8u + 12 * 4 + 6) << "GPS right after IFD0";
}

TEST(Serialize, ValueAreaPaddingAndInlineLimit) {
  EditSession s;
  s.ifd0.set(0x0100, asciiVal("abcd"));  // 5 bytes: out of line, one pad byte
  s.ifd0.set(0x0101, asciiVal("xyz"));   // 4 bytes: inline
  s.ifd0.set(0x0102, asciiVal("12345"));
  s.ifd0.set(0x0103, parseTyped(kShort, ""));
  Bytes b = serialize(s);
  const uint32_t area = 8 + 12 * 4 + 6;
  EXPECT_EQ(u32(b, 10 + 8), area);
  EXPECT_EQ(std::string(b.begin() + 22 + 8, b.begin() + 22 + 11), "xyz");
  EXPECT_EQ(u32(b, 34 + 8), area + 6);
  EXPECT_EQ(b[area + 5], 0);
  EXPECT_EQ(u16(b, 46 + 2), kShort);
  EXPECT_EQ(u32(b, 46 + 4), 0u);
  EXPECT_EQ(u32(b, 46 + 8), 0u);
  EXPECT_EQ(b.size(), area + 6 + 6);
}

TEST(Serialize, GroupOrderOfValues) {
  EditSession s;
  s.ifd0.set(0x0100, asciiVal("ifd0 text"));
  s.exif.set(0x9003, asciiVal("exif text"));
  s.gps.set(0x0002, rationalSeq({{1, 1}, {2, 1}, {3, 1}}));
  Bytes b = serialize(s);
  const uint32_t area = 8 + 12 * 3 + 6 + 18 + 18;
  EXPECT_EQ(u32(b, 10 + 8), area);
  EXPECT_EQ(u32(b, 8 + 42 + 2 + 8), area + 10);
  EXPECT_EQ(u32(b, 8 + 42 + 18 + 2 + 8), area + 20);
}

TEST(Encode, ByteOrderOfFloatsFromBigEndianSources) {
  EditValue d;
  d.type = kDouble;
  d.count = 2;
  d.raw = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(encode(d, true).bytes,
            (Bytes{8, 7, 6, 5, 4, 3, 2, 1, 16, 15, 14, 13, 12, 11, 10, 9}));
  EXPECT_EQ(encode(d, false).bytes, d.raw);
  EXPECT_EQ(encode(d, true).count, 2u);
  EditValue f = d;
  f.type = kFloat;
  f.raw.resize(6);
  EXPECT_EQ(encode(f, true).bytes, (Bytes{4, 3, 2, 1, 5, 6}));
  EditValue u = byteVal({1, 2, 3, 4, 5});
  u.type = kUndefined;
  EXPECT_EQ(encode(u, true).bytes, u.raw);
}

TEST(Encode, SignedValuesOutOfRangeAreRejected) {
  EditValue v;
  v.type = kSShort;
  v.ints = {40000};
  EXPECT_THROW(encode(v, false), base::KeldraException);
  v.type = kSLong;
  v.ints = {-1};
  EXPECT_EQ(encode(v, false).bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  v.type = kShort;
  v.ints = {0x12345};
  EXPECT_EQ(encode(v, false).bytes, (Bytes{0x45, 0x23}));
}

TEST(IfdSize, ChecksOverflow) {
  EXPECT_EQ(ifdSize(0), 6);
  EXPECT_EQ(ifdSize(3), 42);
  EXPECT_THROW(ifdSize(INT64_MAX / 2), base::KeldraException);
}

// The interoperability directory travels with the block and its pointer
// leads to it, so readers find "R98" again.
TEST(Serialize, InteropDirectoryCarriedWithFixedPointer) {
  TiffBuilder b(true);
  std::vector<TiffDir> dirs(3);
  dirs[0].entries = {b.ascii(0x010F, "Make"), b.pointer(0x8769, 1)};
  dirs[1].entries = {b.shorts(0xA001, {1}), b.pointer(0xA005, 2)};
  dirs[2].entries = {b.ascii(1, "R98"), b.bytes(2, 7, {'0', '1', '0', '0'})};
  EditSession s = parseExifBytes(b.build(dirs));
  setArtist(s, "Someone with a long name");
  Bytes block = serialize(s);
  Metadata md = readMetadataFromBytes(test::jpegWithExif(block));
  EXPECT_EQ(md.tags["InteropIndex"], "R98 - DCF basic file (sRGB)");
  EXPECT_EQ(md.tags["InteropVersion"], "0100");
  EXPECT_EQ(md.tags["Artist"], "Someone with a long name");
  // Without an Exif directory the interop directory has nowhere to hang.
  s.exif.clear();
  Bytes bare = serialize(s);
  EXPECT_EQ(readMetadataFromBytes(test::jpegWithExif(bare)).tags.count("InteropIndex"), 0u);
}

// A maker note whose internal offsets count from the TIFF header stays at
// its source offset when the new directories end before it.
TEST(Serialize, MakerNoteKeepsItsOffsetFromTheTiffHeader) {
  TiffBuilder b(false);
  std::vector<TiffDir> dirs(2);
  Bytes note(40);
  for (size_t i = 0; i < note.size(); ++i) note[i] = static_cast<uint8_t>(i + 1);
  dirs[0].entries = {b.ascii(0x010F, "Canon"), b.ascii(0x0110, "Some long model name"),
                     b.pointer(0x8769, 1)};
  dirs[1].entries = {b.ascii(0x9003, "2020:01:01 00:00:00"), b.bytes(0x927C, 7, note)};
  Bytes src = b.build(dirs);
  EditSession s = parseExifBytes(src);
  ASSERT_GE(s.makerNote.offset, 0);
  setArtist(s, "A long artist name that needs the value area");
  Bytes out = serialize(s);
  ASSERT_GE(out.size(), static_cast<size_t>(s.makerNote.offset + 40));
  EXPECT_TRUE(std::equal(note.begin(), note.end(), out.begin() + s.makerNote.offset));
  Metadata md = readMetadataFromBytes(test::jpegWithExif(out));
  EXPECT_EQ(md.tags["Artist"], "A long artist name that needs the value area");
  EXPECT_EQ(md.tags["DateTimeOriginal"], "2020:01:01 00:00:00");
  EXPECT_EQ(md.tags["Model"], "Some long model name");

  // Directories that grew past the note's offset: the note moves, whole.
  for (int i = 0; i < 10; ++i) s.ifd0.set(static_cast<uint16_t>(0x0200 + i), longVal({1}));
  Bytes moved = serialize(s);
  EXPECT_NE(std::search(moved.begin(), moved.end(), note.begin(), note.end()), moved.end());
}

TEST(Serialize, BigEndianSourceWithMakerNoteStaysBigEndian) {
  TiffBuilder b(true);
  std::vector<TiffDir> dirs(2);
  dirs[0].entries = {b.pointer(0x8769, 1)};
  dirs[1].entries = {b.bytes(0x927C, 7, Bytes(12, 7)), b.shorts(0x8827, {400})};
  EditSession s = parseExifBytes(b.build(dirs));
  Bytes out = serialize(s);
  EXPECT_EQ(out[0], 'M');
  EditSession back = parseExifBytes(out);
  EXPECT_EQ(back.exif.find(0x8827)->ints, std::vector<int64_t>{400});
  s.exif.erase(0x927C);
  EXPECT_EQ(serialize(s)[0], 'I');
}

}  // namespace
}  // namespace kd::exif
