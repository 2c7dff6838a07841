// The TIFF/IFD reader: bounds-safe integers, entries, directories, raw
// value text, and the work budget of one read.
#include "exif/tiff.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/tiff_builder.h"

namespace kd::exif {
namespace {

using base::Bytes;
using test::TiffBuilder;
using test::TiffDir;

TEST(TiffReadUint, OutOfRangeReadsZero) {
  Bytes b = {1, 2, 3, 4, 5};
  EXPECT_EQ(readUint16(b, 0, kBigEndian), 0x0102);
  EXPECT_EQ(readUint16(b, 0, kLittleEndian), 0x0201);
  EXPECT_EQ(readUint32(b, 1, kBigEndian), 0x02030405u);
  EXPECT_EQ(readUint32(b, 1, kLittleEndian), 0x05040302u);
  EXPECT_EQ(readUint32(b, static_cast<int64_t>(b.size()) - 3, kBigEndian), 0u);
  EXPECT_EQ(readUint16(b, 4, kBigEndian), 0);
  EXPECT_EQ(readUint16(b, -1, kBigEndian), 0);
  EXPECT_EQ(readUint32(b, INT64_MAX, kBigEndian), 0u);
  EXPECT_EQ(readUint32(b, INT64_MIN, kLittleEndian), 0u);
}

// A directory at 8 in a little- or big-endian block, entries as built.
Ifd readFirst(const TiffBuilder& tb, const std::vector<TiffDir>& dirs, Bytes* keep) {
  *keep = tb.build(dirs);
  return readIFD(*keep, 8, 0, tb.bigEndian());
}

std::string rawOf(const TiffBuilder& tb, const test::TiffEntry& e) {
  Bytes keep;
  Ifd d = readFirst(tb, {TiffDir{{e}}}, &keep);
  EXPECT_EQ(d.entries.size(), 1u);
  return d.entries.empty() ? std::string("<none>") : toString(d.entries[0]);
}

class TiffBothOrders : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(ByteOrder, TiffBothOrders, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Motorola" : "Intel"; });

TEST_P(TiffBothOrders, EntryFieldsInlineAndOffset) {
  TiffBuilder tb(GetParam());
  Bytes keep;
  Ifd d = readFirst(tb, {TiffDir{{tb.shorts(0x0112, {6}), tb.ascii(0x010F, "Canon")}}}, &keep);
  ASSERT_EQ(d.entries.size(), 2u);
  const IfdEntry* make = d.find(0x010F);
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(make->fieldType, kAscii);
  EXPECT_EQ(make->count, 6u);
  EXPECT_EQ(make->bigEndian, GetParam());
  // 8 + 2 + 2*12 + 4: the value area starts right after the directory.
  EXPECT_EQ(make->valueOffset, 38);
  EXPECT_EQ(toString(*make), "Canon");
  const IfdEntry* orient = d.find(0x0112);
  ASSERT_NE(orient, nullptr);
  EXPECT_EQ(orient->valueOffset, 8 + 2 + 8);  // inline: entry position + 8
  EXPECT_EQ(toString(*orient), "6");
  EXPECT_EQ(readLongTag(*orient), std::nullopt);  // only 2 bytes
}

TEST_P(TiffBothOrders, EveryTypeRendersItsRawText) {
  TiffBuilder tb(GetParam());
  EXPECT_EQ(rawOf(tb, tb.shorts(1, {0, 65535, 7})), "0 65535 7");
  EXPECT_EQ(rawOf(tb, tb.longs(1, {4294967295u, 0})), "4294967295 0");
  EXPECT_EQ(rawOf(tb, tb.shorts(1, {0xFFFF, 5}, 8)), "-1 5");
  EXPECT_EQ(rawOf(tb, tb.longs(1, {0x80000000u, 12}, 9)), "-2147483648 12");
  EXPECT_EQ(rawOf(tb, tb.rationals(1, {{2922, 100}, {0, 5}, {10, 0}, {6, 3}})), "1461/50 0 10/0 2");
  EXPECT_EQ(rawOf(tb, tb.srationals(1, {{-3, -6}, {3, -6}, {-7, 0}, {-4, 2}})), "1/2 -1/2 -7/0 -2");
  EXPECT_EQ(rawOf(tb, tb.srationals(1, {{INT32_MIN, 1}, {1, INT32_MIN}})),
            "-2147483648 -1/2147483648");
  EXPECT_EQ(rawOf(tb, tb.floats(1, {1.5f, 0.1f, 16777216.0f, -2.0f})), "1.5 0.1 16777216.0 -2.0");
  EXPECT_EQ(rawOf(tb, tb.doubles(1, {0.1, 1e20, 2.5e-10})), "0.1 1e+20 2.5e-10");
  EXPECT_EQ(rawOf(tb, tb.bytes(1, 7, {'0', '2', '3', '0', 0})), "0230");
  EXPECT_EQ(rawOf(tb, tb.bytes(1, 7, {1, 2})), "01 02");
  EXPECT_EQ(rawOf(tb, tb.bytes(1, 1, {2, 2, 0, 0})), "02 02 00 00");
  EXPECT_EQ(rawOf(tb, tb.bytes(1, 6, {'a', 0, 'b', 0xFF})), "61 00 62 FF");
  EXPECT_EQ(rawOf(tb, tb.bytes(1, 1, {0, 'x', 0, 'y'})), "xy");
}

TEST(TiffToString, AsciiStopsAtNulAndDropsTrailingSpace) {
  TiffBuilder tb(false);
  EXPECT_EQ(rawOf(tb, tb.ascii(1, "Canon EOS  \t\r\n\v\f")), "Canon EOS");
  EXPECT_EQ(rawOf(tb, tb.ascii(1, std::string("abc\0def", 7))), "abc");
  EXPECT_EQ(rawOf(tb, tb.ascii(1, "  lead", false)), "  lead");
  EXPECT_EQ(rawOf(tb, tb.ascii(1, "", true)), "");
}

TEST(TiffReadTag, UnknownTypeCodesReadAsUndefined) {
  TiffBuilder tb(false);
  for (uint16_t code : {0, 14, 0xFFFF}) {
    Bytes keep;
    Ifd d = readFirst(tb, {TiffDir{{tb.bytes(0x9000, code, {'0', '2', '2', '1'})}}}, &keep);
    ASSERT_EQ(d.entries.size(), 1u);
    EXPECT_EQ(d.entries[0].fieldType, kUndefined) << code;
    EXPECT_EQ(toString(d.entries[0]), "0221");
  }
}

// Type 13 (IFD) pointers to the Exif and GPS directories: read as UNDEFINED
// the pointer is one byte and every Exif and GPS tag is lost.
TEST(TiffReadTag, IfdTypeReadsAsLong) {
  TiffBuilder tb(false);
  Bytes keep;
  Ifd d = readFirst(tb, {TiffDir{{TiffBuilder::entry(0x8769, 13, 1, {0x1A, 0x01, 0, 0})}}}, &keep);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].fieldType, kLong);
  EXPECT_EQ(toString(d.entries[0]), "282");
}

TEST(TiffReadTag, ValuePastTheEndKeepsTagTypeCountButNoData) {
  TiffBuilder tb(false);
  test::TiffEntry e = tb.longs(0x0111, {1, 2});
  e.forceOffset = true;
  e.rawOffset = 0xFFFFFFF0u;
  Bytes keep;
  Ifd d = readFirst(tb, {TiffDir{{e}}}, &keep);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].tag, 0x0111);
  EXPECT_EQ(d.entries[0].fieldType, kLong);
  EXPECT_EQ(d.entries[0].count, 2u);
  EXPECT_TRUE(d.entries[0].data.empty());
  EXPECT_EQ(toString(d.entries[0]), "");
}

TEST(TiffReadTag, HugeCountsDoNotOverflow) {
  TiffBuilder tb(true);
  test::TiffEntry e = tb.rationals(0x829A, {{1, 2}});
  e.count = 0xFFFFFFFFu;  // 8 * 2^32 bytes claimed
  e.forceOffset = true;
  e.rawOffset = 8;
  Bytes keep;
  Ifd d = readFirst(tb, {TiffDir{{e}}}, &keep);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_TRUE(d.entries[0].data.empty());
  // An entry that does not fit at all reads as all zero.
  IfdEntry none = readTag(keep, static_cast<int64_t>(keep.size()) - 11, 0, true);
  EXPECT_EQ(none.tag, 0);
  EXPECT_EQ(none.count, 0u);
  EXPECT_TRUE(none.data.empty());
  EXPECT_EQ(readTag(keep, -12, 0, true).tag, 0);
}

TEST(TiffReadIfd, CountBeyondBufferKeepsWholeEntriesOnly) {
  TiffBuilder tb(false);
  Bytes b = tb.build({TiffDir{{tb.shorts(1, {1}), tb.shorts(2, {2}), tb.shorts(3, {3})}}});
  // Claim 10 entries; end the buffer after the three entries plus 4 bytes.
  b[8] = 10;
  b.resize(8 + 2 + 36);
  tb.put32(b, 0x1234);
  Ifd d = readIFD(b, 8, 0, false);
  EXPECT_EQ(d.entries.size(), 3u);
  EXPECT_EQ(d.nextOffset, 0x1234u);
  b.resize(b.size() - 1);  // the next offset no longer fits
  d = readIFD(b, 8, 0, false);
  EXPECT_EQ(d.entries.size(), 3u);
  EXPECT_EQ(d.nextOffset, 0u);
  EXPECT_TRUE(readIFD(b, static_cast<int64_t>(b.size()) - 1, 0, false).empty());
  EXPECT_TRUE(readIFD(b, -2, 0, false).empty());
}

TEST(TiffReadIfd, LaterDuplicateTagWins) {
  TiffBuilder tb(true);
  Bytes keep;
  Ifd d = readFirst(
      tb, {TiffDir{{tb.ascii(0x0110, "first"), tb.ascii(0x010F, "make"), tb.ascii(0x0110, "second")}}},
      &keep);
  ASSERT_EQ(d.entries.size(), 2u);
  EXPECT_EQ(d.entries[0].tag, 0x010F);  // ordered by id
  EXPECT_EQ(toString(*d.find(0x0110)), "second");
  EXPECT_EQ(d.find(0x0111), nullptr);
}

TEST(TiffReadIfd, OffsetsAreRelativeToTheBase) {
  TiffBuilder tb(false);
  Bytes tiff = tb.build({TiffDir{{tb.ascii(0x010F, "Nikon Corp")}, -1, true, 77}});
  Bytes b(100, 0xAA);
  b.insert(b.end(), tiff.begin(), tiff.end());
  Ifd d = readIFD(b, 108, 100, false);
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].valueOffset, 100 + 8 + 2 + 12 + 4);
  EXPECT_EQ(toString(d.entries[0]), "Nikon Corp");
  EXPECT_EQ(d.nextOffset, 77u);  // stored as read, not rebased
  EXPECT_EQ(readLongTag(d.entries[0]), 0x6F6B694Eu);  // "Niko", little-endian
}

TEST(TiffGcd, Euclid) {
  EXPECT_EQ(gcd(2922, 100), 2u);
  EXPECT_EQ(gcd(7, 0), 7u);
  EXPECT_EQ(gcd(0, 5), 5u);
  EXPECT_EQ(gcd(4294967295u, 65535), 65535u);
}

TEST(ShortestText, FixedAndScientificBoundaries) {
  EXPECT_EQ(shortestText(0.0), "0.0");
  EXPECT_EQ(shortestText(-0.0), "-0.0");
  EXPECT_EQ(shortestText(35.0), "35.0");
  EXPECT_EQ(shortestText(0.001), "0.001");
  EXPECT_EQ(shortestText(1e-7), "0.0000001");    // p = -6
  EXPECT_EQ(shortestText(1e-8), "1e-8");         // p = -7
  EXPECT_EQ(shortestText(2.5e-9), "2.5e-9");
  EXPECT_EQ(shortestText(2.5e-10), "2.5e-10");
  EXPECT_EQ(shortestText(1e16), "10000000000000000.0");  // p = 17
  EXPECT_EQ(shortestText(1e17), "1e+17");                // p = 18
  EXPECT_EQ(shortestText(1.5e20), "1.5e+20");
  EXPECT_EQ(shortestText(1.5e300), "1.5e+300");
  EXPECT_EQ(shortestText(123.456), "123.456");
  EXPECT_EQ(shortestText(-48.8570339), "-48.8570339");
  EXPECT_EQ(shortestText(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(shortestText(5e-324), "5e-324");
  EXPECT_EQ(shortestText(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(shortestText(std::nan("")), "nan");
  EXPECT_EQ(shortestText(0.1f), "0.1");
  EXPECT_EQ(shortestText(3.4028235e38f), "3.4028235e+38");
}

// A crafted block: one directory of many entries that all point at the same
// large value. Without a budget this renders entries x value bytes of text.
TEST(TiffBudget, SharedLargeValueStopsAtTheTextBudget) {
  TiffBuilder tb(false);
  const uint32_t valueSize = 200000;
  TiffDir dir;
  for (uint16_t i = 0; i < 2000; ++i) {
    test::TiffEntry e = tb.bytes(static_cast<uint16_t>(0x1000 + i), 7, {});
    e.count = valueSize;
    e.forceOffset = true;
    e.rawOffset = 8 + 2 + 12 * 2000 + 4;
    dir.entries.push_back(e);
  }
  Bytes b = tb.build({dir});
  b.resize(b.size() + valueSize, 'A');
  ReadBudget budget = ReadBudget::forInputSize(b.size());
  Ifd d = readIFD(b, 8, 0, false, &budget);
  ASSERT_EQ(d.entries.size(), 2000u);  // entries are views: no copy
  EXPECT_EQ(d.entries[1999].data.data(), d.entries[0].data.data());
  size_t rendered = 0;
  for (const IfdEntry& e : d.entries) {
    if (!budget.spendText(static_cast<int64_t>(e.data.size()))) break;
    rendered += toString(e).size();
  }
  EXPECT_TRUE(budget.exhausted());
  EXPECT_LE(rendered, 4 * b.size() + (1u << 20));
  EXPECT_GT(rendered, b.size());  // well above what a real file renders
}

TEST(TiffBudget, WorkBudgetCutsADirectoryShort) {
  TiffBuilder tb(false);
  Bytes b = tb.build({TiffDir{{tb.shorts(1, {1}), tb.shorts(2, {2}), tb.shorts(3, {3})}, -1, true, 9}});
  ReadBudget budget(3, 100);  // the directory and two entries
  Ifd d = readIFD(b, 8, 0, false, &budget);
  EXPECT_EQ(d.entries.size(), 2u);
  EXPECT_EQ(d.nextOffset, 0u);
  EXPECT_TRUE(budget.exhausted());
  EXPECT_TRUE(readIFD(b, 8, 0, false, &budget).empty());
  EXPECT_EQ(ReadBudget::forInputSize(1000).spendWork(1000 + ReadBudget::kWorkSlack), true);
  ReadBudget text = ReadBudget::forInputSize(10);
  EXPECT_TRUE(text.spendText(40 + ReadBudget::kTextSlack));
  EXPECT_FALSE(text.spendText(1));
}

}  // namespace
}  // namespace kd::exif
