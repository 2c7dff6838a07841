// DEFLATE at a compression level: LZ77 matches found in the whole input
// (which is in memory, so positions index it directly), handed to the block
// writer (deflate_blocks.h), which cuts blocks and picks their codes.
//
// Level 1 probes one hash table of 4-byte sequences once per position and
// takes the first match greedily; after many misses in a row it steps over
// more positions (photographs' filtered rows are mostly literals, and a
// probe costs more than the literal it might save). Levels 2 and up chain
// every position with the same 4-byte hash (searched up to a depth) and
// keep the last position of each 3-byte hash for length-3 matches; levels
// 2 and 3 are greedy, 4 and up lazy: a match is held back while the next
// position starts a longer one. Chain tables hold positions minus a base
// that moves up by whole windows, so inputs beyond 2 GiB work too.
#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "base/bytes.h"
#include "compress/deflate.h"
#include "compress/deflate_blocks.h"

namespace kd::compress {

namespace {

using base::loadLe32;

constexpr size_t kWindow = 32768;
constexpr size_t kMaxMatch = 258;
// A length-3 match further back than this costs more than its literals.
constexpr size_t kFarLength3 = 4096;
constexpr int32_t kNone = -1;
constexpr size_t kRebaseAt = size_t{1} << 30;

struct LevelParams {
  int depth;     // chain candidates examined per position
  size_t nice;   // a match this long ends the search
  size_t lazy;   // 0: greedy; else a held match this long is taken at once
  size_t good;   // a held match this long quarters the next search
};

// Index = level - 2.
constexpr std::array<LevelParams, 8> kLevels = {{
    {4, 16, 0, 0},
    {10, 32, 0, 0},
    {8, 16, 8, 4},
    {16, 32, 16, 8},
    {40, 96, 32, 8},
    {96, 128, 64, 16},
    {256, 258, 128, 32},
    {1024, 258, 258, 32},
}};

inline uint32_t hash4(const uint8_t* p, unsigned bits) {
  return (loadLe32(p) * 0x1E35A7BDu) >> (32 - bits);
}
inline uint32_t hash3(const uint8_t* p, unsigned bits) {
  return ((loadLe32(p) & 0xFFFFFF) * 0x1E35A7BDu) >> (32 - bits);
}

// Positions relative to a base (kNone: none) in tables that move with it.
class Positions {
 public:
  explicit Positions(size_t size) : slots_(size, kNone) {}
  int32_t& operator[](size_t k) { return slots_[k]; }
  // Forgets entries below `shift` and lowers the rest by it.
  void lower(int32_t shift) {
    for (int32_t& s : slots_) s = s >= shift ? s - shift : kNone;
  }

 private:
  std::vector<int32_t> slots_;
};

// Level 1: one probe per position into a table of the last position of
// each 4-byte hash, the match taken greedily. The positions inside short
// matches are hashed too (photographs repeat short runs close by); after
// runs of misses the scan steps over more positions.
void compressFast(ByteView data, DeflateBlocks& blocks) {
  constexpr unsigned kBits = 15;
  constexpr size_t kHashInside = 8;
  const uint8_t* p = data.data();
  const size_t n = data.size();
  Positions table(size_t{1} << kBits);
  size_t base = 0;
  size_t literalStart = 0;
  size_t i = 0;
  size_t misses = 0;
  while (i + 8 <= n) {
    if (i - base >= kRebaseAt) {
      const size_t shift = (i - base - kWindow) / kWindow * kWindow;
      table.lower(static_cast<int32_t>(shift));
      base += shift;
    }
    int32_t& slot = table[hash4(p + i, kBits)];
    const int32_t old = slot;
    slot = static_cast<int32_t>(i - base);
    const size_t c = base + static_cast<size_t>(old);
    if (old == kNone || i - c > kWindow || loadLe32(p + c) != loadLe32(p + i)) {
      ++misses;
      i += 1 + std::min<size_t>(misses >> 4, 15);
      continue;
    }
    const size_t len = 4 + matchLength(p + c + 4, p + i + 4, std::min(kMaxMatch, n - i) - 4);
    blocks.literals(i - literalStart);
    blocks.match(len, i - c);
    const size_t end = i + len;
    // The last position with 4 bytes ahead is end - 1 at most; end <= n.
    for (size_t k = len <= kHashInside ? i + 1 : end - 2; k < end && n - k >= 4; ++k) {
      table[hash4(p + k, kBits)] = static_cast<int32_t>(k - base);
    }
    i = end;
    literalStart = i;
    misses = 0;
  }
  blocks.literals(n - literalStart);
}

// Levels 2-9: hash chains over 4-byte hashes and a one-entry table of
// 3-byte hashes.
class ChainMatcher {
 public:
  static constexpr unsigned kBits4 = 15;
  static constexpr unsigned kBits3 = 14;

  explicit ChainMatcher(ByteView data)
      : p_(data.data()), n_(data.size()), head4_(size_t{1} << kBits4), head3_(size_t{1} << kBits3),
        prev_(kWindow) {}

  // Hashes position i (4 bytes ahead at least) into the tables and looks
  // for a match longer than `atLeast` among `depth` chain candidates:
  // (length, distance), length 0 when there is none.
  std::pair<size_t, size_t> insertAndFind(size_t i, size_t atLeast, int depth, size_t nice) {
    if (i - base_ >= kRebaseAt) rebase(i);
    const int32_t rel = static_cast<int32_t>(i - base_);
    int32_t& slot3 = head3_[hash3(p_ + i, kBits3)];
    const int32_t c3 = slot3;
    slot3 = rel;
    int32_t& slot4 = head4_[hash4(p_ + i, kBits4)];
    int32_t cand = slot4;
    prev_[i % kWindow] = cand;
    slot4 = rel;
    inserted_ = i;

    const size_t limit = std::min(kMaxMatch, n_ - i);
    size_t best = atLeast;
    size_t bestDist = 0;
    if (limit <= best) return {0, 0};
    const uint8_t* here = p_ + i;
    const uint32_t first = loadLe32(here);
    if (best < 3 && c3 != kNone) {
      const size_t c = base_ + static_cast<size_t>(c3);
      if (i - c <= kFarLength3 && ((loadLe32(p_ + c) ^ first) & 0xFFFFFF) == 0) {
        best = 3;
        bestDist = i - c;
      }
    }
    for (; depth > 0 && cand != kNone; --depth) {
      const size_t c = base_ + static_cast<size_t>(cand);
      if (i - c > kWindow) break;
      const uint8_t* there = p_ + c;
      // Compares the four bytes that end a longer match first.
      const size_t tail = best >= 3 ? best - 3 : 0;
      if (loadLe32(there + tail) == loadLe32(here + tail) && loadLe32(there) == first) {
        const size_t len = 4 + matchLength(there + 4, here + 4, limit - 4);
        if (len > best) {
          best = len;
          bestDist = i - c;
          if (len >= nice || len >= limit) break;
        }
      }
      cand = prev_[c % kWindow];
    }
    if (bestDist == 0) return {0, 0};
    return {best, bestDist};
  }

  // Hashes the positions after the last one hashed, up to `end`.
  void insertUpTo(size_t end) {
    end = std::min(end, n_ >= 4 ? n_ - 3 : 0);
    for (size_t i = inserted_ + 1; i < end; ++i) {
      if (i - base_ >= kRebaseAt) rebase(i);
      const int32_t rel = static_cast<int32_t>(i - base_);
      head3_[hash3(p_ + i, kBits3)] = rel;
      int32_t& slot4 = head4_[hash4(p_ + i, kBits4)];
      prev_[i % kWindow] = slot4;
      slot4 = rel;
    }
    if (end > inserted_ + 1) inserted_ = end - 1;
  }

 private:
  // Moves the base up by whole windows; entries below it are forgotten
  // (they are more than a window behind i).
  void rebase(size_t i) {
    const size_t shift = (i - base_ - kWindow) / kWindow * kWindow;
    const auto s = static_cast<int32_t>(shift);
    head4_.lower(s);
    head3_.lower(s);
    prev_.lower(s);
    base_ += shift;
  }

  const uint8_t* p_;
  size_t n_;
  size_t base_ = 0;
  size_t inserted_ = 0;
  Positions head4_;
  Positions head3_;
  Positions prev_;
};

void compressChained(ByteView data, const LevelParams& params, DeflateBlocks& blocks) {
  const size_t n = data.size();
  ChainMatcher m(data);
  size_t i = 0;
  while (i < n) {
    if (n - i < 4) {
      blocks.literals(n - i);
      break;
    }
    auto [len, dist] = m.insertAndFind(i, 2, params.depth, params.nice);
    if (len == 0) {
      blocks.literals(1);
      ++i;
      continue;
    }
    // Lazy: while the next position starts a longer match, the held one's
    // first byte goes out as a literal.
    while (params.lazy != 0 && len < params.lazy && n - (i + 1) >= 4) {
      const int depth = len >= params.good ? params.depth / 4 + 1 : params.depth;
      const auto [next, nextDist] = m.insertAndFind(i + 1, len, depth, params.nice);
      if (next <= len) break;
      blocks.literals(1);
      ++i;
      len = next;
      dist = nextDist;
    }
    blocks.match(len, dist);
    m.insertUpTo(i + len);
    i += len;
  }
}

}  // namespace

Bytes compressLevel(ByteView data, int level) {
  level = std::clamp(level, 1, 9);
  Bytes out;
  out.resize(data.size() / 2 + 1024);
  DeflateBitWriter bits(out);
  DeflateBlocks blocks(data, bits);
  if (level == 1) {
    compressFast(data, blocks);
  } else {
    compressChained(data, kLevels[static_cast<size_t>(level - 2)], blocks);
  }
  blocks.finish();
  bits.finish();
  return out;
}

}  // namespace kd::compress
