#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "base/checked.h"

namespace kd::base {
namespace {

const uint8_t kData[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
const ByteView kView(kData, sizeof kData);

TEST(BytesFits, RejectsEveryOverrunIncludingHugeOffsets) {
  EXPECT_TRUE(fits(kView, 0, 6));
  EXPECT_TRUE(fits(kView, 6, 0));
  EXPECT_TRUE(fits(kView, 2, 4));
  EXPECT_FALSE(fits(kView, 3, 4));
  EXPECT_FALSE(fits(kView, 7, 0));
  EXPECT_FALSE(fits(kView, -1, 1));
  EXPECT_FALSE(fits(kView, 1, -1));
  // pos + n would wrap if added.
  EXPECT_FALSE(fits(kView, std::numeric_limits<int64_t>::max(), 2));
  EXPECT_FALSE(fits(kView, 2, std::numeric_limits<int64_t>::max()));
}

TEST(BytesLenient, OutOfRangeReadsGiveZero) {
  EXPECT_EQ(loadU16(kView, 0, ByteOrder::kLittle), 0x0201);
  EXPECT_EQ(loadU16(kView, 0, ByteOrder::kBig), 0x0102);
  EXPECT_EQ(loadU32(kView, 2, ByteOrder::kLittle), 0x06050403u);
  EXPECT_EQ(loadU32(kView, 2, ByteOrder::kBig), 0x03040506u);
  EXPECT_EQ(loadU32(kView, 3, ByteOrder::kLittle), 0u);
  EXPECT_EQ(loadU16(kView, 5, ByteOrder::kLittle), 0);
  EXPECT_EQ(loadU16(kView, -1, ByteOrder::kLittle), 0);
}

TEST(BytesLoadStore, BothByteOrdersAtEveryWidth) {
  const uint8_t* p = kData + 1;  // 02 03 04 05
  EXPECT_EQ(loadLe16(p), 0x0302);
  EXPECT_EQ(loadBe16(p), 0x0203);
  EXPECT_EQ(loadLe32(p), 0x05040302u);
  EXPECT_EQ(loadBe32(p), 0x02030405u);
  struct Case {
    void (*store)(uint8_t*, uint32_t);
    void (*append)(Bytes&, uint32_t);
    Bytes expected;
  };
  const Case cases[] = {
      {[](uint8_t* q, uint32_t v) { storeLe16(q, static_cast<uint16_t>(v)); },
       [](Bytes& o, uint32_t v) { appendLe16(o, static_cast<uint16_t>(v)); }, {0xD4, 0xC3}},
      {[](uint8_t* q, uint32_t v) { storeBe16(q, static_cast<uint16_t>(v)); },
       [](Bytes& o, uint32_t v) { appendBe16(o, static_cast<uint16_t>(v)); }, {0xC3, 0xD4}},
      {storeLe32, appendLe32, {0xD4, 0xC3, 0xB2, 0xA1}},
      {storeBe32, appendBe32, {0xA1, 0xB2, 0xC3, 0xD4}},
  };
  for (const Case& c : cases) {
    Bytes stored(c.expected.size());
    c.store(stored.data(), 0xA1B2C3D4u);
    EXPECT_EQ(stored, c.expected);
    Bytes appended = {0xEE};
    c.append(appended, 0xA1B2C3D4u);
    EXPECT_EQ(Bytes(appended.begin() + 1, appended.end()), c.expected);
  }
}

// Every width, and counts that end inside a byte, against a bit-by-bit walk.
TEST(BytesUnpack, MsbFirstSamplesOfEveryWidth) {
  const uint8_t packed[] = {0xB4, 0x6C, 0x93, 0xFF, 0x01};
  for (unsigned bits : {1u, 2u, 4u, 8u}) {
    for (size_t count = 0; count <= 40 / bits; ++count) {
      Bytes expected(count);
      for (size_t i = 0; i < count; ++i) {
        for (unsigned k = 0; k < bits; ++k) {
          const size_t bit = i * bits + k;
          const unsigned value = packed[bit / 8] >> (7 - bit % 8) & 1;
          expected[i] = static_cast<uint8_t>(expected[i] << 1 | value);
        }
      }
      Bytes out(count + 1, 0xAA);
      unpackMsbFirst(packed, count, bits, out.data());
      EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(count)), expected)
          << bits << " bits, " << count;
      EXPECT_EQ(out[count], 0xAA) << "wrote past the last sample";
    }
  }
}

TEST(ByteReaderStrict, ReadsBothByteOrders) {
  ByteReader r(kView, "t: truncated");
  EXPECT_EQ(r.u8(), 0x01);
  EXPECT_EQ(r.u16be(), 0x0203);
  EXPECT_EQ(r.u16le(), 0x0504);
  EXPECT_EQ(r.remaining(), 1u);
  EXPECT_FALSE(r.atEnd());
}

TEST(ByteReaderStrict, TruncationThrowsTheGivenMessageAndKeepsPosition) {
  ByteReader r(kView, "t: truncated");
  r.skip(4);
  try {
    (void)r.u32le();
    FAIL() << "read past the end";
  } catch (const KeldraException& e) {
    EXPECT_EQ(e.kind(), ekTruncated);
    EXPECT_STREQ(e.what(), "t: truncated");
  }
  EXPECT_EQ(r.pos(), 4u);
  try {
    r.take(3, "t: chunk truncated");
    FAIL() << "take past the end";
  } catch (const KeldraException& e) {
    EXPECT_STREQ(e.what(), "t: chunk truncated");
  }
  EXPECT_THROW(r.seek(7, "t: bad offset"), KeldraException);
  r.seek(6, "t: bad offset");
  EXPECT_TRUE(r.atEnd());
}

TEST(ByteReaderStrict, ChildReaderCannotSeePastItsChunk) {
  ByteReader r(kView, "t: truncated");
  r.skip(1);
  ByteReader chunk = r.sub(2);
  EXPECT_EQ(r.pos(), 3u);
  EXPECT_EQ(chunk.size(), 2u);
  EXPECT_EQ(chunk.u16be(), 0x0203);
  EXPECT_THROW(chunk.u8(), KeldraException);
  EXPECT_EQ(r.u8(), 0x04);
  EXPECT_THROW(r.sub(3), KeldraException);
}

TEST(CheckedArithmetic, DetectsSigned64Overflow) {
  int64_t out = 0;
  EXPECT_TRUE(checkedMul<int64_t>(int64_t{1} << 31, int64_t{1} << 31, out));
  EXPECT_EQ(out, int64_t{1} << 62);
  EXPECT_FALSE(checkedMul<int64_t>(int64_t{1} << 32, int64_t{1} << 31, out));
  EXPECT_FALSE(checkedAdd<int64_t>(std::numeric_limits<int64_t>::max(), 1, out));
  EXPECT_THROW(mulOrFail<int64_t>(int64_t{1} << 40, int64_t{1} << 40, "x: overflow"),
               KeldraException);
  try {
    addOrFail<uint32_t>(0xFFFFFFFFu, 1u, "x: overflow", ekTooLarge);
    FAIL();
  } catch (const KeldraException& e) {
    EXPECT_EQ(e.kind(), ekTooLarge);
  }
}

}  // namespace
}  // namespace kd::base
