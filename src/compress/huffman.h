// Canonical prefix codes as RFC 1951 (section 3.2.2) assigns them, and as
// WebP lossless (RFC 9649) reuses them: code words go to the symbols in
// order of (length, symbol), counting up from zero. One assignment, one bit
// reversal and one bit-by-bit walk for the inflate and WebP decoders and
// the deflate encoder's fixed codes; each decoder lays its own lookup table
// out over forEachCodeWord.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kd::compress {

inline constexpr unsigned kMaxCodeLength = 15;

// Code words per length; entry 0 is always 0.
using LengthCounts = std::array<uint16_t, kMaxCodeLength + 1>;

namespace detail {
inline constexpr std::array<uint8_t, 256> kReversedBytes = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned r = 0;
    for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1) << (7 - i);
    t[b] = static_cast<uint8_t>(r);
  }
  return t;
}();
}  // namespace detail

// The low `len` (1 to 16) bits of code, reversed: a code word as an
// LSB-first reader meets it.
constexpr uint32_t reverseBits(uint32_t code, unsigned len) {
  const uint32_t r = uint32_t{detail::kReversedBytes[code & 0xFF]} << 8 |
                     detail::kReversedBytes[(code >> 8) & 0xFF];
  return r >> (16 - len);
}

// Counts the lengths[0, n) (each at most 15, 0: no code word) per length
// and writes the symbols that have a code word to `sorted` in canonical
// order. `sorted` has room for n symbols. Returns how many it wrote.
constexpr size_t sortCanonical(const uint8_t* lengths, size_t n, LengthCounts& count,
                               uint16_t* sorted) {
  count.fill(0);
  for (size_t s = 0; s < n; ++s) ++count[lengths[s]];
  count[0] = 0;
  std::array<uint32_t, kMaxCodeLength + 2> offset{};
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) offset[len + 1] = offset[len] + count[len];
  for (size_t s = 0; s < n; ++s) {
    if (lengths[s] != 0) sorted[offset[lengths[s]]++] = static_cast<uint16_t>(s);
  }
  return offset[kMaxCodeLength + 1];
}

// Unused 15-bit patterns of the code: 0 for a complete code, more for an
// incomplete one, -1 for an over-subscribed code, which has no prefix-free
// reading (only the walk decides what it decodes to).
constexpr int64_t codeSpaceLeft(const LengthCounts& count) {
  int64_t left = 1;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    left = left * 2 - count[len];
    if (left < 0) return -1;
  }
  return left;
}

// Calls fn(symbol, length, reversed code word) for every code word in
// canonical order. Where a length has run out of words (an over-subscribed
// code) it stops: the symbols after that point are unreachable, as the walk
// finds them.
template <class Fn>
constexpr void forEachCodeWord(const LengthCounts& count, const uint16_t* sorted, Fn&& fn) {
  uint32_t code = 0;
  size_t index = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    for (unsigned k = 0; k < count[len]; ++k, ++code, ++index) {
      if (code >= (uint32_t{1} << len)) return;
      fn(sorted[index], len, reverseBits(code, len));
    }
    code <<= 1;
  }
}

// One step of the bit-by-bit walk: the symbol and the bits its word took,
// or kOutOfBits (the input ends inside the word) or kNoCodeWord (no word of
// up to 15 bits starts with these bits).
struct WalkResult {
  int symbol;
  unsigned length;
};
inline constexpr int kOutOfBits = -1;
inline constexpr int kNoCodeWord = -2;

// Reads the code one bit at a time from `bits` (LSB first, `available` of
// them valid), comparing the word so far with the canonical words of each
// length.
constexpr WalkResult walkCanonical(const LengthCounts& count, const uint16_t* sorted, uint64_t bits,
                                   uint64_t available) {
  int code = 0;
  int first = 0;
  int index = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    if (len > available) return {kOutOfBits, 0};
    code |= static_cast<int>((bits >> (len - 1)) & 1);
    const int n = count[len];
    if (code - first < n) return {sorted[index + (code - first)], len};
    index += n;
    first = (first + n) << 1;
    code <<= 1;
  }
  return {kNoCodeWord, 0};
}

}  // namespace kd::compress

namespace kd::compress {

// Code lengths (at most `maxLength`, 1 to 15) of a prefix code for the
// symbols [0, n) that minimises sum(freq * length) under that limit within
// a few bits: Huffman's lengths (Moffat and Katajainen's in-place method),
// then the deepest words moved up until the code fits the limit. Symbols of
// frequency 0 get length 0; a lone used symbol gets length 1. The lengths
// go to forEachCodeWord (through sortCanonical) for the code words.
void buildLimitedLengths(const uint32_t* freq, size_t n, unsigned maxLength, uint8_t* lengths);

}  // namespace kd::compress
