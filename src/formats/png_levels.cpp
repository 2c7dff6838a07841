// The PNG encoder's compression levels: each row gets the filter (PNG
// standard, section 9) whose output has the smallest sum of absolute values
// as signed bytes, and the filtered rows go through the levelled DEFLATE
// encoder (dynamic Huffman blocks). Level 0 is the plain encoder.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "base/checked.h"
#include "base/cpu.h"
#include "compress/crc32.h"
#include "compress/zlib.h"
#include "formats/codecs.h"
#include "formats/png.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::formats {

namespace {

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr size_t kMaxChunkData = 0x7FFFFFFF;

inline uint8_t paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// A filtered byte's size as a signed value, |(int8_t)v|.
inline unsigned magnitude(uint8_t v) { return static_cast<unsigned>(std::abs(static_cast<int8_t>(v))); }

// The four filtered rows (Sub, Up, Average, Paeth) of one row.
struct FilterRows {
  std::array<uint8_t*, 4> row;
};

// Filters bytes [from, to) (from >= bpp) of `cur` into the four rows and
// adds each filter's magnitudes to sums[1..4] (sums[0]: the row unfiltered).
void filterPlain(const uint8_t* cur, const uint8_t* prev, size_t from, size_t to, size_t bpp,
                 const FilterRows& out, uint64_t* sums) {
  for (size_t x = from; x < to; ++x) {
    const uint8_t a = cur[x - bpp];
    const uint8_t b = prev[x];
    const uint8_t c = prev[x - bpp];
    const auto sub = static_cast<uint8_t>(cur[x] - a);
    const auto up = static_cast<uint8_t>(cur[x] - b);
    const auto avg = static_cast<uint8_t>(cur[x] - ((a + b) >> 1));
    const auto pae = static_cast<uint8_t>(cur[x] - paeth(a, b, c));
    out.row[0][x] = sub;
    out.row[1][x] = up;
    out.row[2][x] = avg;
    out.row[3][x] = pae;
    sums[0] += magnitude(cur[x]);
    sums[1] += magnitude(sub);
    sums[2] += magnitude(up);
    sums[3] += magnitude(avg);
    sums[4] += magnitude(pae);
  }
}

#if KD_SSE2
inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// The Paeth predictor of eight 16-bit lanes, as paeth() decides it.
inline __m128i paeth16(__m128i a, __m128i b, __m128i c) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bc = _mm_sub_epi16(b, c);
  const __m128i ac = _mm_sub_epi16(a, c);
  const __m128i abc = _mm_add_epi16(bc, ac);
  const __m128i pa = _mm_max_epi16(bc, _mm_sub_epi16(zero, bc));
  const __m128i pb = _mm_max_epi16(ac, _mm_sub_epi16(zero, ac));
  const __m128i pc = _mm_max_epi16(abc, _mm_sub_epi16(zero, abc));
  const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
  return select(notA, select(_mm_cmpgt_epi16(pb, pc), c, b), a);
}

// |(int8_t)v| of sixteen bytes summed into the two 64-bit lanes of acc.
inline __m128i addMagnitudes(__m128i acc, __m128i v) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i m = _mm_min_epu8(v, _mm_sub_epi8(zero, v));
  return _mm_add_epi64(acc, _mm_sad_epu8(m, zero));
}

// filterPlain over whole blocks of 16 bytes from `from`; returns where it
// stopped.
size_t filterSse2(const uint8_t* cur, const uint8_t* prev, size_t from, size_t to, size_t bpp,
                  const FilterRows& out, uint64_t* sums) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  __m128i acc[5] = {zero, zero, zero, zero, zero};
  size_t x = from;
  for (; to - x >= 16; x += 16) {
    const auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
    const __m128i v = load(cur + x);
    const __m128i a = load(cur + x - bpp);
    const __m128i b = load(prev + x);
    const __m128i c = load(prev + x - bpp);
    const __m128i sub = _mm_sub_epi8(v, a);
    const __m128i up = _mm_sub_epi8(v, b);
    // floor((a + b) / 2): the rounded-up average less the carried-out bit.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    const __m128i avg = _mm_sub_epi8(v, mean);
    const __m128i predLow = paeth16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                    _mm_unpacklo_epi8(c, zero));
    const __m128i predHigh = paeth16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                     _mm_unpackhi_epi8(c, zero));
    const __m128i pae = _mm_sub_epi8(v, _mm_packus_epi16(predLow, predHigh));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.row[0] + x), sub);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.row[1] + x), up);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.row[2] + x), avg);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.row[3] + x), pae);
    acc[0] = addMagnitudes(acc[0], v);
    acc[1] = addMagnitudes(acc[1], sub);
    acc[2] = addMagnitudes(acc[2], up);
    acc[3] = addMagnitudes(acc[3], avg);
    acc[4] = addMagnitudes(acc[4], pae);
  }
  for (size_t f = 0; f < 5; ++f) {
    alignas(16) std::array<uint64_t, 2> lanes{};
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes.data()), acc[f]);
    sums[f] += lanes[0] + lanes[1];
  }
  return x;
}
#endif

// Filters `cur` (the row above: `prev`, zeros for the first row) into
// out[0] (filter type) and out[1, n] with the filter of the smallest sum of
// magnitudes (the first such in type order); `scratch` holds four rows of n
// bytes. The vector path computes the same rows and sums.
void filterRow(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* scratch,
               uint8_t* out) {
  const FilterRows rows{{scratch, scratch + n, scratch + 2 * n, scratch + 3 * n}};
  std::array<uint64_t, 5> sums{};
  const size_t edge = std::min(bpp, n);
  for (size_t x = 0; x < edge; ++x) {
    rows.row[0][x] = cur[x];
    rows.row[1][x] = static_cast<uint8_t>(cur[x] - prev[x]);
    rows.row[2][x] = static_cast<uint8_t>(cur[x] - (prev[x] >> 1));
    rows.row[3][x] = static_cast<uint8_t>(cur[x] - prev[x]);
    sums[0] += magnitude(cur[x]);
    for (size_t f = 0; f < 4; ++f) sums[f + 1] += magnitude(rows.row[f][x]);
  }
  size_t x = edge;
#if KD_SSE2
  x = filterSse2(cur, prev, x, n, bpp, rows, sums.data());
#endif
  filterPlain(cur, prev, x, n, bpp, rows, sums.data());
  size_t best = 0;
  for (size_t f = 1; f < sums.size(); ++f) {
    if (sums[f] < sums[best]) best = f;
  }
  out[0] = static_cast<uint8_t>(best);
  std::memcpy(out + 1, best == 0 ? cur : rows.row[best - 1], n);
}

}  // namespace

void encodePngLevelTo(const Image& img, int level, base::HeapBytes& out) {
  if (level <= 0) {
    encodePngTo(img, out);
    return;
  }
  unsigned colorType;
  switch (img.colorspace) {
    case csGray: colorType = 0; break;
    case csRgb: colorType = 2; break;
    case csRgba: colorType = 6; break;
    default: fail(ekUnsupported, "png: encode needs csGray, csRgb, or csRgba");
  }
  constexpr int64_t kMaxDimension = int64_t{1} << 30;
  if (img.width < 1 || img.width > kMaxDimension || img.height < 1 ||
      img.height > kMaxDimension) {
    fail(ekInvalid, "png: bad dimensions");
  }
  const size_t w = static_cast<size_t>(img.width);
  const size_t h = static_cast<size_t>(img.height);
  const auto bpp = static_cast<size_t>(channelsOf(img.colorspace));
  const size_t rowBytes = base::mulOrFail<size_t>(w, bpp, "png: image too large");
  const size_t pixelBytes = base::mulOrFail<size_t>(rowBytes, h, "png: image too large");
  if (img.pixels.size() != pixelBytes) fail(ekInvalid, "png: pixel buffer size mismatch");

  // The filtered rows, each behind its filter type byte.
  Bytes filtered(base::mulOrFail<size_t>(rowBytes + 1, h, "png: image too large"));
  Bytes scratch(4 * rowBytes);
  const Bytes zeros(rowBytes, 0);
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* cur = img.pixels.data() + y * rowBytes;
    const uint8_t* prev = y == 0 ? zeros.data() : cur - rowBytes;
    filterRow(cur, prev, rowBytes, bpp, scratch.data(), filtered.data() + y * (rowBytes + 1));
  }
  const Bytes zlib = compress::zlibDeflateLevel(filtered, level);
  Bytes().swap(filtered);

  Bytes file(kSignature.begin(), kSignature.end());
  Bytes ihdr;
  base::appendBe32(ihdr, static_cast<uint32_t>(w));
  base::appendBe32(ihdr, static_cast<uint32_t>(h));
  ihdr.insert(ihdr.end(), {8, static_cast<uint8_t>(colorType), 0, 0, 0});
  writeChunk(file, "IHDR", ihdr);
  out.resize(0);
  out.reserve(file.size() + zlib.size() + zlib.size() / kMaxChunkData * 12 + 32);
  out.append(file.data(), file.size());
  // IDAT chunks written in place: length, type, data, CRC of type and data.
  for (size_t at = 0; at < zlib.size(); at += kMaxChunkData) {
    const ByteView data(zlib.data() + at, std::min(kMaxChunkData, zlib.size() - at));
    std::array<uint8_t, 8> head = {0, 0, 0, 0, 'I', 'D', 'A', 'T'};
    base::storeBe32(head.data(), static_cast<uint32_t>(data.size()));
    out.append(head.data(), head.size());
    out.append(data);
    const uint32_t crc = compress::crc32(data, compress::crc32(ByteView(head).subspan(4)));
    std::array<uint8_t, 4> tail{};
    base::storeBe32(tail.data(), crc);
    out.append(tail.data(), tail.size());
  }
  Bytes tail;
  writeChunk(tail, "IEND", {});
  out.append(tail.data(), tail.size());
}

}  // namespace kd::formats
