// Edit sessions: opening, decoding entries, the typed value parser and the
// setters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error.h"
#include "exif/edit.h"
#include "support/tiff_builder.h"

namespace kd::exif {
namespace {

using test::TiffBuilder;
using test::TiffDir;
using R = std::vector<std::pair<int64_t, int64_t>>;

// ---- parseTyped ----

struct TypedCase {
  uint8_t type;
  const char* text;
  bool ok;
  std::vector<int64_t> ints;
  R rationals;
  std::vector<uint8_t> raw;
  const char* error = "";
};

class ParseTyped : public ::testing::TestWithParam<TypedCase> {};

TEST_P(ParseTyped, PiecesAndRanges) {
  const TypedCase& c = GetParam();
  if (!c.ok) {
    try {
      parseTyped(c.type, c.text);
      FAIL() << "accepted " << c.text;
    } catch (const base::KeldraException& e) {
      EXPECT_EQ(e.kind(), base::ekInvalid);
      if (*c.error) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
    return;
  }
  EditValue v = parseTyped(c.type, c.text);
  EXPECT_EQ(v.type, c.type);
  EXPECT_EQ(v.ints, c.ints);
  EXPECT_EQ(v.rationals, c.rationals);
  EXPECT_EQ(v.raw, c.raw);
}

constexpr const char* kIntRange = "EXIF integer out of range";
constexpr const char* kRatRange = "EXIF rational out of range";

INSTANTIATE_TEST_SUITE_P(
    Table, ParseTyped,
    ::testing::Values(
        TypedCase{kShort, "6", true, {6}, {}, {}},
        TypedCase{kShort, "100,200", true, {100, 200}, {}, {}},
        TypedCase{kShort, " 1, 2 ,,3 ", true, {1, 2, 3}, {}, {}},
        TypedCase{kShort, "", true, {}, {}, {}},
        TypedCase{kShort, " , ", true, {}, {}, {}},
        TypedCase{kShort, "65535", true, {65535}, {}, {}},
        TypedCase{kShort, "65536", false, {}, {}, {}, kIntRange},
        TypedCase{kShort, "70000", false, {}, {}, {}, kIntRange},
        TypedCase{kShort, "-1", false, {}, {}, {}, kIntRange},
        TypedCase{kShort, "+7", true, {7}, {}, {}},
        TypedCase{kShort, "1.5", false, {}, {}, {}},
        TypedCase{kShort, "abc", false, {}, {}, {}},
        TypedCase{kShort, "-", false, {}, {}, {}},
        TypedCase{kLong, "4294967295", true, {4294967295}, {}, {}},
        TypedCase{kLong, "4294967296", false, {}, {}, {}, kIntRange},
        TypedCase{kLong, "99999999999999999999999", false, {}, {}, {}, kIntRange},
        TypedCase{kSShort, "-32768 32767", true, {-32768, 32767}, {}, {}},
        TypedCase{kSShort, "-32769", false, {}, {}, {}, kIntRange},
        TypedCase{kSShort, "32768", false, {}, {}, {}, kIntRange},
        TypedCase{kSLong, "-2147483648", true, {-2147483648LL}, {}, {}},
        TypedCase{kSLong, "2147483648", false, {}, {}, {}, kIntRange},
        TypedCase{kRational, "28/10", true, {}, {{28, 10}}, {}},
        TypedCase{kRational, "5", true, {}, {{5, 1}}, {}},
        TypedCase{kRational, "1/0", true, {}, {{1, 0}}, {}},
        TypedCase{kRational, "1/2 3/4", true, {}, {{1, 2}, {3, 4}}, {}},
        TypedCase{kRational, "2.8", false, {}, {}, {}},
        TypedCase{kRational, "-1/2", false, {}, {}, {}, kRatRange},
        TypedCase{kRational, "1/4294967296", false, {}, {}, {}, kRatRange},
        TypedCase{kRational, "/5", false, {}, {}, {}},
        TypedCase{kRational, "1/", false, {}, {}, {}},
        TypedCase{kRational, "1/2/3", false, {}, {}, {}},
        TypedCase{kSRational, "-2/3", true, {}, {{-2, 3}}, {}},
        TypedCase{kSRational, "3/-6", true, {}, {{3, -6}}, {}},
        TypedCase{kSRational, "2147483648/1", false, {}, {}, {}, kRatRange},
        TypedCase{kByte, "1 2 258", true, {}, {}, {1, 2, 2}},
        TypedCase{kByte, "-1", true, {}, {}, {255}},
        TypedCase{kUndefined, "0230", true, {}, {}, {230}},
        TypedCase{kUndefined, "ab 1", true, {}, {}, {'a', 'b', ' ', '1'}},
        TypedCase{kUndefined, " ,", true, {}, {}, {' ', ','}},
        TypedCase{kUndefined, "", true, {}, {}, {}}));

TEST(ParseTypedText, AsciiAndOtherTypesKeepTheWholeText) {
  EXPECT_EQ(parseTyped(kAscii, " a, b ").text, " a, b ");
  EXPECT_EQ(parseTyped(kFloat, "1.5").text, "1.5");
}

// ---- setters ----

TEST(SetTagByName, StoresInTheTablesDirectory) {
  EditSession s;
  EXPECT_TRUE(setTagByName(s, "Orientation", "6"));
  ASSERT_NE(s.ifd0.find(0x0112), nullptr);
  EXPECT_EQ(s.ifd0.find(0x0112)->type, kShort);
  EXPECT_EQ(s.ifd0.find(0x0112)->ints, std::vector<int64_t>{6});
  EXPECT_FALSE(setTagByName(s, "orientation", "6"));
  EXPECT_FALSE(setTagByName(s, "NoSuchTag", "1"));

  EXPECT_TRUE(setTagByName(s, "FNumber", "28/10"));
  EXPECT_EQ(s.exif.find(0x829D)->rationals, (R{{28, 10}}));
  EXPECT_FALSE(setTagByName(s, "FNumber", "2.8"));
  EXPECT_FALSE(setTagByName(s, "FNumber", "-1/2"));
  EXPECT_EQ(s.exif.find(0x829D)->rationals, (R{{28, 10}})) << "failed set changed the value";
  EXPECT_TRUE(setTagByName(s, "ExposureCompensation", "-2/3"));
  EXPECT_EQ(s.exif.find(0x9204)->type, kSRational);
  EXPECT_FALSE(setTagByName(s, "ISO", "70000"));
  EXPECT_EQ(s.exif.find(0x8827), nullptr);
  EXPECT_TRUE(setTagByName(s, "ISO", "100,200"));
  EXPECT_EQ(s.exif.find(0x8827)->ints, (std::vector<int64_t>{100, 200}));

  EXPECT_TRUE(setTagByName(s, "UserComment", "hi"));
  const EditValue* uc = s.exif.find(0x9286);
  EXPECT_EQ(uc->type, kUndefined);
  EXPECT_EQ(uc->raw, (Bytes{'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'h', 'i'}));

  EXPECT_TRUE(setTagByName(s, "Make", ""));
  EXPECT_EQ(s.ifd0.find(0x010F)->text, "");
  EXPECT_EQ(encode(*s.ifd0.find(0x010F), false).bytes, Bytes{0});
  EXPECT_EQ(encode(*s.ifd0.find(0x010F), false).count, 1u);
}

TEST(SetTagByName, EveryWritableNameIsAccepted) {
  for (const WritableTag& w : WritableTags) {
    EditSession s;
    const char* text = w.type == kAscii ? "x" : "1";
    EXPECT_TRUE(setTagByName(s, w.name, text)) << w.name;
    const TagList& list = w.ifd == IfdSelector::ifd0 ? s.ifd0 : s.exif;
    ASSERT_NE(list.find(w.tag), nullptr) << w.name;
    EXPECT_EQ(list.find(w.tag)->type, w.type) << w.name;
  }
}

TEST(SetDateTimeOriginal, SameUnvalidatedTextInThreePlaces) {
  EditSession s;
  setDateTimeOriginal(s, "not a date");
  EXPECT_EQ(s.exif.find(0x9003)->text, "not a date");
  EXPECT_EQ(s.exif.find(0x9004)->text, "not a date");
  EXPECT_EQ(s.ifd0.find(0x0132)->text, "not a date");
}

TEST(Dms, DocumentedValuesAndLimits) {
  EXPECT_EQ(dms(48.8583), (R{{48, 1}, {51, 1}, {298800, 10000}}));
  EXPECT_EQ(dms(-122.4194), (R{{122, 1}, {25, 1}, {98400, 10000}}));
  EXPECT_EQ(dms(10.99999999), (R{{10, 1}, {59, 1}, {599999, 10000}}));
  EXPECT_EQ(dms(0), (R{{0, 1}, {0, 1}, {0, 10000}}));
  // Non-finite and enormous inputs stay inside 32-bit rationals.
  EXPECT_EQ(dms(std::nan("")), (R{{0, 1}, {0, 1}, {0, 10000}}));
  EXPECT_EQ(dms(1e300)[0].first, 4294967295);
}

TEST(SetGps, RefsAltitudeAndOrder) {
  EditSession s;
  s.gps.set(0x001D, asciiVal("2020:01:01"));
  setGps(s, -33.8688, 151.2093, -5);
  EXPECT_EQ(s.gps.find(1)->text, "S");
  EXPECT_EQ(s.gps.find(3)->text, "E");
  EXPECT_EQ(s.gps.find(5)->raw, Bytes{1});
  EXPECT_EQ(s.gps.find(5)->type, kByte);
  EXPECT_EQ(s.gps.find(6)->rationals, (R{{500, 100}}));
  EXPECT_EQ(s.gps.find(0), nullptr) << "GPSVersionID is not written";
  EXPECT_NE(s.gps.find(0x001D), nullptr) << "other GPS tags stay";
  setGps(s, 1, -1, 0);
  EXPECT_EQ(s.gps.find(1)->text, "N");
  EXPECT_EQ(s.gps.find(3)->text, "W");
  EXPECT_EQ(s.gps.find(5)->raw, Bytes{0});
}

TEST(StripAll, EmptiesEveryDirectory) {
  EditSession s;
  setArtist(s, "a");
  setDateTimeOriginal(s, "b");
  setGps(s, 1, 2, 3);
  s.interop.set(1, asciiVal("R98"));
  stripAll(s);
  EXPECT_TRUE(s.ifd0.empty() && s.exif.empty() && s.gps.empty() && s.interop.empty());
}

TEST(TagList, ReplacingKeepsThePlace) {
  TagList l;
  l.set(5, asciiVal("a"));
  l.set(2, asciiVal("b"));
  l.set(5, asciiVal("c"));
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l.items()[0].first, 5);
  EXPECT_EQ(l.items()[0].second.text, "c");
}

// ---- opening ----

std::vector<uint8_t> sampleTiff(bool be) {
  TiffBuilder b(be);
  std::vector<TiffDir> dirs(4);
  dirs[0].entries = {b.ascii(0x010F, "Maker"), b.shorts(0x0112, {6}), b.pointer(0x8769, 1),
                     b.pointer(0x8825, 2)};
  dirs[1].entries = {b.rationals(0x829A, {{1, 250}}), b.srationals(0x9204, {{-1, 3}}),
                     b.bytes(0x9000, 7, {'0', '2', '3', '0'}), b.pointer(0xA005, 3),
                     b.doubles(0x9999, {1.5, -2.25})};
  dirs[2].entries = {b.ascii(1, "N"), b.rationals(2, {{1, 1}, {2, 1}, {3, 1}})};
  dirs[3].entries = {b.ascii(1, "R98"), b.bytes(2, 7, {'0', '1', '0', '0'})};
  return b.build(dirs);
}

TEST(ParseExifBytes, ReadsAllFourDirectoriesInEitherByteOrder) {
  for (bool be : {false, true}) {
    std::vector<uint8_t> tiff = sampleTiff(be);
    for (const auto& buf : {tiff, test::jpegWithExif(tiff)}) {
      EditSession s = parseExifBytes(buf);
      EXPECT_EQ(s.sourceBigEndian, be);
      EXPECT_EQ(s.ifd0.size(), 2u) << "pointers are not kept";
      EXPECT_EQ(s.ifd0.find(0x010F)->text, "Maker");
      EXPECT_EQ(s.ifd0.find(0x0112)->ints, std::vector<int64_t>{6});
      EXPECT_EQ(s.exif.find(0x829A)->rationals, (R{{1, 250}}));
      EXPECT_EQ(s.exif.find(0x9204)->rationals, (R{{-1, 3}}));
      EXPECT_EQ(s.exif.find(0x9000)->raw, (Bytes{'0', '2', '3', '0'}));
      EXPECT_EQ(s.exif.find(0xA005), nullptr) << "the interop pointer is regenerated";
      EXPECT_EQ(s.exif.find(0x9999)->count, 2u);
      EXPECT_EQ(s.exif.find(0x9999)->raw.size(), 16u);
      EXPECT_EQ(s.gps.find(2)->rationals, (R{{1, 1}, {2, 1}, {3, 1}}));
      EXPECT_EQ(s.interop.find(1)->text, "R98");
    }
  }
}

TEST(ParseExifBytes, UnreadableInteropPointerIsDropped) {
  TiffBuilder b(false);
  std::vector<TiffDir> dirs(2);
  dirs[0].entries = {b.pointer(0x8769, 1)};
  auto bad = b.longs(0xA005, {0xFFFFFF00u});
  dirs[1].entries = {b.shorts(0xA001, {1}), bad};
  EditSession s = parseExifBytes(b.build(dirs));
  EXPECT_EQ(s.exif.size(), 1u);
  EXPECT_TRUE(s.interop.empty());
}

TEST(ParseExifBytes, EmptySessions) {
  const std::vector<std::vector<uint8_t>> inputs = {
      {},
      {0xFF, 0xD8, 0xFF},
      {0xFF, 0xD8, 0xFF, 0xDA, 0, 2},
      {'I', 'I', 42, 0, 0xF0, 0, 0, 0},
      {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 0},
      {'G', 'I', 'F', '8', '9', 'a'},
  };
  for (const auto& in : inputs) {
    EditSession s = parseExifBytes(in);
    EXPECT_TRUE(s.ifd0.empty() && s.exif.empty() && s.gps.empty());
  }
  EXPECT_TRUE(parseExif("/nonexistent/file.jpg").ifd0.empty());
}

TEST(ParseExif, ReadsOnlyTheFirst16MiB) {
  std::vector<uint8_t> tiff = sampleTiff(false);
  std::string path = ::testing::TempDir() + "/edit_big.tif";
  // IFD0 moved beyond 16 MiB: the session cannot see it.
  std::vector<uint8_t> big(kEditReadLimit + 64, 0);
  std::copy(tiff.begin(), tiff.begin() + 8, big.begin());
  uint32_t at = static_cast<uint32_t>(kEditReadLimit + 8);
  std::memcpy(big.data() + 4, &at, 4);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(big.data(), 1, big.size(), f);
  std::fclose(f);
  EXPECT_TRUE(parseExif(path).ifd0.empty());
  f = std::fopen(path.c_str(), "wb");
  std::fwrite(tiff.data(), 1, tiff.size(), f);
  std::fclose(f);
  EXPECT_EQ(parseExif(path).ifd0.size(), 2u);
  std::remove(path.c_str());
}

TEST(ParseExif, UnreadableSourcesGiveEmptySessions) {
  const std::string dir = ::testing::TempDir();
  const std::string empty = dir + "/edit_empty.jpg";
  std::fclose(std::fopen(empty.c_str(), "wb"));
  for (const std::string& path : {dir + "/edit_missing.jpg", empty, dir, std::string()}) {
    const EditSession s = parseExif(path);
    EXPECT_TRUE(s.ifd0.empty() && s.exif.empty() && s.gps.empty()) << path;
  }
  std::remove(empty.c_str());
}

TEST(DecodeTag, ShortValueBytesKeepWholeElementsOnly) {
  Bytes data = {1, 0, 2, 0, 3};
  IfdEntry e;
  e.tag = 1;
  e.fieldType = kShort;
  e.count = 9;
  e.data = data;
  EXPECT_EQ(decodeTag(e).ints, (std::vector<int64_t>{1, 2}));
  e.fieldType = kSShort;
  Bytes neg = {0xFF, 0xFF};
  e.data = neg;
  EXPECT_EQ(decodeTag(e).ints, std::vector<int64_t>{-1});
  Bytes text = {'a', 'b', 0, 'c'};
  e.fieldType = kAscii;
  e.data = text;
  EXPECT_EQ(decodeTag(e).text, "ab");
}

}  // namespace
}  // namespace kd::exif
