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
// was written earlier in the same buffer). With `room` writable bytes at
// dst for whole 16-byte steps, the string moves 16 bytes at a time: the
// bytes copied past len lie ahead of the output and are overwritten before
// anything reads them.
inline void copyEarlierString(uint8_t* dst, const uint8_t* src, size_t len, size_t room) {
  if (len <= 16 && room >= 16) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + 8, &b, 8);
    return;
  }
  if (room >= len + 15) {
    for (size_t i = 0; i < len; i += 16) std::memcpy(dst + i, src + i, 16);
    return;
  }
  std::memcpy(dst, src, len);
}

// The byte of every literal code (its low 8 bits), with 16 readable bytes
// after each: a literal is copied like any other string.
constexpr std::array<uint8_t, kMaxCodes + 16> kLiteralBytes = [] {
  std::array<uint8_t, kMaxCodes + 16> t{};
  for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(i);
  return t;
}();

// The output: a fixed stretch of `size` bytes, or a buffer that grows (by
// doubling, never beyond `expected`).
struct Output {
  uint8_t* data;
  size_t size;
  base::Bytes* growable;
};

// Long on purpose: the bit buffer, the output and the table stay in
// locals. The bit order is a template parameter so each order's code fetch
// is two instructions.
template <bool MsbFirst>
size_t decode(base::ByteView in, size_t expected, Output out, const LzwRules& rules) {
  const unsigned clear = 1u << rules.minCodeSize;
  const unsigned endCode = clear + 1;
  const unsigned firstWidth = rules.minCodeSize + 1;
  const unsigned early = rules.earlyChange ? 1 : 0;
  // Where each code's string starts (as an address) and its length: the
  // literals point into kLiteralBytes, the table codes into the output.
  // Entries from clear + 2 up to `next` are written before they are read,
  // so that part is not cleared. Every code below `next` but Clear and End
  // has a string: after a Clear, `next` is clear + 2.
  std::array<uintptr_t, kMaxCodes> start;
  std::array<uint16_t, kMaxCodes> length;
  for (unsigned c = 0; c < clear; ++c) {
    start[c] = reinterpret_cast<uintptr_t>(kLiteralBytes.data() + c);
    length[c] = 1;
  }
  const uint8_t* p = in.data();
  const uint8_t* const end = p + in.size();
  // LSB-first: the next code sits in the low bits; MSB-first: in the top
  // bits. Bits beyond `held` are zero or the next input bits at their
  // places, so a refill may OR the same bytes in again.
  uint64_t bits = 0;
  unsigned held = 0;
  unsigned width = firstWidth;
  unsigned next = clear + 2;
  bool havePrev = false;
  size_t prevStart = 0;
  size_t prevLen = 0;
  size_t pos = 0;
  for (;;) {
    if (end - p >= 8) {
      bits |= MsbFirst ? __builtin_bswap64(base::loadLe64(p)) >> held : base::loadLe64(p) << held;
      p += (63 - held) >> 3;
      held |= 56;
    } else {
      while (held <= 56 && p < end) {
        bits |= MsbFirst ? uint64_t{*p++} << (56 - held) : uint64_t{*p++} << held;
        held += 8;
      }
      if (held < width) {
        if (rules.failOnTruncation) base::fail(base::ekTruncated, rules.truncated);
        break;  // the input ends without End
      }
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
    if (code - clear < 2) {
      if (code == endCode) break;
      next = clear + 2;
      width = firstWidth;
      havePrev = false;
      continue;
    }
    size_t len;
    const uint8_t* from;
    if (code < next) {
      len = length[code];
      from = reinterpret_cast<const uint8_t*>(start[code]);
    } else if (!havePrev) {
      base::fail(base::ekInvalid, rules.badFirstCode);
    } else if (code == next) {
      len = prevLen + 1;
      from = nullptr;
    } else {
      base::fail(base::ekInvalid, rules.badCode);
    }
    if (len > expected - pos) {
      if (rules.overflow != nullptr) base::fail(base::ekInvalid, rules.overflow);
      // Keep the bytes that are still wanted: the part of the string that
      // fits (shorter than the string, so for a code not yet in the table
      // it lies wholly inside the previous string).
      len = expected - pos;
      if (len > out.size - pos) {
        const uintptr_t old = reinterpret_cast<uintptr_t>(out.data);
        growTo(*out.growable, expected, expected);
        out.data = out.growable->data();
        out.size = out.growable->size();
        const uintptr_t moved = reinterpret_cast<uintptr_t>(out.data) - old;
        for (unsigned c = clear + 2; c < next; ++c) start[c] += moved;
      }
      from = code < next ? reinterpret_cast<const uint8_t*>(start[code]) : out.data + prevStart;
      std::memmove(out.data + pos, from, len);
      return expected;
    }
    if (len > out.size - pos) {
      // The table's addresses in the output move with it.
      const uintptr_t old = reinterpret_cast<uintptr_t>(out.data);
      growTo(*out.growable, pos + len, expected);
      out.data = out.growable->data();
      out.size = out.growable->size();
      const uintptr_t moved = reinterpret_cast<uintptr_t>(out.data) - old;
      for (unsigned c = clear + 2; c < next; ++c) start[c] += moved;
      if (code < next && code >= clear) from = reinterpret_cast<const uint8_t*>(start[code]);
    }
    uint8_t* o = out.data + pos;
    if (from != nullptr) {
      copyEarlierString(o, from, len, out.size - pos);
    } else {
      // The previous string and its own first byte; the previous string
      // ends exactly where this one starts.
      copyEarlierString(o, out.data + prevStart, prevLen, out.size - pos);
      o[prevLen] = out.data[prevStart];
    }
    if (havePrev && next < kMaxCodes) {
      start[next] = reinterpret_cast<uintptr_t>(out.data + prevStart);
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
  const Output o{out.data(), out.size(), &out};
  return rules.msbFirst ? decode<true>(in, expected, o, rules) : decode<false>(in, expected, o, rules);
}

size_t lzwDecodeTo(base::ByteView in, uint8_t* out, size_t expected, const LzwRules& rules) {
  const Output o{out, expected, nullptr};
  return rules.msbFirst ? decode<true>(in, expected, o, rules) : decode<false>(in, expected, o, rules);
}

}  // namespace kd::formats
