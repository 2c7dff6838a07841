// DEFLATE encoder: one final block with the fixed Huffman codes and a greedy
// hash-chain match finder. The output is a fixed function of the input,
// whether it arrives whole or in pieces.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "compress/deflate.h"
#include "compress/huffman.h"

namespace kd::compress {

namespace {

constexpr size_t kWindow = 32768;
constexpr size_t kMaxMatch = 258;
constexpr size_t kMinMatch = 3;
constexpr int kMaxChain = 64;
constexpr size_t kHashSize = 32768;
// Bytes buffered ahead of a position before it is encoded mid-stream: a
// whole match, plus the two bytes that hash its last position.
constexpr size_t kLookahead = kMaxMatch + kMinMatch - 1;
static_assert(DeflateStream::kStreamBuffer % kWindow == 0 &&
              DeflateStream::kStreamBuffer >= 4 * kWindow);

// Fixed literal/length codes, bit-reversed so they go out LSB first like
// every other field: (reversed code, length).
struct FixedCode {
  uint16_t bits;
  uint8_t length;
};

constexpr std::array<FixedCode, 288> makeFixedCodes() {
  std::array<FixedCode, 288> t{};
  LengthCounts count{};
  std::array<uint16_t, 288> sorted{};
  sortCanonical(kFixedLiteralLengths.data(), t.size(), count, sorted.data());
  forEachCodeWord(count, sorted.data(), [&t](uint16_t symbol, unsigned len, uint32_t reversed) {
    t[symbol] = {static_cast<uint16_t>(reversed), static_cast<uint8_t>(len)};
  });
  return t;
}

constexpr auto kFixedCodes = makeFixedCodes();


unsigned distanceIndex(size_t dist) {
  auto it = std::upper_bound(kDistBase.begin(), kDistBase.end(), dist);
  return static_cast<unsigned>(it - kDistBase.begin() - 1);
}


}  // namespace

// The hot loop below is the whole match finder; it is long so that the
// tables, the buffer and the bit accumulator stay in registers.
//
// Positions before `stop` are encoded. `known` is the number of buffered
// bytes: it stands for the input length, which is exact in finish() and, in
// the middle of a stream, makes no difference to any decision, because
// write() only encodes positions with at least kLookahead bytes buffered
// ahead: the match limit is then 258 either way, and every position a match
// or literal consumes has its three hashed bytes buffered.
void DeflateStream::encode(size_t stop, size_t known) {
  const uint8_t* p = buffer_.data();
  const size_t n = known;
  int32_t* head = head_.data();
  int32_t* prev = prev_.data();
  auto hashAt = [p](size_t i) { return (size_t{p[i + 1] & 0x7Fu} << 8) | p[i + 2]; };

  size_t i = next_;
  while (i < stop) {
    size_t best = 0;
    size_t bestDist = 0;
    if (n - i >= kMinMatch) {
      const size_t limit = std::min(kMaxMatch, n - i);
      int32_t cand = head[hashAt(i)];
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
      unsigned k = kLengthIndex[best];
      const FixedCode& lc = kFixedCodes[257 + k];
      put(lc.bits, lc.length);
      put(static_cast<uint32_t>(best - kLengthBase[k]), kLengthExtra[k]);
      unsigned d = distanceIndex(bestDist);
      put(reverseBits(d, 5), 5);
      put(static_cast<uint32_t>(bestDist - kDistBase[d]), kDistExtra[d]);
      advance = best;
    } else {
      const FixedCode& c = kFixedCodes[p[i]];
      put(c.bits, c.length);
    }

    for (size_t end = i + advance; i < end; ++i) {
      if (n - i < kMinMatch) continue;
      size_t h = hashAt(i);
      prev[i % kWindow] = head[h];
      head[h] = static_cast<int32_t>(i);
    }
  }
  next_ = i;
}

DeflateStream::DeflateStream(base::HeapBytes& out) : out_(out), head_(kHashSize, -1) {
  put(1, 1);  // BFINAL
  put(1, 2);  // BTYPE 01: fixed Huffman codes
}

// n is at most 16; whole 32-bit groups go out as soon as they are complete.
void DeflateStream::put(uint32_t bits, unsigned n) {
  acc_ |= uint64_t{bits} << count_;
  count_ += n;
  if (count_ >= 32) {
    const size_t at = out_.size();
    out_.growTo(at + 4);
    base::storeLe32(out_.data() + at, static_cast<uint32_t>(acc_));
    acc_ >>= 32;
    count_ -= 32;
  }
}

// Called with the buffer full. Below full size the buffer grows (the ring
// grows with it up to the window); at full size it slides by whole windows,
// dropping every position more than a window behind next_: no match still
// to come can reach them, so forgetting them (-1) ends a chain exactly where
// the distance test would have.
void DeflateStream::makeRoom() {
  if (buffer_.size() < kStreamBuffer) {
    const size_t grown = std::min(kStreamBuffer, std::max<size_t>(buffer_.size() * 2, 4096));
    buffer_.resize(grown);
    if (prev_.size() < std::min(grown, kWindow)) prev_.resize(std::min(grown, kWindow), -1);
    return;
  }
  // write() has encoded up to kLookahead bytes before the end, so next_ is
  // far beyond one window and the slide frees most of the buffer.
  const size_t shift = (next_ - kWindow) / kWindow * kWindow;
  std::memmove(buffer_.data(), buffer_.data() + shift, filled_ - shift);
  filled_ -= shift;
  next_ -= shift;
  const int32_t s = static_cast<int32_t>(shift);
  for (int32_t& h : head_) h = h >= s ? h - s : -1;
  for (int32_t& h : prev_) h = h >= s ? h - s : -1;
}

void DeflateStream::write(ByteView data) {
  while (!data.empty()) {
    if (filled_ == buffer_.size()) makeRoom();
    const size_t n = std::min(data.size(), buffer_.size() - filled_);
    std::memcpy(buffer_.data() + filled_, data.data(), n);
    filled_ += n;
    data = data.subspan(n);
    if (filled_ - next_ >= kLookahead) encode(filled_ - kLookahead + 1, filled_);
  }
}

void DeflateStream::finish() {
  encode(filled_, filled_);
  const FixedCode& end = kFixedCodes[256];
  put(end.bits, end.length);
  while (count_ > 0) {
    out_.push_back(static_cast<uint8_t>(acc_));
    acc_ >>= 8;
    count_ = count_ > 8 ? count_ - 8 : 0;
  }
}

Bytes compress(ByteView data) {
  base::HeapBytes out;
  out.reserve(data.size() + data.size() / 8 + 16);
  DeflateStream stream(out);
  stream.write(data);
  stream.finish();
  return out.toBytes();
}

}  // namespace kd::compress
