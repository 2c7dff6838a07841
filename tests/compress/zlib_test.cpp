// zlib framing, checksums and the encoder: fixed bytes, and interop with
// zlib in both directions.
#include "compress/zlib.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "bit_writer.h"
#include "compress/crc32.h"
#include "compress/deflate.h"
#include "exif/zlibutil.h"

namespace kd::compress {
namespace {

std::string zlibFailure(const Bytes& stream, base::ErrorKind* kind, size_t cap = 1 << 20) {
  try {
    (void)zlibInflate(stream, cap);
  } catch (const base::KeldraException& e) {
    *kind = e.kind();
    return e.what();
  }
  return "decoded";
}

Bytes makeInputs(std::mt19937& rng, int kind, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    switch (kind) {
      case 0: b[i] = 0; break;
      case 1: b[i] = static_cast<uint8_t>(rng()); break;
      case 2: b[i] = static_cast<uint8_t>("keldra inflates "[(i * 7 + i / 13) % 16]); break;
      case 3: b[i] = static_cast<uint8_t>((i / 3) % 251 + (rng() % 4 == 0)); break;
      // Repeats exactly a window back and one byte beyond it.
      default: b[i] = i >= 32768 && rng() % 8 != 0 ? b[i - 32768 - (i / 5000) % 2] : static_cast<uint8_t>(rng()); break;
    }
  }
  return b;
}

TEST(ZlibHeader, EveryHeaderFailure) {
  struct Case {
    Bytes stream;
    const char* message;
    base::ErrorKind kind;
  };
  const Case cases[] = {
      {{}, "zlib: header truncated", base::ekTruncated},
      {{0x78}, "zlib: header truncated", base::ekTruncated},
      {{0x79, 0x9C, 0x03, 0x00}, "zlib: not a DEFLATE stream", base::ekUnsupported},
      {{0x88, 0x98, 0x03, 0x00}, "zlib: CINFO exceeds 7 (window > 32 KiB)", base::ekInvalid},
      {{0x78, 0x00, 0x03, 0x00}, "zlib: bad header check", base::ekInvalid},
      // FDICT fails before the (garbage) stream is looked at.
      {{0x78, 0x20, 0xFF, 0xFF}, "zlib: preset dictionary (FDICT) unsupported",
       base::ekUnsupported},
      {{0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00}, "zlib: trailer truncated", base::ekTruncated},
      {{0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x02}, "zlib: Adler-32 mismatch",
       base::ekInvalid},
      {{0x78, 0x01, 0x07}, "deflate: reserved BTYPE 3", base::ekInvalid},
  };
  for (const Case& c : cases) {
    base::ErrorKind kind = base::ekNone;
    EXPECT_EQ(zlibFailure(c.stream, &kind), c.message);
    EXPECT_EQ(kind, c.kind) << c.message;
  }
}

TEST(ZlibHeader, FlevelIgnoredAndBytesAfterTrailerIgnored) {
  for (uint8_t flg : {0x01, 0x5E, 0x9C, 0xDA}) {
    Bytes s = {0x78, flg, 0x4B, 0x04, 0x00, 0x00, 0x62, 0x00, 0x62, 0xEE, 0xFF};
    Bytes out = zlibInflate(s, 10);
    EXPECT_EQ(std::string(out.begin(), out.end()), "a") << int{flg};
  }
}

TEST(Deflate, FixedOutputsForEmptyInput) {
  EXPECT_EQ(compress({}), (Bytes{0x03, 0x00}));
  EXPECT_EQ(zlibDeflate({}), (Bytes{0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
}

TEST(Deflate, ThousandZerosAreOneLiteralAndFourMatches) {
  test::BitWriter w;
  w.bits(1, 1).bits(1, 2).fixedSymbol(0);
  for (int i = 0; i < 3; ++i) w.fixedSymbol(285).code(0, 5);  // 258 at distance 1
  w.fixedSymbol(283).bits(225 - 195, 5).code(0, 5);           // 225 at distance 1
  w.fixedSymbol(256);
  EXPECT_EQ(compress(Bytes(1000, 0)), w.finish());
}

TEST(Deflate, GreedyMatchesPreferTheNearestOfEqualLength) {
  // "abcXabcYabc": at 4 the only candidate is 0; at 8 both 4 and 0 give
  // three bytes and the nearer one (distance 4) wins.
  const std::string text = "abcXabcYabc";
  test::BitWriter w;
  w.bits(1, 1).bits(1, 2);
  for (char c : std::string("abcX")) w.fixedSymbol(c);
  w.fixedSymbol(257).code(3, 5);  // length 3, distance 4
  w.fixedSymbol('Y');
  w.fixedSymbol(257).code(3, 5);
  w.fixedSymbol(256);
  EXPECT_EQ(compress(Bytes(text.begin(), text.end())), w.finish());
}

TEST(Deflate, LongerCandidateFurtherBackWinsAndDistanceExtraBits) {
  // At 10, candidate 5 ("abcdX") gives 4, candidate 0 ("abcdef") gives 6.
  const std::string text = "abcdefghijabcdXyzwvuabcdef";
  test::BitWriter w;
  w.bits(1, 1).bits(1, 2);
  for (char c : std::string("abcdefghij")) w.fixedSymbol(c);
  w.fixedSymbol(258).code(6, 5).bits(1, 2);  // length 4, distance 10 (code 6: 9 + 1)
  for (char c : std::string("Xyzwvu")) w.fixedSymbol(c);
  w.fixedSymbol(260).code(8, 5).bits(3, 3);  // length 6, distance 20 (code 8: 17 + 3)
  w.fixedSymbol(256);
  EXPECT_EQ(compress(Bytes(text.begin(), text.end())), w.finish());
}

// Level 0: the plain encoder; 1-9 the levelled one.
TEST(ZlibInterop, OurStreamsInflateWithZlib) {
  std::mt19937 rng(1);
  for (int kind = 0; kind < 5; ++kind) {
    for (size_t n : {size_t{1}, size_t{2}, size_t{3}, size_t{259}, size_t{40000}, size_t{300000}}) {
      Bytes input = makeInputs(rng, kind, n);
      for (int level = 0; level <= 9; ++level) {
        Bytes ours = level == 0 ? zlibDeflate(input) : zlibDeflateLevel(input, level);
        Bytes back(n + 1);
        uLongf len = back.size();
        ASSERT_EQ(uncompress(back.data(), &len, ours.data(), ours.size()), Z_OK)
            << kind << "/" << n << " level " << level;
        back.resize(len);
        EXPECT_EQ(back, input) << kind << "/" << n << " level " << level;
        EXPECT_EQ(zlibInflate(ours, n), input);
      }
    }
  }
}

TEST(ZlibInterop, ZlibStreamsAtEveryLevelInflateToIdenticalBytes) {
  std::mt19937 rng(2);
  for (int kind = 0; kind < 4; ++kind) {
    Bytes input = makeInputs(rng, kind, 100000 + static_cast<size_t>(kind) * 7777);
    for (int level = 0; level <= 9; ++level) {
      Bytes z(compressBound(input.size()));
      uLongf len = z.size();
      ASSERT_EQ(compress2(z.data(), &len, input.data(), input.size(), level), Z_OK);
      z.resize(len);
      EXPECT_EQ(zlibInflate(z, input.size()), input) << "kind " << kind << " level " << level;
      if (!input.empty()) {
        base::ErrorKind k = base::ekNone;
        EXPECT_EQ(zlibFailure(z, &k, input.size() - 1), "deflate: output exceeds the size cap");
      }
    }
  }
}

TEST(Checksums, AgreeWithZlibAcrossSplitsAndLengths) {
  std::mt19937 rng(3);
  Bytes data(20000);
  for (auto& b : data) b = static_cast<uint8_t>(rng() % 7 == 0 ? 255 : rng());
  for (size_t n : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{5551},
                   size_t{5552}, size_t{5553}, size_t{11104}, size_t{20000}}) {
    ByteView v(data.data(), n);
    EXPECT_EQ(adler32(v), ::adler32(1, data.data(), static_cast<uInt>(n))) << n;
    EXPECT_EQ(crc32(v), ::crc32(0, data.data(), static_cast<uInt>(n))) << n;
    size_t cut = n / 3;
    EXPECT_EQ(adler32(v.subspan(cut), adler32(v.first(cut))), adler32(v)) << n;
    EXPECT_EQ(crc32(v.subspan(cut), crc32(v.first(cut))), crc32(v)) << n;
  }
  Bytes ff(70000, 0xFF);  // largest sums: the reduction must not overflow
  EXPECT_EQ(adler32(ff), ::adler32(1, ff.data(), static_cast<uInt>(ff.size())));
  const std::string check = "123456789";
  EXPECT_EQ(crc32(ByteView(reinterpret_cast<const uint8_t*>(check.data()), 9)), 0xCBF43926u);
  EXPECT_EQ(kCrcTable[1], 0x77073096u);
  EXPECT_EQ(kCrcTable[255], 0x2D02EF8Du);
}

TEST(MetadataInflate, CorruptStreamsGiveEmptyResults) {
  const std::string text = "a compressed text chunk";
  Bytes good = zlibDeflate(Bytes(text.begin(), text.end()));
  Bytes out = exif::zlibInflate(good);
  EXPECT_EQ(std::string(out.begin(), out.end()), text);
  Bytes bad = good;
  bad.back() ^= 1;
  EXPECT_TRUE(exif::zlibInflate(bad).empty());
  EXPECT_TRUE(exif::zlibInflate({}).empty());
  EXPECT_TRUE(exif::zlibInflate(Bytes(good.begin(), good.end() - 3)).empty());
  Bytes big = zlibDeflate(Bytes(exif::kMetadataInflateCap + 1, 'x'));
  EXPECT_TRUE(exif::zlibInflate(big).empty());
  Bytes edge = zlibDeflate(Bytes(exif::kMetadataInflateCap, 'x'));
  EXPECT_EQ(exif::zlibInflate(edge).size(), exif::kMetadataInflateCap);
}

}  // namespace
}  // namespace kd::compress
