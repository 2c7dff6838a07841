// ISO base media: box sizes, the HEIF item table with the field positions a
// writer patches, the Exif item and its scan fallback, and movie metadata.
#include "exif/isobmff.h"

#include <gtest/gtest.h>

#include "exif/exif.h"
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

const ByteVec kFtyp = box("ftyp", bytesOf("heic\0\0\0\0mif1heic"));

ByteVec infe(uint8_t version, uint32_t id, const std::string& type, const std::string& mime = "") {
  ByteVec c;
  putBe(c, id, version < 3 ? 2 : 4);
  putBe(c, 0, 2);
  append(c, type);
  append(c, std::string("name"));
  c.push_back(0);
  if (!mime.empty()) {
    append(c, mime);
    c.push_back(0);
  }
  return fullBox("infe", version, c);
}

ByteVec iinf(const std::vector<ByteVec>& entries, uint8_t version = 0) {
  ByteVec c;
  putBe(c, entries.size(), version == 0 ? 2 : 4);
  for (const ByteVec& e : entries) append(c, e);
  return fullBox("iinf", version, c);
}

struct Extent {
  uint64_t offset;
  uint64_t length;
};
struct Loc {
  uint32_t id;
  int method;
  uint64_t base;
  std::vector<Extent> extents;
};

// iloc with the given field sizes (offset, length, base, index).
ByteVec iloc(uint8_t version, int os, int ls, int bs, int is, const std::vector<Loc>& items) {
  ByteVec c = {static_cast<uint8_t>(os << 4 | ls), static_cast<uint8_t>(bs << 4 | is)};
  const int wide = version == 2 ? 4 : 2;
  putBe(c, items.size(), wide);
  for (const Loc& it : items) {
    putBe(c, it.id, wide);
    if (version >= 1) putBe(c, static_cast<uint64_t>(it.method), 2);
    putBe(c, 0, 2);
    putBe(c, it.base, bs);
    putBe(c, it.extents.size(), 2);
    for (const Extent& e : it.extents) {
      if (version >= 1) putBe(c, 0xAA, is);
      putBe(c, e.offset, os);
      putBe(c, e.length, ls);
    }
  }
  return fullBox("iloc", version, c);
}

ByteVec metaOf(const std::vector<ByteVec>& children) {
  return fullBox("meta", 0, concat(children));
}

// ftyp, meta, then an mdat whose content starts at a known position.
ByteVec heif(const ByteVec& meta, const ByteVec& mdatContent) {
  return concat({kFtyp, meta, box("mdat", mdatContent)});
}

// The Exif item payload: a 4-byte TIFF-header offset, then the header.
ByteVec exifPayload(const ByteVec& prefix) {
  ByteVec p;
  putBe(p, prefix.size(), 4);
  append(p, prefix);
  append(p, ByteVec{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0});
  return p;
}

TEST(IsobmffItems, InfeVersionsAndMimeContentType) {
  ByteVec meta = metaOf({iinf({infe(2, 7, "Exif"), infe(3, 70000, "mime", "application/rdf+xml"),
                               infe(2, 1, "hvc1")}, 1)});
  ItemRecords items = parseItemRecords(heif(meta, {}));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[7].itemType, "Exif");
  EXPECT_EQ(items[70000].itemType, "mime");
  EXPECT_EQ(items[70000].contentType, "application/rdf+xml");
  EXPECT_EQ(items[1].contentType, "");
  EXPECT_FALSE(items[7].located);
}

// Each iloc version and field-size layout: the recorded offset and length
// fields must be exactly where a writer would patch them.
TEST(IsobmffItems, IlocFieldPositionsForEveryLayout) {
  struct Case {
    uint8_t version;
    int os, ls, bs, is;
  };
  for (const Case& k : {Case{0, 4, 4, 0, 0}, Case{0, 8, 8, 4, 0}, Case{1, 4, 4, 4, 4},
                        Case{1, 4, 0, 8, 8}, Case{2, 8, 4, 0, 4}, Case{2, 0, 4, 4, 0}}) {
    SCOPED_TRACE(testing::Message() << "v" << int(k.version) << " " << k.os << k.ls << k.bs << k.is);
    ByteVec meta = metaOf({iinf({infe(2, 3, "Exif")}),
                           iloc(k.version, k.os, k.ls, k.bs, k.is,
                                {{3, k.version ? 0 : 0, k.bs ? 100u : 0u, {{k.os ? 20u : 0u, 30}, {1, 2}}}})});
    ByteVec file = heif(meta, ByteVec(200, 0));
    ItemRecord r = parseItemRecords(file)[3];
    ASSERT_TRUE(r.located);
    EXPECT_EQ(r.extentCount, 2);
    EXPECT_EQ(r.offset, (k.bs ? 100 : 0) + (k.os ? 20 : 0));
    EXPECT_EQ(r.length, k.ls ? 30 : 0);
    EXPECT_EQ(r.offsetSize, k.os);
    EXPECT_EQ(r.lengthSize, k.ls);
    EXPECT_EQ(r.baseOffset, k.bs ? 100 : 0);
    EXPECT_EQ(beInt(file, r.offsetFieldPos, r.offsetSize), k.os ? 20 : 0);
    EXPECT_EQ(beInt(file, r.lengthFieldPos, r.lengthSize), k.ls ? 30 : 0);
    EXPECT_EQ(r.lengthFieldPos, r.offsetFieldPos + k.os);
  }
}

TEST(IsobmffItems, ConstructionMethodAndTruncatedIloc) {
  ByteVec loc = iloc(1, 4, 4, 0, 0, {{5, 1, 0, {{8, 20}}}, {6, 0, 0, {{40, 10}}}});
  ItemRecords items = parseItemRecords(heif(metaOf({loc}), {}));
  EXPECT_EQ(items[5].constructionMethod, 1);
  EXPECT_EQ(items[6].offset, 40);
  // Cutting the box short keeps the first item only.
  ByteVec cut = loc;
  cut.resize(cut.size() - 3);
  cut[3] = static_cast<uint8_t>(cut.size());
  items = parseItemRecords(heif(metaOf({cut}), {}));
  EXPECT_EQ(items.size(), 1u);
  EXPECT_EQ(items.count(5), 1u);
  // No ftyp, no table.
  EXPECT_TRUE(parseItemRecords(metaOf({loc})).empty());
}

TEST(IsobmffItems, TableStopsGrowingAtTheItemLimit) {
  // 70,000 six-byte location entries with 32-bit IDs, then an info entry
  // for an ID read before the limit and one for an ID past it.
  std::vector<Loc> locs;
  for (uint32_t id = 1; id <= 70000; ++id) locs.push_back({id, 0, 0, {}});
  ByteVec meta = metaOf({iloc(2, 4, 4, 0, 0, locs),
                         iinf({infe(3, 5, "Exif"), infe(3, 69999, "mime", "text/x")}, 1)});
  ItemRecords items = parseItemRecords(heif(meta, {}));
  EXPECT_EQ(items.size(), kMaxItems);
  EXPECT_EQ(items.rbegin()->first, kMaxItems);
  EXPECT_EQ(items[5].itemType, "Exif");
  EXPECT_EQ(items.count(69999), 0u);
}

TEST(IsobmffExif, HeaderOffsetInsideTheItem) {
  ByteVec payload = exifPayload(bytesOf(std::string("Exif\0\0", 6)));
  ByteVec meta = metaOf({iinf({infe(2, 9, "Exif"), infe(2, 4, "Exif")}),
                         iloc(0, 4, 4, 0, 0, {{4, 0, 0, {{0, 0}}}, {9, 0, 0, {{0, 0}}}})});
  ByteVec file = heif(meta, payload);
  const int64_t mdat = static_cast<int64_t>(file.size() - payload.size());
  // Point both items at the payload; the lowest ID (4) is the one used.
  auto patch = [&](uint32_t id, uint64_t off, uint64_t len) {
    ItemRecord r = parseItemRecords(file)[id];
    for (int i = 0; i < 4; ++i) {
      file[r.offsetFieldPos + i] = static_cast<uint8_t>(off >> (24 - 8 * i));
      file[r.lengthFieldPos + i] = static_cast<uint8_t>(len >> (24 - 8 * i));
    }
  };
  patch(4, mdat, payload.size());
  patch(9, 0, 8);
  EXPECT_EQ(locateExifItem(file).offset, mdat);
  EXPECT_EQ(findExifTiffInIsobmff(file), mdat + 10);
  EXPECT_EQ(exifTiffBase(file), mdat + 10);
  // An extent ending past the file, or shorter than the header, is refused.
  patch(4, mdat, payload.size() + 1);
  EXPECT_EQ(findExifTiffInIsobmff(file), std::nullopt);
  patch(4, mdat, 4);
  EXPECT_EQ(findExifTiffInIsobmff(file), std::nullopt);
}

TEST(IsobmffExif, TwoExtentsFallBackToTheScan) {
  ByteVec payload = exifPayload(bytesOf(std::string("Exif\0\0", 6)));
  ByteVec meta = metaOf({iinf({infe(2, 1, "Exif")}),
                         iloc(0, 4, 4, 0, 0, {{1, 0, 0, {{0, 4}, {0, 4}}}})});
  ByteVec file = heif(meta, payload);
  EXPECT_EQ(findExifTiffInIsobmff(file), std::nullopt);
  const int64_t tiff = static_cast<int64_t>(file.size() - 14);
  EXPECT_EQ(findExifInHEIC(file), tiff);
  EXPECT_EQ(exifTiffBase(file), tiff);
  // The TIFF magic must follow "Exif" within 64 bytes.
  ByteVec far = bytesOf("Exif");
  far.resize(70, ' ');
  append(far, ByteVec{'I', 'I', 42, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(findExifInHEIC(far), std::nullopt);
  EXPECT_EQ(findExifInHEIC(bytesOf("ExifII*")), std::nullopt);
}

TEST(IsobmffBoxes, LargeAndToEndSizes) {
  // A 64-bit sized box before meta, and a size-0 mdat running to the end.
  ByteVec large = {0, 0, 0, 1, 'f', 'r', 'e', 'e'};
  putBe(large, 16 + 3, 8);
  large.insert(large.end(), {1, 2, 3});
  ByteVec meta = metaOf({iinf({infe(2, 2, "Exif")}), iloc(0, 4, 4, 0, 0, {{2, 0, 0, {{0, 0}}}})});
  ByteVec file = concat({kFtyp, large, meta});
  EXPECT_EQ(parseItemRecords(file).count(2), 1u);
  ByteVec toEnd = {0, 0, 0, 0, 'm', 'o', 'o', 'v'};
  append(toEnd, box("mvhd", ByteVec{0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  Metadata md = readMetadataFromBytes(concat({kFtyp, toEnd}));
  EXPECT_TRUE(md.isValid);
  EXPECT_EQ(md.dateTime, parseMP4Time(5));
}

ByteVec dataBox(const std::string& value, uint32_t indicator = 1) {
  ByteVec c;
  putBe(c, indicator, 4);
  putBe(c, 0, 4);
  append(c, value);
  return box("data", c);
}

ByteVec mvhd(uint8_t version, uint64_t created) {
  ByteVec c;
  if (version == 0) {
    putBe(c, created, 4);
    c.resize(96, 0);
  } else {
    putBe(c, created, 8);
    c.resize(108, 0);
  }
  return fullBox("mvhd", version, c);
}

ByteVec tkhd(uint32_t width, uint32_t height) {
  ByteVec c(72, 0);
  putBe(c, uint64_t{width} << 16, 4);
  putBe(c, uint64_t{height} << 16, 4);
  return fullBox("tkhd", 0, c);
}

ByteVec keys(const std::vector<std::string>& names) {
  ByteVec c;
  putBe(c, names.size(), 4);
  for (const std::string& n : names) {
    putBe(c, n.size() + 8, 4);
    append(c, std::string("mdta"));
    append(c, n);
  }
  return fullBox("keys", 0, c);
}

ByteVec indexedItem(uint32_t index, const ByteVec& content) {
  ByteVec out;
  putBe(out, content.size() + 8, 4);
  putBe(out, index, 4);
  append(out, content);
  return out;
}

TEST(IsobmffMovie, KeysIndexIlstItems) {
  ByteVec ilst = box("ilst", concat({indexedItem(2, dataBox("Model X")),
                                     indexedItem(1, concat({dataBox("binary", 0), dataBox("Maker")})),
                                     indexedItem(3, dataBox("out of range")),
                                     indexedItem(0, dataBox("zero"))}));
  ByteVec moov = concat({mvhd(1, 4000000000ull),
                         fullBox("meta", 0, concat({keys({"com.apple.quicktime.make",
                                                          "com.apple.quicktime.model"}),
                                                    ilst})),
                         box("trak", concat({tkhd(640, 480)})), box("trak", tkhd(320, 720))});
  VideoMeta vm = parseIsobmff(moov);
  EXPECT_EQ(vm.make, "Maker");
  EXPECT_EQ(vm.model, "Model X");
  EXPECT_EQ(vm.creationDate, "MP4-Time-V1:4000000000");
  EXPECT_EQ(vm.maxTrackWidth, 640);
  EXPECT_EQ(vm.maxTrackHeight, 720);
}

// QuickTime writes "meta" without version and flags, "hdlr" first: its
// items are read all the same.
TEST(IsobmffMovie, QuickTimeMetaWithoutVersion) {
  ByteVec hdlr = fullBox("hdlr", 0, ByteVec(20, 0));
  ByteVec meta = box("meta", concat({hdlr, keys({"com.apple.quicktime.software",
                                                  "com.apple.quicktime.creationdate"}),
                                     box("ilst", concat({indexedItem(1, dataBox("12.3")),
                                                         indexedItem(2, dataBox("2019-07-24T11:25:40+0300"))}))}));
  VideoMeta vm = parseIsobmff(meta);
  EXPECT_EQ(vm.software, "12.3");
  EXPECT_EQ(vm.creationDate, "String:2019-07-24T11:25:40+0300");
}

TEST(IsobmffMovie, DayItemAfterMovieHeaderKeepsTheHeaderDate) {
  ByteVec day = {0xA9, 'd', 'a', 'y'};
  ByteVec value = dataBox("2020-01-02 03:04:05");
  ByteVec item;
  putBe(item, 8 + value.size(), 4);
  append(item, day);
  append(item, value);
  ByteVec udta = box("udta", fullBox("meta", 0, box("ilst", item)));
  EXPECT_EQ(parseIsobmff(concat({mvhd(0, 77), udta})).creationDate, "MP4-Time-V0:77");
  EXPECT_EQ(parseIsobmff(udta).creationDate, "String:2020-01-02 03:04:05");
  Metadata md;
  applyVideoMeta(md, parseIsobmff(udta));
  EXPECT_EQ(md.dateTime.year, 2020);
  EXPECT_TRUE(md.isValid);
}

// Boxes nested 33 deep: the walk reads down to depth 32 and does not enter
// the box found there.
TEST(IsobmffMovie, DepthLimit) {
  auto nest = [](int levels, const ByteVec& inner) {
    ByteVec b = inner;
    for (int i = 0; i < levels; ++i) b = box("trak", b);
    return b;
  };
  EXPECT_EQ(parseIsobmff(nest(32, mvhd(0, 9))).creationDate, "MP4-Time-V0:9");
  EXPECT_EQ(parseIsobmff(nest(33, mvhd(0, 9))).creationDate, "");
}

TEST(IsobmffMovie, FallbackScanGuessesFromParentType) {
  // Items inside a box the walk does not know still give their values.
  ByteVec mak = {0xA9, 'm', 'a', 'k'};
  ByteVec item;
  putBe(item, 8 + 21, 4);
  append(item, mak);
  append(item, dataBox("Canon"));
  ByteVec phone = box("xyzw", dataBox("iPhone 12"));
  ByteVec moov = box("wxyz", concat({item, phone, box("abcd", dataBox("Apple"))}));
  VideoMeta vm = parseIsobmff(moov);
  EXPECT_EQ(vm.make, "Canon");
  EXPECT_EQ(vm.model, "iPhone 12");
  EXPECT_EQ(readStringData(concat({dataBox("x", 2), dataBox("utf8")})), "utf8");
}

}  // namespace
}  // namespace kd::exif
