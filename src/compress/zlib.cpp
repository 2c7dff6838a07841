#include "compress/zlib.h"

#include "compress/deflate.h"

namespace kd::compress {

using base::fail;
using enum base::ErrorKind;

namespace {

constexpr uint32_t kAdlerMod = 65521;
// Largest run of bytes after which s2 still fits in 32 bits.
constexpr size_t kAdlerRun = 5552;

}  // namespace

uint32_t adler32(ByteView data, uint32_t adler) {
  uint32_t s1 = adler & 0xFFFF;
  uint32_t s2 = adler >> 16;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n > 0) {
    size_t run = n < kAdlerRun ? n : kAdlerRun;
    n -= run;
    // Sixteen bytes at a time: s2 gains 16 * s1 plus the bytes weighted by
    // how many of the sixteen steps they stay in s1. Same sums as the
    // byte-by-byte form, in a shape the compiler vectorises.
    for (; run >= 16; run -= 16, p += 16) {
      uint32_t sum = 0;
      uint32_t weighted = 0;
      for (uint32_t j = 0; j < 16; ++j) {
        sum += p[j];
        weighted += (16 - j) * p[j];
      }
      s2 += 16 * s1 + weighted;
      s1 += sum;
    }
    for (; run > 0; --run) {
      s1 += *p++;
      s2 += s1;
    }
    s1 %= kAdlerMod;
    s2 %= kAdlerMod;
  }
  return s2 << 16 | s1;
}

Bytes zlibInflate(ByteView data, size_t cap) {
  if (data.size() < 2) fail(ekTruncated, "zlib: header truncated");
  const unsigned cmf = data[0];
  const unsigned flg = data[1];
  if ((cmf & 0x0F) != 8) fail(ekUnsupported, "zlib: not a DEFLATE stream");
  if ((cmf & 0x80) != 0) fail(ekInvalid, "zlib: CINFO exceeds 7 (window > 32 KiB)");
  if ((cmf * 256 + flg) % 31 != 0) fail(ekInvalid, "zlib: bad header check");
  if ((flg & 0x20) != 0) fail(ekUnsupported, "zlib: preset dictionary (FDICT) unsupported");
  InflateResult r = inflateWithConsumed(data, 2, cap);
  if (data.size() - r.consumed < 4) fail(ekTruncated, "zlib: trailer truncated");
  const uint8_t* t = data.data() + r.consumed;
  uint32_t expected = uint32_t{t[0]} << 24 | uint32_t{t[1]} << 16 | uint32_t{t[2]} << 8 | t[3];
  if (adler32(r.output) != expected) fail(ekInvalid, "zlib: Adler-32 mismatch");
  return std::move(r.output);
}

Bytes zlibDeflate(ByteView data) {
  Bytes raw = compress(data);
  Bytes out;
  out.reserve(raw.size() + 6);
  out.push_back(0x78);
  out.push_back(0x01);
  out.insert(out.end(), raw.begin(), raw.end());
  uint32_t a = adler32(data);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(a >> shift));
  return out;
}

}  // namespace kd::compress
