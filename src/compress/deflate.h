// Raw DEFLATE (RFC 1951): a capped decoder and a one-block fixed-Huffman
// encoder, whole or streamed.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/heap_bytes.h"

namespace kd::compress {

using base::ByteView;
using base::Bytes;

// RFC 1951 tables, indexed by length symbol - 257 and by distance symbol.
inline constexpr std::array<uint16_t, 29> kLengthBase = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                                                        1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                                                        4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint16_t, 30> kDistBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,
                                                      4, 4, 5, 5, 6, 6, 7,  7,  8,  8,
                                                      9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<uint8_t, 19> kCodeLenOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                         11, 4,  12, 3, 13, 2, 14, 1, 15};

// The code lengths of the fixed Huffman codes (RFC 1951, 3.2.6): literal/
// length symbols 0-287 and distance symbols 0-29.
inline constexpr std::array<uint8_t, 288> kFixedLiteralLengths = [] {
  std::array<uint8_t, 288> t{};
  for (size_t s = 0; s < t.size(); ++s) t[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
  return t;
}();
inline constexpr std::array<uint8_t, 30> kFixedDistanceLengths = [] {
  std::array<uint8_t, 30> t{};
  t.fill(5);
  return t;
}();

// Length symbol index (symbol - 257) for every match length 0..258: the
// largest k with kLengthBase[k] <= length (0 below 3).
inline constexpr std::array<uint8_t, 259> kLengthIndex = [] {
  std::array<uint8_t, 259> t{};
  for (size_t len = 3; len < t.size(); ++len) {
    size_t k = 0;
    while (k + 1 < kLengthBase.size() && kLengthBase[k + 1] <= len) ++k;
    t[len] = static_cast<uint8_t>(k);
  }
  return t;
}();

// No DEFLATE stream produces more than this many bytes per input byte (a
// 258-byte match in two bits): the bound every buffer sized from a
// compressed length uses.
inline constexpr size_t kDeflateMaxExpansion = 1032;

struct InflateResult {
  Bytes output;
  // Index (into the whole input) of the first byte after the last byte the
  // decoder fetched; bits left over in that byte are discarded.
  size_t consumed = 0;
};

// Decodes the raw DEFLATE stream that starts at byte `start` of `data`.
// `data` is untrusted. Fails (KeldraException) if the output would exceed
// `cap` bytes, and on every malformed or truncated stream; never returns
// partial output.
// capIsExpectedSize only sizes the output buffer: when the caller expects the
// output to fill the cap (PNG image data), the whole cap is allocated at once
// as long as the input is large enough to produce it (1032 output bytes per
// input byte at most); otherwise the buffer grows with the output.
InflateResult inflateWithConsumed(ByteView data, size_t start, size_t cap,
                                  bool capIsExpectedSize = false);

// One final block with the fixed Huffman codes and a greedy hash-chain match
// finder (at most 64 candidates, at most 32768 bytes back). The output bytes
// are a fixed function of the input. Never fails.
Bytes compress(ByteView data);

// Raw DEFLATE at `level` 1 (fastest) to 9 (smallest): a one-probe hash
// table at 1, hash chains searched deeper with the level above it (greedy
// at 2 and 3, lazy from 4 on); blocks end where the symbol statistics
// change and each is stored, fixed or dynamic, whichever is smallest (see
// deflate_blocks.h). The output is a fixed function of the input and the
// level. Never fails.
Bytes compressLevel(ByteView data, int level);

// compress() fed piece by piece: the bytes appended to `out` are those
// compress() gives for the concatenation of every piece written, however the
// input is cut. Memory stays bounded whatever the input length: the input is
// kept in a sliding buffer of at most kStreamBuffer bytes (the 32 KiB window
// plus what waits to be encoded) beside the two match tables. Compressed
// bytes are appended as they are complete and never changed afterwards, so
// the caller may checksum or move them between writes.
class DeflateStream {
 public:
  static constexpr size_t kStreamBuffer = size_t{1} << 18;

  // Appends to what `out` holds; `out` must outlive the stream.
  explicit DeflateStream(base::HeapBytes& out);
  void write(ByteView data);
  // Ends the block and pads the last byte. Nothing may be written after.
  void finish();

 private:
  void encode(size_t stop, size_t known);
  void makeRoom();
  void put(uint32_t bits, unsigned n);

  base::HeapBytes& out_;
  uint64_t acc_ = 0;  // bits not yet appended, LSB first
  unsigned count_ = 0;
  // Input from some position on; head_ and prev_ hold indices into it (-1:
  // none). prev_ is a ring over the window, indexed by position mod 32768;
  // sliding moves the buffer by whole windows so the slots stay put.
  std::vector<uint8_t> buffer_;
  size_t filled_ = 0;
  size_t next_ = 0;  // index of the next position to encode
  std::vector<int32_t> head_;
  std::vector<int32_t> prev_;
};

// Number of equal bytes at a and b, up to limit (both encoders' match
// extension).
inline size_t matchLength(const uint8_t* a, const uint8_t* b, size_t limit) {
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

}  // namespace kd::compress
