// Hand-built streams for the inflate failure paths and boundary cases.
#include <gtest/gtest.h>

#include <string>

#include "bit_writer.h"
#include "compress/deflate.h"
#include "support/outcome.h"

namespace kd::compress {
namespace {

using test::BitWriter;

// The output as text and the input bytes it took.
struct Inflated {
  std::string text;
  size_t consumed = 0;
};
using Outcome = test::Outcome<Inflated>;

Outcome inflate(const Bytes& stream, size_t cap = 1 << 20) {
  return test::outcomeOf([&] {
    InflateResult r = inflateWithConsumed(stream, 0, cap);
    return Inflated{std::string(r.output.begin(), r.output.end()), r.consumed};
  });
}

void expectFailure(const Bytes& stream, const std::string& message, base::ErrorKind kind,
                   size_t cap = 1 << 20) {
  Outcome o = inflate(stream, cap);
  EXPECT_FALSE(o.ok) << "decoded " << o.value.text.size() << " bytes";
  EXPECT_EQ(o.message, message);
  EXPECT_EQ(o.kind, kind) << message;
}

// A fixed-code block: BFINAL, BTYPE 01.
BitWriter fixedBlock(bool last = true) {
  BitWriter w;
  w.bits(last ? 1 : 0, 1).bits(1, 2);
  return w;
}

// Match with fixed codes: length symbol for `length`, distance code and
// extra bits. Only the lengths and distances used below are supported.
void fixedMatch(BitWriter& w, int length, int dist) {
  static const int base[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static const int extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  int k = 28;
  while (base[k] > length) --k;
  w.fixedSymbol(257 + k).bits(static_cast<uint32_t>(length - base[k]), extra[k]);
  // Distance codes as RFC 1951 lists them: 1..4, then two codes per
  // doubling, with c / 2 - 1 extra bits from code 4 on.
  int code = 0;
  int first = 1;
  int bits = 0;
  for (int c = 0; c < 30; ++c) {
    const int e = c < 4 ? 0 : c / 2 - 1;
    const int b = c < 4 ? c + 1 : ((2 + (c & 1)) << e) + 1;
    if (b <= dist) {
      code = c;
      first = b;
      bits = e;
    }
  }
  w.code(static_cast<uint32_t>(code), 5).bits(static_cast<uint32_t>(dist - first), bits);
}

TEST(InflateStored, CopiesBytesAndStopsAtTheBlockEnd) {
  Outcome o = inflate({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c', 0xEE, 0xEE});
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, "abc");
  EXPECT_EQ(o.value.consumed, 8u);
}

TEST(InflateStored, ZeroLengthBlockIsValidAndAddsNothing) {
  Outcome o = inflate({0x00, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x01, 0x00, 0xFE, 0xFF, 'x'});
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, "x");
  EXPECT_EQ(o.value.consumed, 11u);
}

TEST(InflateStored, HeaderLengthAndBodyFailures) {
  expectFailure({0x01, 0x03, 0x00, 0xFC}, "deflate: stored header truncated", base::ekTruncated);
  expectFailure({0x01, 0x03, 0x00, 0xFC, 0xFE}, "deflate: stored LEN/NLEN mismatch",
                base::ekInvalid);
  expectFailure({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b'}, "deflate: stored block truncated",
                base::ekTruncated);
}

TEST(InflateStored, BitsLeftInTheHeaderByteAreDropped) {
  // A fixed block "a" (non-final) ends mid-byte; the stored block header
  // starts at the next byte boundary.
  BitWriter w = fixedBlock(false);
  w.fixedSymbol('a').fixedSymbol(256).bits(1, 1).bits(0, 2).align();
  for (uint8_t b : Bytes{0x02, 0x00, 0xFD, 0xFF, 'b', 'c'}) w.byte(b);
  Outcome o = inflate(w.finish());
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, "abc");
}

TEST(InflateFixed, ConsumedCountIsTheByteAfterTheLastBitUsed) {
  BitWriter w = fixedBlock();
  w.fixedSymbol('A').fixedSymbol(256);  // 3 + 8 + 7 = 18 bits: three bytes
  Bytes s = w.finish();
  ASSERT_EQ(s.size(), 3u);
  s.push_back(0x55);
  s.push_back(0x66);
  Outcome o = inflate(s);
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, "A");
  EXPECT_EQ(o.value.consumed, 3u);
}

TEST(InflateFixed, ConsumedCountFromANonZeroStart) {
  BitWriter w = fixedBlock();
  w.fixedSymbol('A').fixedSymbol(256);
  Bytes s = {0xAA, 0xBB};
  Bytes body = w.finish();
  s.insert(s.end(), body.begin(), body.end());
  InflateResult r = inflateWithConsumed(s, 2, 100);
  EXPECT_EQ(std::string(r.output.begin(), r.output.end()), "A");
  EXPECT_EQ(r.consumed, 5u);
}

TEST(InflateFixed, DistanceOneLength258RepeatsTheByte) {
  BitWriter w = fixedBlock();
  w.fixedSymbol('z');
  fixedMatch(w, 258, 1);
  w.fixedSymbol(256);
  Outcome o = inflate(w.finish());
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, std::string(259, 'z'));
}

TEST(InflateFixed, OverlappingCopiesRepeatThePattern) {
  for (int dist = 2; dist <= 17; ++dist) {
    for (int length : {3, 7, 8, 9, 17, 40, 258}) {
      BitWriter w = fixedBlock();
      std::string expected = std::string("abcdefghijklmnopq").substr(0, static_cast<size_t>(dist));
      for (char c : expected) w.fixedSymbol(c);
      fixedMatch(w, length, dist);
      w.fixedSymbol(256);
      for (int i = 0; i < length; ++i) expected += expected[expected.size() - static_cast<size_t>(dist)];
      Outcome o = inflate(w.finish());
      ASSERT_TRUE(o.ok) << o.message;
      EXPECT_EQ(o.value.text, expected) << "dist " << dist << " length " << length;
    }
  }
}

TEST(InflateFixed, DistanceTooFarBackEvenInALaterBlock) {
  // Two bytes from a stored block, then a fixed block reaching three back.
  BitWriter w;
  w.bits(0, 1).bits(0, 2).align();
  for (uint8_t b : Bytes{0x02, 0x00, 0xFD, 0xFF, 'a', 'b'}) w.byte(b);
  Bytes prefix = w.finish();

  BitWriter ok = fixedBlock();
  fixedMatch(ok, 3, 2);
  ok.fixedSymbol(256);
  Bytes good = prefix;
  Bytes tail = ok.finish();
  good.insert(good.end(), tail.begin(), tail.end());
  Outcome o = inflate(good);
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, "ababa");

  BitWriter bad = fixedBlock();
  fixedMatch(bad, 3, 3);
  bad.fixedSymbol(256);
  Bytes far = prefix;
  tail = bad.finish();
  far.insert(far.end(), tail.begin(), tail.end());
  expectFailure(far, "deflate: distance too far back", base::ekInvalid);

  BitWriter first = fixedBlock();
  fixedMatch(first, 3, 1);
  expectFailure(first.finish(), "deflate: distance too far back", base::ekInvalid);
}

TEST(InflateFixed, UnusedFixedDistanceCodesAreInvalidHuffmanCodes) {
  for (uint32_t pattern : {30u, 31u}) {
    BitWriter w = fixedBlock();
    w.fixedSymbol('a').fixedSymbol(257).code(pattern, 5).bits(0, 10);
    expectFailure(w.finish(), "deflate: invalid Huffman code", base::ekInvalid);
    // The walk needs all 15 bits before it gives up: fewer is a truncation.
    BitWriter s = fixedBlock();
    s.fixedSymbol('a').fixedSymbol(257).code(pattern, 5);
    Bytes shortStream = s.finish();  // 3 + 8 + 7 + 5 = 23 bits, padded to 24
    expectFailure(shortStream, "deflate: stream truncated", base::ekTruncated);
  }
}

TEST(InflateFixed, LengthSymbols286And287AreRefused) {
  for (int sym : {286, 287}) {
    BitWriter w = fixedBlock();
    w.fixedSymbol('a').fixedSymbol(sym);
    expectFailure(w.finish(), "deflate: bad length code", base::ekInvalid);
  }
}

TEST(InflateBlocks, ReservedTypeAndEmptyInput) {
  expectFailure({0x07}, "deflate: reserved BTYPE 3", base::ekInvalid);
  expectFailure({}, "deflate: stream truncated", base::ekTruncated);
  BitWriter w = fixedBlock();
  w.fixedSymbol('a');
  expectFailure(w.finish(), "deflate: stream truncated", base::ekTruncated);
  // A non-final block followed by nothing.
  expectFailure({0x00, 0x00, 0x00, 0xFF, 0xFF}, "deflate: stream truncated", base::ekTruncated);
}

TEST(InflateCap, ExactlyReachedSucceedsOneMoreFails) {
  BitWriter w = fixedBlock();
  w.fixedSymbol('q');
  fixedMatch(w, 10, 1);
  w.fixedSymbol('r').fixedSymbol(256);
  Bytes s = w.finish();
  Outcome o = inflate(s, 12);
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, std::string(11, 'q') + "r");
  expectFailure(s, "deflate: output exceeds the size cap", base::ekInvalid, 11);  // literal
  expectFailure(s, "deflate: output exceeds the size cap", base::ekInvalid, 10);  // match
  expectFailure(s, "deflate: output exceeds the size cap", base::ekInvalid, 0);

  Bytes stored = {0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'};
  EXPECT_TRUE(inflate(stored, 3).ok);
  expectFailure(stored, "deflate: output exceeds the size cap", base::ekInvalid, 2);
}

// Dynamic header whose code-length code gives all 19 symbols 5 bits, so
// code-length symbol s is written as the 5-bit code s.
BitWriter dynamicHeader(int hlit, int hdist, bool last = true) {
  BitWriter w;
  w.bits(last ? 1 : 0, 1).bits(2, 2);
  w.bits(static_cast<uint32_t>(hlit - 257), 5).bits(static_cast<uint32_t>(hdist - 1), 5).bits(15, 4);
  for (int i = 0; i < 19; ++i) w.bits(5, 3);
  return w;
}

void lengthSymbol(BitWriter& w, int sym, uint32_t extra = 0) {
  w.code(static_cast<uint32_t>(sym), 5);
  if (sym == 16) w.bits(extra, 2);
  if (sym == 17) w.bits(extra, 3);
  if (sym == 18) w.bits(extra, 7);
}

TEST(InflateDynamic, CodeLengthRepeatFailures) {
  {
    BitWriter w = dynamicHeader(257, 1);
    lengthSymbol(w, 16, 0);
    expectFailure(w.finish(), "deflate: code 16 at start", base::ekInvalid);
  }
  {
    BitWriter w = dynamicHeader(257, 1);  // 258 lengths
    lengthSymbol(w, 18, 127);             // 138
    lengthSymbol(w, 18, 106);             // 255
    lengthSymbol(w, 8);                   // 256
    lengthSymbol(w, 16, 0);               // 259 > 258
    expectFailure(w.finish(), "deflate: code 16 overruns", base::ekInvalid);
  }
  {
    BitWriter w = dynamicHeader(257, 1);
    lengthSymbol(w, 18, 127);  // 138
    lengthSymbol(w, 18, 108);  // 257
    lengthSymbol(w, 17, 0);    // 260 > 258
    expectFailure(w.finish(), "deflate: code 17 overruns", base::ekInvalid);
  }
  {
    BitWriter w = dynamicHeader(257, 1);
    lengthSymbol(w, 18, 127);
    lengthSymbol(w, 18, 127);  // 276 > 258
    expectFailure(w.finish(), "deflate: code 18 overruns", base::ekInvalid);
  }
}

// Literal/length code: 'a' 00, 256 01, 257 10 (all two bits), with the
// distance lengths written by `distances`.
template <class F>
BitWriter dynamicWithThreeLiterals(int hdist, F distances) {
  BitWriter w = dynamicHeader(258, hdist);
  lengthSymbol(w, 18, 86);   // 0..96 zero
  lengthSymbol(w, 2);        // 'a'
  lengthSymbol(w, 18, 127);  // 98..235
  lengthSymbol(w, 18, 9);    // 236..255
  lengthSymbol(w, 2);        // 256
  lengthSymbol(w, 2);        // 257
  distances(w);
  return w;
}

TEST(InflateDynamic, RepeatRunsFromLiteralIntoDistanceLengths) {
  // Code 16 copies the length of symbol 257 into distance codes 0, 1, 2.
  BitWriter w = dynamicWithThreeLiterals(3, [](BitWriter& b) { lengthSymbol(b, 16, 0); });
  w.code(0, 2);                 // 'a'
  w.code(2, 2).code(0, 2);      // length 3, distance code 0 (distance 1)
  w.code(1, 2);                 // end of block
  Outcome o = inflate(w.finish());
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, "aaaa");
}

TEST(InflateDynamic, IncompleteCodeFailsOnlyWhenTheUnusedPatternIsMet) {
  BitWriter w = dynamicWithThreeLiterals(3, [](BitWriter& b) { lengthSymbol(b, 16, 0); });
  w.code(0, 2).code(3, 2).bits(0, 13);
  expectFailure(w.finish(), "deflate: invalid Huffman code", base::ekInvalid);
  BitWriter t = dynamicWithThreeLiterals(3, [](BitWriter& b) { lengthSymbol(b, 16, 0); });
  t.code(0, 2).code(3, 2);
  Bytes s = t.finish();
  // Whatever padding the last byte has, 15 bits are not there.
  expectFailure(s, "deflate: stream truncated", base::ekTruncated);
}

TEST(InflateDynamic, ThirtyTwoDistanceCodesAcceptedUntilOneIsUsed) {
  // HDIST 32: distance symbol 30 gets the only (one-bit) code.
  BitWriter w = dynamicWithThreeLiterals(32, [](BitWriter& b) {
    lengthSymbol(b, 18, 19);  // distance 0..29 zero
    lengthSymbol(b, 1);       // 30
    lengthSymbol(b, 0);       // 31
  });
  w.code(0, 2);                // 'a'
  w.code(2, 2).code(0, 1);     // length 3, distance symbol 30
  expectFailure(w.finish(), "deflate: bad distance code", base::ekInvalid);
}

TEST(InflateDynamic, TwoHundredEightyEightLiteralCodesAcceptedUntilOneIsUsed) {
  BitWriter w = dynamicHeader(288, 1);
  lengthSymbol(w, 18, 127);  // 0..137
  lengthSymbol(w, 18, 107);  // 138..255
  lengthSymbol(w, 1);        // 256: code 0
  lengthSymbol(w, 18, 18);   // 257..285
  lengthSymbol(w, 1);        // 286: code 1
  lengthSymbol(w, 0);        // 287
  lengthSymbol(w, 0);        // distance 0
  Bytes ok = BitWriter(w).code(0, 1).finish();
  Outcome o = inflate(ok);
  EXPECT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.text, "");
  w.code(1, 1);
  expectFailure(w.finish(), "deflate: bad length code", base::ekInvalid);
}

}  // namespace
}  // namespace kd::compress
