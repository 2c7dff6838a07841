// DEFLATE at a compression level: LZ77 tokens from a hash-chain match
// finder (greedy at low levels, lazy above), cut into blocks that each get
// their own length-limited Huffman codes (RFC 1951, 3.2.7), or the fixed
// codes when those are smaller. The whole input is in memory, so positions
// index it directly; the chain tables hold positions relative to a base
// that moves up by whole windows, so inputs beyond 2 GiB work too.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <tuple>
#include <vector>

#include "base/bytes.h"
#include "compress/deflate.h"
#include "compress/huffman.h"

namespace kd::compress {

namespace {

constexpr size_t kWindow = 32768;
constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 258;
constexpr unsigned kHashBits = 15;
constexpr size_t kBlockTokens = 1 << 15;
constexpr int32_t kNone = -1;

struct LevelParams {
  int maxChain;     // candidates examined per position
  size_t good;      // a pending match this long quarters the search
  size_t nice;      // a match this long ends the search
  bool lazy;
  // Greedy: longer matches leave their positions unhashed. Lazy: a
  // pending match this long is taken without looking at the next position.
  size_t limit;
};

// Index = level - 1.
constexpr std::array<LevelParams, 9> kLevels = {{
    {2, 4, 8, false, 4},
    {4, 4, 16, false, 8},
    {8, 4, 32, false, 16},
    {8, 4, 16, true, 4},
    {16, 8, 32, true, 16},
    {32, 8, 128, true, 16},
    {64, 8, 128, true, 32},
    {256, 32, 258, true, 128},
    {1024, 32, 258, true, 258},
}};

// Distance symbol of distances 1..32768: through dist - 1 below 256, else
// through (dist - 1) >> 7 in the upper half.
constexpr std::array<uint8_t, 512> kDistSymbol = [] {
  std::array<uint8_t, 512> t{};
  for (unsigned d = 0; d < 30; ++d) {
    const unsigned first = kDistBase[d] - 1;
    const unsigned last = first + (1u << kDistExtra[d]) - 1;
    for (unsigned v = first; v <= last; ++v) {
      if (v < 256) t[v] = static_cast<uint8_t>(d);
      t[256 + (v >> 7)] = static_cast<uint8_t>(d);
    }
  }
  return t;
}();

inline unsigned distSymbol(size_t dist) {
  const size_t v = dist - 1;
  return v < 256 ? kDistSymbol[v] : kDistSymbol[256 + (v >> 7)];
}

// A literal (dist 0, value the byte) or a match (length 3..258, dist).
struct Token {
  uint16_t value;
  uint16_t dist;
};

// LSB-first bits into a buffer the caller sizes ahead (room()).
class BitWriter {
 public:
  explicit BitWriter(Bytes& out) : out_(out) {}
  void room(size_t bytes) {
    if (out_.size() < at_ + bytes + 8) out_.resize(std::max(out_.size() * 3 / 2, at_ + bytes + 8));
  }
  // n at most 32.
  void put(uint32_t bits, unsigned n) {
    acc_ |= uint64_t{bits} << count_;
    count_ += n;
    if (count_ >= 32) {
      base::storeLe32(out_.data() + at_, static_cast<uint32_t>(acc_));
      at_ += 4;
      acc_ >>= 32;
      count_ -= 32;
    }
  }
  void finish() {
    room(8);
    while (count_ > 0) {
      out_[at_++] = static_cast<uint8_t>(acc_);
      acc_ >>= 8;
      count_ = count_ > 8 ? count_ - 8 : 0;
    }
    out_.resize(at_);
  }

 private:
  Bytes& out_;
  size_t at_ = 0;
  uint64_t acc_ = 0;
  unsigned count_ = 0;
};

struct Code {
  std::array<uint16_t, 288> bits{};  // reversed code words
  std::array<uint8_t, 288> length{};
};

void makeCode(const uint8_t* lengths, size_t n, Code& code) {
  LengthCounts count{};
  std::array<uint16_t, 288> sorted{};
  sortCanonical(lengths, n, count, sorted.data());
  code.length.fill(0);
  std::copy_n(lengths, n, code.length.begin());
  forEachCodeWord(count, sorted.data(), [&code](uint16_t symbol, unsigned, uint32_t reversed) {
    code.bits[symbol] = static_cast<uint16_t>(reversed);
  });
}

// One block: tokens and the frequencies of their symbols.
class BlockWriter {
 public:
  explicit BlockWriter(BitWriter& bits) : bits_(bits) { tokens_.reserve(kBlockTokens); }

  void literal(uint8_t b) {
    tokens_.push_back({b, 0});
    ++litFreq_[b];
  }
  void match(size_t length, size_t dist) {
    tokens_.push_back({static_cast<uint16_t>(length), static_cast<uint16_t>(dist)});
    ++litFreq_[257 + kLengthIndex[length]];
    ++distFreq_[distSymbol(dist)];
  }
  bool full() const { return tokens_.size() >= kBlockTokens; }
  void flush(bool final);

 private:
  void writeTokens(const Code& lit, const Code& dist);

  BitWriter& bits_;
  std::vector<Token> tokens_;
  std::array<uint32_t, 286> litFreq_{};
  std::array<uint32_t, 30> distFreq_{};
};

// Bits of the tokens under the code lengths (extra bits included).
uint64_t tokenCost(const std::array<uint32_t, 286>& litFreq, const std::array<uint32_t, 30>& distFreq,
                   const uint8_t* litLen, const uint8_t* distLen) {
  uint64_t cost = 0;
  for (size_t s = 0; s < 286; ++s) {
    cost += uint64_t{litFreq[s]} * (litLen[s] + (s >= 257 ? kLengthExtra[s - 257] : 0));
  }
  for (size_t s = 0; s < 30; ++s) cost += uint64_t{distFreq[s]} * (distLen[s] + kDistExtra[s]);
  return cost;
}

void BlockWriter::flush(bool final) {
  litFreq_[256] = 1;
  // Two distance words at least, so every inflater takes the code.
  std::array<uint32_t, 30> distFreq = distFreq_;
  if (std::count_if(distFreq.begin(), distFreq.end(), [](uint32_t f) { return f != 0; }) < 2) {
    distFreq[0] = std::max<uint32_t>(distFreq[0], 1);
    distFreq[1] = std::max<uint32_t>(distFreq[1], 1);
  }
  std::array<uint8_t, 286> litLen{};
  std::array<uint8_t, 30> distLen{};
  buildLimitedLengths(litFreq_.data(), 286, 15, litLen.data());
  buildLimitedLengths(distFreq.data(), 30, 15, distLen.data());

  size_t hlit = 286;
  while (hlit > 257 && litLen[hlit - 1] == 0) --hlit;
  size_t hdist = 30;
  while (hdist > 1 && distLen[hdist - 1] == 0) --hdist;

  // The code lengths, run-length coded (symbols 16, 17, 18).
  std::array<uint8_t, 316> all{};
  std::copy_n(litLen.begin(), hlit, all.begin());
  std::copy_n(distLen.begin(), hdist, all.begin() + static_cast<ptrdiff_t>(hlit));
  const size_t total = hlit + hdist;
  std::vector<std::array<uint8_t, 2>> runs;  // (symbol, extra value)
  std::array<uint32_t, 19> clFreq{};
  for (size_t i = 0; i < total;) {
    const uint8_t len = all[i];
    size_t run = 1;
    while (i + run < total && all[i + run] == len) ++run;
    size_t left = run;
    if (len == 0) {
      while (left >= 11) {
        const size_t n = std::min<size_t>(left, 138);
        runs.push_back({18, static_cast<uint8_t>(n - 11)});
        left -= n;
      }
      if (left >= 3) {
        runs.push_back({17, static_cast<uint8_t>(left - 3)});
        left = 0;
      }
    } else {
      runs.push_back({len, 0});
      --left;
      while (left >= 3) {
        const size_t n = std::min<size_t>(left, 6);
        runs.push_back({16, static_cast<uint8_t>(n - 3)});
        left -= n;
      }
    }
    for (; left > 0; --left) runs.push_back({len, 0});
    i += run;
  }
  for (const auto& r : runs) ++clFreq[r[0]];
  std::array<uint8_t, 19> clLen{};
  buildLimitedLengths(clFreq.data(), 19, 7, clLen.data());
  size_t hclen = 19;
  while (hclen > 4 && clLen[kCodeLenOrder[hclen - 1]] == 0) --hclen;

  uint64_t dynamicCost = 14 + 3 * hclen + tokenCost(litFreq_, distFreq_, litLen.data(), distLen.data());
  for (const auto& r : runs) {
    dynamicCost += clLen[r[0]] + (r[0] == 16 ? 2 : r[0] == 17 ? 3 : r[0] == 18 ? 7 : 0);
  }
  const uint64_t fixedCost =
      tokenCost(litFreq_, distFreq_, kFixedLiteralLengths.data(), kFixedDistanceLengths.data());

  bits_.room(tokens_.size() * 6 + 1024);
  Code lit;
  Code dist;
  if (fixedCost <= dynamicCost) {
    bits_.put(final ? 1 : 0, 1);
    bits_.put(1, 2);
    makeCode(kFixedLiteralLengths.data(), 288, lit);
    makeCode(kFixedDistanceLengths.data(), 30, dist);
  } else {
    bits_.put(final ? 1 : 0, 1);
    bits_.put(2, 2);
    bits_.put(static_cast<uint32_t>(hlit - 257), 5);
    bits_.put(static_cast<uint32_t>(hdist - 1), 5);
    bits_.put(static_cast<uint32_t>(hclen - 4), 4);
    for (size_t i = 0; i < hclen; ++i) bits_.put(clLen[kCodeLenOrder[i]], 3);
    Code cl;
    makeCode(clLen.data(), 19, cl);
    for (const auto& r : runs) {
      bits_.put(cl.bits[r[0]], cl.length[r[0]]);
      if (r[0] == 16) bits_.put(r[1], 2);
      if (r[0] == 17) bits_.put(r[1], 3);
      if (r[0] == 18) bits_.put(r[1], 7);
    }
    makeCode(litLen.data(), 286, lit);
    makeCode(distLen.data(), 30, dist);
  }
  writeTokens(lit, dist);
  bits_.put(lit.bits[256], lit.length[256]);
  tokens_.clear();
  litFreq_.fill(0);
  distFreq_.fill(0);
}

void BlockWriter::writeTokens(const Code& lit, const Code& dist) {
  for (const Token& t : tokens_) {
    if (t.dist == 0) {
      bits_.put(lit.bits[t.value], lit.length[t.value]);
      continue;
    }
    const unsigned k = kLengthIndex[t.value];
    bits_.put(lit.bits[257 + k], lit.length[257 + k]);
    bits_.put(t.value - kLengthBase[k], kLengthExtra[k]);
    const unsigned d = distSymbol(t.dist);
    bits_.put(dist.bits[d], dist.length[d]);
    bits_.put(t.dist - kDistBase[d], kDistExtra[d]);
  }
}

// The match finder over the whole input. head_ and prev_ hold positions
// minus base_ (kNone: none).
class Matcher {
 public:
  Matcher(ByteView data, const LevelParams& params)
      : p_(data.data()), n_(data.size()), params_(params), head_(size_t{1} << kHashBits, kNone),
        prev_(kWindow, kNone) {}

  // Hashes position i (which has kMinMatch bytes ahead) into the chains
  // and returns the previous head of its chain.
  int64_t insert(size_t i) {
    if (i - base_ >= (size_t{1} << 30)) rebase(i);
    const size_t h = hash(i);
    const int32_t old = head_[h];
    prev_[i % kWindow] = old;
    head_[h] = static_cast<int32_t>(i - base_);
    return old == kNone ? -1 : static_cast<int64_t>(base_) + old;
  }

  // The longest match at i longer than `atLeast`, looking at `chain`
  // candidates from `cand` on: (length, distance), length 0 if none.
  std::pair<size_t, size_t> find(size_t i, int64_t cand, size_t atLeast, int chain) const {
    const size_t limit = std::min(kMaxMatch, n_ - i);
    size_t best = atLeast;
    size_t bestDist = 0;
    if (limit <= best) return {0, 0};
    for (; chain > 0 && cand >= 0; --chain) {
      const size_t c = static_cast<size_t>(cand);
      if (i - c > kWindow) break;
      if (p_[c + best] == p_[i + best] && p_[c] == p_[i]) {
        const size_t len = matchLength(p_ + c, p_ + i, limit);
        if (len > best) {
          best = len;
          bestDist = i - c;
          if (len >= params_.nice || len >= limit) break;
        }
      }
      const int32_t next = prev_[c % kWindow];
      cand = next == kNone ? -1 : static_cast<int64_t>(base_) + next;
    }
    if (bestDist == 0) return {0, 0};
    return {best, bestDist};
  }

 private:
  size_t hash(size_t i) const {
    const uint32_t v = uint32_t{p_[i]} | uint32_t{p_[i + 1]} << 8 | uint32_t{p_[i + 2]} << 16;
    return (v * 0x9E3779B1u) >> (32 - kHashBits);
  }
  // Moves the base up by whole windows; entries below it are forgotten
  // (they are more than a window behind i).
  void rebase(size_t i) {
    const size_t shift = (i - base_ - kWindow) / kWindow * kWindow;
    const auto s = static_cast<int64_t>(shift);
    for (int32_t& h : head_) h = h != kNone && h >= s ? static_cast<int32_t>(h - s) : kNone;
    for (int32_t& h : prev_) h = h != kNone && h >= s ? static_cast<int32_t>(h - s) : kNone;
    base_ += shift;
  }

  const uint8_t* p_;
  size_t n_;
  const LevelParams& params_;
  size_t base_ = 0;
  std::vector<int32_t> head_;
  std::vector<int32_t> prev_;
};

void greedy(ByteView data, const LevelParams& params, Matcher& m, BlockWriter& block) {
  const size_t n = data.size();
  size_t i = 0;
  while (i < n) {
    size_t len = 0;
    size_t dist = 0;
    if (n - i >= kMinMatch) std::tie(len, dist) = m.find(i, m.insert(i), kMinMatch - 1, params.maxChain);
    if (len >= kMinMatch) {
      block.match(len, dist);
      const size_t end = i + len;
      if (len <= params.limit) {
        for (++i; i < end && n - i >= kMinMatch; ++i) m.insert(i);
      }
      i = end;
    } else {
      block.literal(data[i]);
      ++i;
    }
    if (block.full()) block.flush(false);
  }
}

// A match found at i is held back one position: if i + 1 starts a longer
// one, i goes out as a literal and the longer match is held instead.
void lazy(ByteView data, const LevelParams& params, Matcher& m, BlockWriter& block) {
  const size_t n = data.size();
  size_t i = 0;
  size_t prevLen = 0;
  size_t prevDist = 0;
  bool pending = false;
  while (i < n) {
    size_t len = 0;
    size_t dist = 0;
    if (n - i >= kMinMatch) {
      const int64_t cand = m.insert(i);
      if (!(pending && prevLen >= params.limit)) {
        const int chain = pending && prevLen >= params.good ? params.maxChain / 4 + 1 : params.maxChain;
        std::tie(len, dist) = m.find(i, cand, pending ? std::max<size_t>(prevLen, 2) : 2, chain);
        if (len == kMinMatch && dist > 4096) len = 0;
      }
    }
    if (pending && prevLen >= kMinMatch && len <= prevLen) {
      block.match(prevLen, prevDist);
      const size_t end = i - 1 + prevLen;
      for (++i; i < end && n - i >= kMinMatch; ++i) m.insert(i);
      i = end;
      pending = false;
    } else {
      if (pending) block.literal(data[i - 1]);
      pending = true;
      prevLen = len;
      prevDist = dist;
      ++i;
    }
    if (block.full()) block.flush(false);
  }
  if (pending) block.literal(data[n - 1]);
}

}  // namespace

Bytes compressLevel(ByteView data, int level) {
  const LevelParams& params = kLevels[static_cast<size_t>(std::clamp(level, 1, 9) - 1)];
  Bytes out;
  out.reserve(data.size() / 2 + 1024);
  BitWriter bits(out);
  BlockWriter block(bits);
  Matcher matcher(data, params);
  if (params.lazy) {
    lazy(data, params, matcher, block);
  } else {
    greedy(data, params, matcher, block);
  }
  block.flush(true);
  bits.finish();
  return out;
}

}  // namespace kd::compress
