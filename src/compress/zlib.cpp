#include "compress/zlib.h"

#include "base/cpu.h"
#include "compress/deflate.h"
#include "compress/inflate.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::compress {

using base::fail;
using enum base::ErrorKind;

namespace {

constexpr uint32_t kAdlerMod = 65521;
// Bytes summed between reductions (zlib's NMAX): keeps every vector lane
// inside 32 bits.
constexpr size_t kAdlerRun = 5552;

#if KD_SSE2
// Sum of the four 32-bit lanes, in 64 bits.
uint64_t laneSum(__m128i v) {
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
  return uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

// Adds `chunks` blocks of 16 bytes to the (unreduced) sums. Within one
// block, byte j stays in s1 for 16 - j of its steps, so s2 gains
// 16 * s1-before-the-block plus the bytes weighted 16..1. Lanes hold at most
// kAdlerRun bytes' worth, well inside 32 bits.
void adlerBlocks(const uint8_t* p, size_t chunks, uint64_t& s1, uint64_t& s2) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i weightsLow = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i weightsHigh = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  __m128i sum = zero;       // bytes so far
  __m128i prefixes = zero;  // sum of `sum` before each block
  __m128i weighted = zero;
  for (size_t i = 0; i < chunks; ++i) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    prefixes = _mm_add_epi32(prefixes, sum);
    sum = _mm_add_epi32(sum, _mm_sad_epu8(b, zero));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(b, zero), weightsLow));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(b, zero), weightsHigh));
  }
  s2 += 16 * chunks * s1 + 16 * laneSum(prefixes) + laneSum(weighted);
  s1 += laneSum(sum);
}
#else
void adlerBlocks(const uint8_t* p, size_t chunks, uint64_t& s1, uint64_t& s2) {
  for (size_t i = 0; i < 16 * chunks; ++i) {
    s1 += p[i];
    s2 += s1;
  }
}
#endif

}  // namespace

uint32_t adler32(ByteView data, uint32_t adler) {
  uint64_t s1 = adler & 0xFFFF;
  uint64_t s2 = adler >> 16;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n > 0) {
    size_t run = n < kAdlerRun ? n : kAdlerRun;
    n -= run;
    const size_t chunks = run / 16;
    adlerBlocks(p, chunks, s1, s2);
    p += 16 * chunks;
    for (run -= 16 * chunks; run > 0; --run) {
      s1 += *p++;
      s2 += s1;
    }
    s1 %= kAdlerMod;
    s2 %= kAdlerMod;
  }
  return static_cast<uint32_t>(s2 << 16 | s1);
}

void checkZlibHeader(unsigned cmf, unsigned flg) {
  if ((cmf & 0x0F) != 8) fail(ekUnsupported, "zlib: not a DEFLATE stream");
  if ((cmf & 0x80) != 0) fail(ekInvalid, "zlib: CINFO exceeds 7 (window > 32 KiB)");
  if ((cmf * 256 + flg) % 31 != 0) fail(ekInvalid, "zlib: bad header check");
  if ((flg & 0x20) != 0) fail(ekUnsupported, "zlib: preset dictionary (FDICT) unsupported");
}

Bytes zlibInflate(ByteView data, size_t cap, bool capIsExpectedSize) {
  if (data.size() < 2) fail(ekTruncated, "zlib: header truncated");
  checkZlibHeader(data[0], data[1]);
  InflateResult r = inflateWithConsumed(data, 2, cap, capIsExpectedSize);
  if (data.size() - r.consumed < 4) fail(ekTruncated, "zlib: trailer truncated");
  const uint32_t expected = base::loadBe32(data.data() + r.consumed);
  if (adler32(r.output) != expected) fail(ekInvalid, "zlib: Adler-32 mismatch");
  return std::move(r.output);
}

namespace {

base::HeapBytes& withZlibHeader(base::HeapBytes& out) {
  out.push_back(0x78);
  out.push_back(0x01);
  return out;
}

}  // namespace

ZlibStream::ZlibStream(base::HeapBytes& out) : out_(out), deflate_(withZlibHeader(out)) {}

void ZlibStream::write(ByteView data) {
  adler_ = adler32(data, adler_);
  deflate_.write(data);
}

void ZlibStream::finish() {
  deflate_.finish();
  const size_t at = out_.size();
  out_.growTo(at + 4);
  base::storeBe32(out_.data() + at, adler_);
}

Bytes zlibDeflate(ByteView data) {
  base::HeapBytes out;
  out.reserve(data.size() + data.size() / 8 + 22);
  ZlibStream stream(out);
  stream.write(data);
  stream.finish();
  return out.toBytes();
}

}  // namespace kd::compress

namespace kd::compress {

Bytes zlibDeflateLevel(ByteView data, int level) {
  // FLEVEL: 0 fastest, 1 fast, 2 default, 3 smallest; FCHECK makes the
  // header a multiple of 31.
  const unsigned flevel = level <= 1 ? 0 : level <= 5 ? 1 : level == 6 ? 2 : 3;
  unsigned flg = flevel << 6;
  flg += (31 - (0x78u * 256 + flg) % 31) % 31;
  Bytes out = {0x78, static_cast<uint8_t>(flg)};
  const Bytes raw = compressLevel(data, level);
  out.reserve(raw.size() + 6);
  out.insert(out.end(), raw.begin(), raw.end());
  base::appendBe32(out, adler32(data));
  return out;
}

}  // namespace kd::compress
