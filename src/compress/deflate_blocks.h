// The block side of the levelled DEFLATE encoder: LZ77 sequences (a run of
// literals, then at most one match) in input order, cut into blocks where
// the symbol statistics change (RFC 1951, 3.2.3), each block written stored,
// with the fixed codes or with its own dynamic codes, whichever is exactly
// the smallest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/bytes.h"
#include "compress/deflate.h"

namespace kd::compress {

// Distance symbol of distances 1..32768: through dist - 1 below 256, else
// through (dist - 1) >> 7 in the upper half.
inline constexpr std::array<uint8_t, 512> kDistSymbol = [] {
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


// LSB-first bits into a growing buffer. add() queues bits without storing;
// between two flush() calls at most 56 bits may be added.
class DeflateBitWriter {
 public:
  explicit DeflateBitWriter(base::Bytes& out) : out_(out) {}
  // Makes room for `bytes` more output bytes (plus the 8 a flush stores).
  void room(size_t bytes);
  void add(uint32_t bits, unsigned n) {
    acc_ |= uint64_t{bits} << count_;
    count_ += n;
  }
  // Stores the whole bytes queued; the buffer has room() for them.
  void flush() {
    base::storeLe64(out_.data() + at_, acc_);
    at_ += count_ >> 3;
    acc_ >>= count_ & ~7u;
    count_ &= 7;
  }
  void put(uint32_t bits, unsigned n) {
    add(bits, n);
    flush();
  }
  // Pads to a byte boundary with zero bits and stores `n` bytes.
  void alignAndCopy(const uint8_t* p, size_t n);
  // Bits queued and not yet stored (0..7 after a flush).
  unsigned pending() const { return count_; }
  // Pads the last byte and trims the buffer to what was written.
  void finish();

 private:
  base::Bytes& out_;
  size_t at_ = 0;
  uint64_t acc_ = 0;
  unsigned count_ = 0;
};

class DeflateBlocks {
 public:
  // `data` is the whole input the tokens describe, in order from byte 0.
  DeflateBlocks(base::ByteView data, DeflateBitWriter& bits);

  // The next `n` input bytes go out as literals.
  void literals(size_t n);
  // The next `length` (3..258) input bytes repeat those `dist` (1..32768)
  // bytes back.
  void match(size_t length, size_t dist) {
    sequences_.push_back({pendingLiterals_, static_cast<uint16_t>(length), static_cast<uint16_t>(dist)});
    pendingLiterals_ = 0;
    ++chunk_.lit[257 + kLengthIndex[length]];
    ++chunk_.dist[distSymbol(dist)];
    cursor_ += length;
    if (++chunkTokens_ >= kChunkTokens) endChunk();
  }
  // Writes what is left as the final block(s).
  void finish();

 private:
  static constexpr size_t kChunkTokens = 1u << 13;
  static constexpr size_t kMaxBlockTokens = 1u << 17;

  struct Sequence {
    uint32_t literals;
    uint16_t length;  // 0: literals only
    uint16_t dist;
  };
  struct Freqs {
    std::array<uint32_t, 286> lit{};
    std::array<uint32_t, 30> dist{};
    void add(const Freqs& o);
  };

  void closeRun();
  void endChunk();
  void writeBlock(size_t sequences, size_t bytes, const Freqs& freq, bool final);
  void writeSequences(size_t count, const uint32_t* litCode, const uint32_t* distCode);

  const uint8_t* data_;
  DeflateBitWriter& bits_;
  size_t cursor_ = 0;       // input bytes covered by tokens so far
  size_t blockStart_ = 0;   // first input byte of the open block
  size_t chunkStart_ = 0;   // first input byte of the open chunk
  uint32_t pendingLiterals_ = 0;
  size_t chunkTokens_ = 0;
  size_t blockTokens_ = 0;
  size_t chunkFirstSequence_ = 0;
  std::vector<Sequence> sequences_;
  Freqs block_;  // the open block before the open chunk
  Freqs chunk_;  // the open chunk
  double blockBits_ = 0;  // estimated size of block_'s symbols
};

}  // namespace kd::compress
