// LZW as GIF and TIFF 6.0 use it. Table entries point at the first
// occurrence of their string in the output, so each string is written once,
// by a copy of an earlier stretch of the output, and the table holds two
// numbers per code.
#include "formats/lzw.h"

#include <array>
#include <cstring>

namespace kd::formats {

namespace {

constexpr unsigned kMaxCodes = 4096;
constexpr unsigned kMaxWidth = 12;

// Copies the len bytes at src to dst, where src + len <= dst (the string
// was written earlier in the same buffer). With 16 writable bytes at dst, a
// short string moves as two 8-byte words: the bytes copied past len lie
// ahead of the output and are overwritten before anything reads them.
inline void copyEarlierString(uint8_t* dst, const uint8_t* src, size_t len, size_t room) {
  if (len <= 16 && room >= 16) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(&b, src + 8, 8);
    std::memcpy(dst + 8, &b, 8);
    return;
  }
  std::memcpy(dst, src, len);
}

// Long on purpose: the bit buffer and the table stay in locals. The bit
// order is a template parameter so each order's code fetch is two
// instructions.
template <bool MsbFirst>
size_t decode(base::ByteView in, size_t expected, base::Bytes& out, const LzwRules& rules) {
  const unsigned clear = 1u << rules.minCodeSize;
  const unsigned endCode = clear + 1;
  const unsigned firstWidth = rules.minCodeSize + 1;
  const unsigned early = rules.earlyChange ? 1 : 0;
  std::array<size_t, kMaxCodes> start{};
  std::array<uint16_t, kMaxCodes> length{};
  const uint8_t* p = in.data();
  const uint8_t* const end = p + in.size();
  // LSB-first: the next code sits in the low bits; MSB-first: in the top
  // bits.
  uint64_t bits = 0;
  unsigned held = 0;
  unsigned width = firstWidth;
  unsigned next = clear + 2;
  bool havePrev = false;
  size_t prevStart = 0;
  size_t prevLen = 0;
  size_t pos = 0;
  for (;;) {
    while (held <= 56 && p < end) {
      bits |= MsbFirst ? uint64_t{*p++} << (56 - held) : uint64_t{*p++} << held;
      held += 8;
    }
    if (held < width) {
      if (rules.failOnTruncation) base::fail(base::ekTruncated, rules.truncated);
      break;  // the input ends without End
    }
    unsigned code;
    if constexpr (MsbFirst) {
      code = static_cast<unsigned>(bits >> (64 - width));
      bits <<= width;
    } else {
      code = static_cast<unsigned>(bits) & ((1u << width) - 1);
      bits >>= width;
    }
    held -= width;
    if (code == clear) {
      next = clear + 2;
      width = firstWidth;
      havePrev = false;
      continue;
    }
    if (code == endCode) break;
    size_t len;
    if (code < clear) {
      len = 1;
    } else if (!havePrev) {
      base::fail(base::ekInvalid, rules.badFirstCode);
    } else if (code < next) {
      len = length[code];
    } else if (code == next) {
      len = prevLen + 1;
    } else {
      base::fail(base::ekInvalid, rules.badCode);
    }
    if (len > expected - pos) {
      if (rules.overflow != nullptr) base::fail(base::ekInvalid, rules.overflow);
      // Keep the bytes that are still wanted: the part of the string that
      // fits, from where the string lies earlier in the output.
      const size_t keep = expected - pos;
      if (keep > out.size() - pos) growTo(out, expected, expected);
      if (code < clear) {
        if (keep > 0) out[pos] = static_cast<uint8_t>(code);
      } else if (keep > 0) {
        std::memcpy(out.data() + pos, out.data() + (code < next ? start[code] : prevStart), keep);
      }
      return expected;
    }
    if (len > out.size() - pos) growTo(out, pos + len, expected);
    uint8_t* o = out.data() + pos;
    if (code < clear) {
      *o = static_cast<uint8_t>(code);
    } else if (code < next) {
      copyEarlierString(o, out.data() + start[code], len, out.size() - pos);
    } else {
      // The previous string and its own first byte; the previous string
      // ends exactly where this one starts.
      copyEarlierString(o, out.data() + prevStart, prevLen, out.size() - pos);
      o[prevLen] = out[prevStart];
    }
    if (havePrev && next < kMaxCodes) {
      start[next] = prevStart;
      length[next] = static_cast<uint16_t>(prevLen + 1);
      ++next;
      if (next + early >= (1u << width) && width < kMaxWidth) ++width;
    }
    havePrev = true;
    prevStart = pos;
    prevLen = len;
    pos += len;
  }
  return pos;
}

}  // namespace

size_t lzwDecodeInto(base::ByteView in, size_t expected, base::Bytes& out, const LzwRules& rules) {
  return rules.msbFirst ? decode<true>(in, expected, out, rules)
                        : decode<false>(in, expected, out, rules);
}

}  // namespace kd::formats
