// DEFLATE encoder: one final block with the fixed Huffman codes and a greedy
// hash-chain match finder. The output is a fixed function of the input.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "compress/deflate.h"

namespace kd::compress {

namespace {

constexpr size_t kWindow = 32768;
constexpr size_t kMaxMatch = 258;
constexpr size_t kMinMatch = 3;
constexpr int kMaxChain = 64;
constexpr size_t kHashSize = 32768;

// Fixed literal/length codes, bit-reversed so they go out LSB first like
// every other field: (reversed code, length).
struct FixedCode {
  uint16_t bits;
  uint8_t length;
};

constexpr uint16_t reverse(uint32_t code, unsigned len) {
  uint32_t r = 0;
  for (unsigned i = 0; i < len; ++i) r |= ((code >> i) & 1) << (len - 1 - i);
  return static_cast<uint16_t>(r);
}

constexpr std::array<FixedCode, 288> makeFixedCodes() {
  std::array<FixedCode, 288> t{};
  for (unsigned s = 0; s < 288; ++s) {
    uint32_t code;
    unsigned len;
    if (s < 144) {
      code = 0x30 + s;
      len = 8;
    } else if (s < 256) {
      code = 0x190 + (s - 144);
      len = 9;
    } else if (s < 280) {
      code = s - 256;
      len = 7;
    } else {
      code = 0xC0 + (s - 280);
      len = 8;
    }
    t[s] = {reverse(code, len), static_cast<uint8_t>(len)};
  }
  return t;
}

constexpr auto FixedCodes = makeFixedCodes();

// Length symbol index (symbol - 257) for every match length 0..258: the
// largest k with LengthBase[k] <= length.
constexpr std::array<uint8_t, kMaxMatch + 1> makeLengthIndex() {
  std::array<uint8_t, kMaxMatch + 1> t{};
  for (size_t len = kMinMatch; len <= kMaxMatch; ++len) {
    size_t k = 0;
    while (k + 1 < LengthBase.size() && LengthBase[k + 1] <= len) ++k;
    t[len] = static_cast<uint8_t>(k);
  }
  return t;
}

constexpr auto LengthIndex = makeLengthIndex();

unsigned distanceIndex(size_t dist) {
  auto it = std::upper_bound(DistBase.begin(), DistBase.end(), dist);
  return static_cast<unsigned>(it - DistBase.begin() - 1);
}

// LSB-first bit writer; whole bytes go out as soon as they are complete (the
// accumulator only batches them).
class BitWriter {
 public:
  explicit BitWriter(Bytes& out) : out_(out) {}

  // n is at most 16.
  void put(uint32_t bits, unsigned n) {
    acc_ |= uint64_t{bits} << count_;
    count_ += n;
    if (count_ >= 32) {
      for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(acc_ >> (8 * i)));
      acc_ >>= 32;
      count_ -= 32;
    }
  }

  // Zero-pads the last partial byte.
  void flush() {
    while (count_ > 0) {
      out_.push_back(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      count_ = count_ > 8 ? count_ - 8 : 0;
    }
  }

 private:
  Bytes& out_;
  uint64_t acc_ = 0;
  unsigned count_ = 0;
};

// Number of equal bytes at a and b, up to limit.
size_t matchLength(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        return n + static_cast<size_t>(std::countr_zero(x ^ y)) / 8;
      } else {
        return n + static_cast<size_t>(std::countl_zero(x ^ y)) / 8;
      }
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Pos holds positions: 32-bit while the input allows it (half the table
// memory), 64-bit beyond. The previous-position table is a ring over the
// window: a chain is never followed past 32768 bytes back, and within that
// distance no later position has reused a slot.
template <class Pos>
void encodeBlock(ByteView data, BitWriter& out) {
  const uint8_t* p = data.data();
  const size_t n = data.size();
  std::vector<Pos> head(kHashSize, Pos{-1});
  std::vector<Pos> prev(std::min(n, kWindow), Pos{-1});
  auto hashAt = [p](size_t i) { return (size_t{p[i + 1] & 0x7Fu} << 8) | p[i + 2]; };

  size_t i = 0;
  while (i < n) {
    size_t best = 0;
    size_t bestDist = 0;
    if (n - i >= kMinMatch) {
      const size_t limit = std::min(kMaxMatch, n - i);
      Pos cand = head[hashAt(i)];
      for (int examined = 0; examined < kMaxChain && cand >= 0; ++examined) {
        const size_t c = static_cast<size_t>(cand);
        if (i - c > kWindow) break;
        if (p[c + best] == p[i + best]) {
          size_t len = matchLength(p + c, p + i, limit);
          if (len > std::max<size_t>(2, best)) {
            best = len;
            bestDist = i - c;
            if (len >= limit) break;
          }
        }
        cand = prev[c % kWindow];
      }
    }

    size_t advance = 1;
    if (best >= kMinMatch) {
      unsigned k = LengthIndex[best];
      const FixedCode& lc = FixedCodes[257 + k];
      out.put(lc.bits, lc.length);
      out.put(static_cast<uint32_t>(best - LengthBase[k]), LengthExtra[k]);
      unsigned d = distanceIndex(bestDist);
      out.put(reverse(d, 5), 5);
      out.put(static_cast<uint32_t>(bestDist - DistBase[d]), DistExtra[d]);
      advance = best;
    } else {
      const FixedCode& c = FixedCodes[p[i]];
      out.put(c.bits, c.length);
    }

    for (size_t end = i + advance; i < end; ++i) {
      if (n - i < kMinMatch) continue;
      size_t h = hashAt(i);
      prev[i % kWindow] = head[h];
      head[h] = static_cast<Pos>(i);
    }
  }
}

}  // namespace

Bytes compress(ByteView data) {
  Bytes out;
  out.reserve(data.size() + data.size() / 8 + 16);
  BitWriter writer(out);
  writer.put(1, 1);  // BFINAL
  writer.put(1, 2);  // BTYPE 01: fixed Huffman codes
  if (data.size() <= static_cast<size_t>(INT32_MAX)) {
    encodeBlock<int32_t>(data, writer);
  } else {
    encodeBlock<int64_t>(data, writer);
  }
  const FixedCode& end = FixedCodes[256];
  writer.put(end.bits, end.length);
  writer.flush();
  return out;
}

}  // namespace kd::compress
