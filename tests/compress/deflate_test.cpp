// The encoder against a plain whole-buffer greedy encoder written from the
// algorithm (full previous-position table, byte-by-byte comparison, bit-by-bit
// writer), and the streaming form against the one-shot form for any way of
// cutting the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "bit_writer.h"
#include "compress/deflate.h"
#include "compress/zlib.h"

namespace kd::compress {
namespace {

Bytes referenceCompress(const Bytes& d) {
  test::BitWriter w;
  w.bits(1, 1).bits(1, 2);
  const int64_t n = static_cast<int64_t>(d.size());
  std::vector<int64_t> head(32768, -1);
  std::vector<int64_t> prev(d.size(), -1);
  auto hash = [&](int64_t i) { return ((d[i + 1] & 0x7F) << 8) | d[i + 2]; };
  for (int64_t i = 0; i < n;) {
    int64_t best = 0;
    int64_t dist = 0;
    if (n - i >= 3) {
      const int64_t limit = std::min<int64_t>(258, n - i);
      int64_t c = head[hash(i)];
      for (int examined = 0; examined < 64 && c >= 0 && i - c <= 32768; ++examined) {
        int64_t len = 0;
        while (len < limit && d[c + len] == d[i + len]) ++len;
        if (len > std::max<int64_t>(2, best)) {
          best = len;
          dist = i - c;
          if (len >= limit) break;
        }
        c = prev[c];
      }
    }
    int64_t advance = 1;
    if (best >= 3) {
      size_t k = 0;
      while (k + 1 < kLengthBase.size() && kLengthBase[k + 1] <= best) ++k;
      w.fixedSymbol(257 + static_cast<int>(k));
      w.bits(static_cast<uint32_t>(best - kLengthBase[k]), kLengthExtra[k]);
      size_t s = 0;
      while (s + 1 < kDistBase.size() && kDistBase[s + 1] <= dist) ++s;
      w.code(static_cast<uint32_t>(s), 5);
      w.bits(static_cast<uint32_t>(dist - kDistBase[s]), kDistExtra[s]);
      advance = best;
    } else {
      w.fixedSymbol(d[i]);
    }
    for (int64_t end = i + advance; i < end; ++i) {
      if (n - i < 3) continue;
      prev[i] = head[hash(i)];
      head[hash(i)] = i;
    }
  }
  w.fixedSymbol(256);
  return w.finish();
}

// Inputs that reach past the encoder's internal buffer several times, with
// repeats at exactly the window distance, one byte beyond it, and runs that
// straddle wherever the input is cut.
Bytes longInput(int kind, size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    switch (kind) {
      case 0: b[i] = i >= 32768 && rng() % 16 != 0 ? b[i - 32768] : static_cast<uint8_t>(rng()); break;
      case 1: b[i] = i >= 32769 && rng() % 16 != 0 ? b[i - 32769] : static_cast<uint8_t>(rng()); break;
      case 2: b[i] = static_cast<uint8_t>((i / 700) % 3 == 0 ? 0 : rng() % 4); break;
      default: b[i] = static_cast<uint8_t>((i * 31 / 97) % 256 ^ (rng() % 23 == 0)); break;
    }
  }
  return b;
}

TEST(DeflateReference, OneShotMatchesThePlainGreedyEncoder) {
  std::mt19937 rng(7);
  for (int kind = 0; kind < 4; ++kind) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{3}, size_t{260}, size_t{261}, size_t{70001},
                     size_t{900000}}) {
      const Bytes input = longInput(kind, n, rng);
      EXPECT_EQ(compress(input), referenceCompress(input)) << "kind " << kind << " n " << n;
    }
  }
}

TEST(DeflateStream, AnyCuttingGivesTheOneShotBytes) {
  std::mt19937 rng(8);
  for (int kind = 0; kind < 4; ++kind) {
    const Bytes input = longInput(kind, 700000 + static_cast<size_t>(kind) * 4099, rng);
    const Bytes whole = compress(input);
    const Bytes zlibWhole = zlibDeflate(input);
    // Fixed piece sizes around the lookahead and the window, then random ones.
    for (size_t piece : {size_t{1}, size_t{259}, size_t{260}, size_t{32768}, size_t{0}}) {
      base::HeapBytes raw;
      base::HeapBytes framed;
      DeflateStream stream(raw);
      ZlibStream zstream(framed);
      for (size_t at = 0; at < input.size();) {
        size_t n = piece != 0 ? piece : rng() % 5000;
        n = std::min(n, input.size() - at);
        const ByteView part(input.data() + at, n);
        stream.write(part);
        zstream.write(part);
        at += n;
      }
      stream.finish();
      zstream.finish();
      EXPECT_EQ(raw.toBytes(), whole) << "kind " << kind << " piece " << piece;
      EXPECT_EQ(framed.toBytes(), zlibWhole) << "kind " << kind << " piece " << piece;
    }
  }
}

TEST(DeflateStream, AppendsAfterWhatTheBufferHolds) {
  base::HeapBytes out;
  out.append(Bytes{0xAA, 0xBB});
  DeflateStream stream(out);
  stream.finish();
  EXPECT_EQ(out.toBytes(), (Bytes{0xAA, 0xBB, 0x03, 0x00}));
}

}  // namespace
}  // namespace kd::compress
