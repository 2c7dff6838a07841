// The one LZW decoder of GIF and TIFF, with the ways the two formats differ
// as explicit rules, and the bound on what a stream can expand to.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "base/checked.h"

namespace kd::formats {

// Most symbols an LZW stream of `codes` codes can produce: the k-th code
// after a Clear yields at most k symbols, and no string is longer than the
// 4096-entry table allows. Saturates instead of wrapping.
inline uint64_t lzwBound(uint64_t codes) {
  return std::min(base::saturatingMul(codes, codes + 1) / 2, base::saturatingMul(codes, uint64_t{4096}));
}

// How one format's LZW differs from another's. Codes 0 .. 2^minCodeSize - 1
// are literals, then come Clear and End; codes start one bit wider than the
// literals and grow to at most 12 bits.
struct LzwRules {
  unsigned minCodeSize;
  bool msbFirst;          // codes packed most significant bit first (TIFF), else least (GIF)
  bool earlyChange;       // the width grows one code before the table needs it (TIFF)
  bool failOnTruncation;  // input ending before End fails (GIF), else decoding stops there (TIFF)
  const char* truncated;     // ekTruncated, with failOnTruncation
  const char* badFirstCode;  // ekInvalid: a table code with no string before it
  const char* badCode;       // ekInvalid: a code beyond the next table entry
  const char* overflow;      // ekInvalid: output beyond `expected`; null: keep the first `expected` bytes
};

// Decodes the untrusted stream `in` into `out`, which grows as needed (by
// doubling) but never beyond `expected` bytes; returns the decoded length.
// Bytes of `out` past it are unspecified.
size_t lzwDecodeInto(base::ByteView in, size_t expected, base::Bytes& out, const LzwRules& rules);

// The same into the `expected` bytes at `out`, which never grow: the
// decoder writes nowhere else. Returns the decoded length.
size_t lzwDecodeTo(base::ByteView in, uint8_t* out, size_t expected, const LzwRules& rules);

// Grows `out` so that it holds at least `need` bytes, doubling up to `cap`.
inline void growTo(base::Bytes& out, size_t need, size_t cap) {
  const size_t size = std::max(need, std::min(cap, out.size() > SIZE_MAX / 2 ? cap : 2 * out.size()));
  out.resize(size);
}

}  // namespace kd::formats
