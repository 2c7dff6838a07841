#include "compress/zlib.h"

#include "base/cpu.h"
#include "compress/deflate.h"
#include "compress/inflate.h"

#if KD_SSE2
#include <immintrin.h>
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

// The same over blocks of 32 bytes (weights 32..1) on processors with
// AVX2: the sums are exact integers, so the result is the same.
[[gnu::target("avx2")]] void adlerBlocks32(const uint8_t* p, size_t blocks, uint64_t& s1,
                                           uint64_t& s2) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                                           17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i sum = zero;
  __m256i prefixes = zero;
  __m256i weighted = zero;
  for (size_t i = 0; i < blocks; ++i) {
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
    prefixes = _mm256_add_epi32(prefixes, sum);
    sum = _mm256_add_epi32(sum, _mm256_sad_epu8(b, zero));
    weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(b, weights), ones));
  }
  const __m128i prefixes2 =
      _mm_add_epi32(_mm256_castsi256_si128(prefixes), _mm256_extracti128_si256(prefixes, 1));
  const __m128i weighted2 =
      _mm_add_epi32(_mm256_castsi256_si128(weighted), _mm256_extracti128_si256(weighted, 1));
  const __m128i sum2 = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  s2 += 32 * blocks * s1 + 32 * laneSum(prefixes2) + laneSum(weighted2);
  s1 += laneSum(sum2);
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
#if KD_SSE2
  const bool avx2 = n >= 64 && base::cpuHasAvx2();
#endif
  while (n > 0) {
    size_t run = n < kAdlerRun ? n : kAdlerRun;
    n -= run;
#if KD_SSE2
    if (avx2 && run >= 32) {
      const size_t blocks = run / 32;
      adlerBlocks32(p, blocks, s1, s2);
      p += 32 * blocks;
      run -= 32 * blocks;
    }
#endif
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
