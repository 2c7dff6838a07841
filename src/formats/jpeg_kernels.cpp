// The per-block and per-row arithmetic of the JPEG codec: the direct float
// IDCT and the colour conversion of the decoder, the float FDCT with
// quantisation and the colour transform of the encoder. Each kernel exists
// as plain code and, on x86 builds with the vector paths compiled in, as an
// AVX2 form of the same float operations in the same order; the two give
// identical bytes, and the codec picks one per call (jpeg_kernels.h).
#include "formats/jpeg_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/cpu.h"

#if KD_X86_SIMD
#include <immintrin.h>
#endif

namespace kd::formats::jpeg {

const CosineTables& cosineTables() {
  static const CosineTables tables = [] {
    CosineTables t{};
    for (int x = 0; x < 8; ++x) {
      for (int u = 0; u < 8; ++u) {
        const float arg = static_cast<float>((2 * x + 1) * u) * 3.1415927f * 0.0625f;
        t.CosT[x][u] = std::cos(arg);
      }
    }
    t.Cu[0] = kCu0;
    for (int u = 1; u < 8; ++u) t.Cu[u] = 1.0f;
    return t;
  }();
  return tables;
}

namespace {

// Eight floats; operations on it are element-wise, so each lane is one
// output's own sum. The helpers below are file-local, so the note GCC gives
// about 32-byte vectors crossing function boundaries without AVX (an ABI
// matter between translation units) does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
using Vec8 = float __attribute__((vector_size(32), aligned(32)));

KD_INLINE Vec8 splat(float v) { return Vec8{v, v, v, v, v, v, v, v}; }
KD_INLINE Vec8 load8(const float* p) {
  Vec8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
KD_INLINE void store8(float* p, const Vec8& v) { std::memcpy(p, &v, sizeof v); }

// Per-lane tables derived from the cosine tables once.
struct DctVectors {
  Vec8 cosOfU[8];      // cosOfU[u][x] = CosT[x][u]: one basis function over x
  Vec8 fdctScale[8];   // fdctScale[v][u] = (0.25 * Cu[u]) * Cu[v]
  float cuOfK[64];     // Cu[u] of zigzag position k (natural index 8v + u)
};

const DctVectors& dctVectors() {
  static const DctVectors vectors = [] {
    const CosineTables& t = cosineTables();
    DctVectors d{};
    for (int u = 0; u < 8; ++u) {
      for (int x = 0; x < 8; ++x) d.cosOfU[u][x] = t.CosT[x][u];
    }
    for (int v = 0; v < 8; ++v) {
      for (int u = 0; u < 8; ++u) d.fdctScale[v][u] = (0.25f * t.Cu[u]) * t.Cu[v];
    }
    for (size_t k = 0; k < 64; ++k) d.cuOfK[k] = t.Cu[ZigZag[k] % 8];
    return d;
  }();
  return vectors;
}


// The last row of the natural order reached by zigzag positions 0..k.
constexpr std::array<uint8_t, 64> kLastRowOfK = [] {
  std::array<uint8_t, 64> rows{};
  uint8_t last = 0;
  for (size_t k = 0; k < 64; ++k) {
    last = std::max(last, static_cast<uint8_t>(ZigZag[k] >> 3));
    rows[k] = last;
  }
  return rows;
}();

// f(x, y) = 1/4 sum_v (Cu[v] t[v][x]) CosT[y][v] with
// t[v][x] = sum_u (Cu[u] F(u, v)) CosT[x][u]: rows first, then columns, each
// sum from +0 in increasing u or v. Eight x lanes at once; rows after the
// last written coefficient skipped. Writes 8 rows of 8 floats at `out` and
// leaves the block all zero. Compiled twice (baseline and AVX2 code for the
// same operations); both give the same floats.
KD_INLINE void idctBlockImpl(Block& b, float* out, size_t stride) {
  const CosineTables& t = cosineTables();
  if (b.lastK == 0) {
    // DC only: CosT[x][0] is exactly 1, so every output is the same value.
    const float rowSum = 0.0f + b.coef[0] * t.CosT[0][0];
    const float value = (0.0f + (t.Cu[0] * rowSum) * t.CosT[0][0]) * 0.25f;
    const Vec8 v = splat(value);
    for (int y = 0; y < 8; ++y) store8(out + static_cast<size_t>(y) * stride, v);
    b.coef[0] = 0.0f;
    return;
  }
  const DctVectors& d = dctVectors();
  // Rows past the last written one are skipped; rows before it are
  // computed whole, zero terms included: a zero coefficient adds a signed
  // zero, which leaves a sum that started at +0 unchanged, and a fixed
  // sequence of operations beats a data-dependent branch per row or term.
  //
  // CosT[x][0] is exactly 1, so each sum's first term is the factor itself,
  // taken as it is rather than added to +0: the two differ only when it is
  // a zero of either sign, and no output byte depends on the sign of a zero
  // (a non-zero result never does; a zero one ends up added to 128.5).
  const int lastRow = kLastRowOfK[static_cast<size_t>(b.lastK)];
  Vec8 sums[8];
  for (int v = 0; v <= lastRow; ++v) {
    const float* scaled = b.coef + v * 8;
    Vec8 acc = splat(scaled[0]);
    for (int u = 1; u < 8; ++u) acc += scaled[u] * d.cosOfU[u];
    store8(b.coef + v * 8, Vec8{});  // leaves the block all zero
    const Vec8 weighted = t.Cu[v] * acc;
    if (v == 0) {
      for (int y = 0; y < 8; ++y) sums[y] = weighted;
    } else {
      for (int y = 0; y < 8; ++y) sums[y] += weighted * t.CosT[y][v];
    }
  }
  for (int y = 0; y < 8; ++y) store8(out + static_cast<size_t>(y) * stride, sums[y] * 0.25f);
}

void idctBlockPlain(Block& b, float* out, size_t stride) { idctBlockImpl(b, out, stride); }
#if KD_X86_SIMD
[[gnu::target("avx2")]] void idctBlockAvx2(Block& b, float* out, size_t stride) {
  idctBlockImpl(b, out, stride);
}
#endif

inline uint8_t clampSample(float v) {
  if (v < 0.0f) return 0;
  if (v < 256.0f) return static_cast<uint8_t>(static_cast<int>(v));
  return 255;
}

#if KD_SSE2
// clampSample of four values, as bytes in the low 4 lanes: max(v, 0) and
// min(v, 255) before truncation give exactly 0 below 0, trunc(v) below 256
// and 255 above.
inline __m128i clamp4(__m128 v) {
  v = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(255.0f));
  return _mm_cvttps_epi32(v);
}
#endif

// One output row from the component rows (already expanded to the picture
// width).
void greyRow(const float* y, uint8_t* out, size_t width) {
  size_t x = 0;
#if KD_SSE2
  const __m128 half = _mm_set1_ps(128.5f);
  for (; x + 16 <= width; x += 16) {
    __m128i a = clamp4(_mm_add_ps(_mm_loadu_ps(y + x), half));
    __m128i b = clamp4(_mm_add_ps(_mm_loadu_ps(y + x + 4), half));
    __m128i c = clamp4(_mm_add_ps(_mm_loadu_ps(y + x + 8), half));
    __m128i e = clamp4(_mm_add_ps(_mm_loadu_ps(y + x + 12), half));
    __m128i packed = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, e));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), packed);
  }
#endif
  for (; x < width; ++x) out[x] = clampSample(y[x] + 128.5f);
}

void rgbRow(const float* y, const float* cb, const float* cr, uint8_t* out, size_t width) {
  size_t x = 0;
#if KD_SSE2
  const __m128 half = _mm_set1_ps(128.5f);
  const __m128 kR = _mm_set1_ps(1.402f);
  const __m128 kGb = _mm_set1_ps(0.344136f);
  const __m128 kGr = _mm_set1_ps(0.714136f);
  const __m128 kB = _mm_set1_ps(1.772f);
  alignas(16) uint8_t r[16], g[16], bl[16];
  for (; x + 16 <= width; x += 16) {
    __m128i rs[4], gs[4], bs[4];
    for (int i = 0; i < 4; ++i) {
      const __m128 Y = _mm_loadu_ps(y + x + 4 * i);
      const __m128 Cb = _mm_loadu_ps(cb + x + 4 * i);
      const __m128 Cr = _mm_loadu_ps(cr + x + 4 * i);
      rs[i] = clamp4(_mm_add_ps(_mm_add_ps(_mm_mul_ps(kR, Cr), Y), half));
      gs[i] = clamp4(
          _mm_add_ps(_mm_sub_ps(_mm_sub_ps(Y, _mm_mul_ps(kGb, Cb)), _mm_mul_ps(kGr, Cr)), half));
      bs[i] = clamp4(_mm_add_ps(_mm_add_ps(_mm_mul_ps(kB, Cb), Y), half));
    }
    _mm_store_si128(reinterpret_cast<__m128i*>(r),
                    _mm_packus_epi16(_mm_packs_epi32(rs[0], rs[1]), _mm_packs_epi32(rs[2], rs[3])));
    _mm_store_si128(reinterpret_cast<__m128i*>(g),
                    _mm_packus_epi16(_mm_packs_epi32(gs[0], gs[1]), _mm_packs_epi32(gs[2], gs[3])));
    _mm_store_si128(reinterpret_cast<__m128i*>(bl),
                    _mm_packus_epi16(_mm_packs_epi32(bs[0], bs[1]), _mm_packs_epi32(bs[2], bs[3])));
    uint8_t* o = out + 3 * x;
    for (int i = 0; i < 16; ++i) {
      o[3 * i] = r[i];
      o[3 * i + 1] = g[i];
      o[3 * i + 2] = bl[i];
    }
  }
#endif
  for (; x < width; ++x) {
    const float Y = y[x], Cb = cb[x], Cr = cr[x];
    out[3 * x] = clampSample(1.402f * Cr + Y + 128.5f);
    out[3 * x + 1] = clampSample(Y - 0.344136f * Cb - 0.714136f * Cr + 128.5f);
    out[3 * x + 2] = clampSample(1.772f * Cb + Y + 128.5f);
  }
}

#if KD_X86_SIMD
// AVX2 forms of greyRow and rgbRow: the same float operations on eight
// lanes, and the bytes interleaved with shuffles.
// Values below 0 need no clamp of their own: truncation gives 0 for those
// above -1 and a negative number (at worst INT32_MIN) for the others, which
// the unsigned saturation of the final pack turns into 0.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i bytes16(__m256 a, __m256 b) {
  const __m256 top = _mm256_set1_ps(255.0f);
  const __m256i ia = _mm256_cvttps_epi32(_mm256_min_ps(a, top));
  const __m256i ib = _mm256_cvttps_epi32(_mm256_min_ps(b, top));
  const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(ia, ib), 0xD8);
  return _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

[[gnu::target("avx2")]] void greyRowAvx2(const float* y, uint8_t* out, size_t width) {
  size_t x = 0;
  const __m256 half = _mm256_set1_ps(128.5f);
  for (; x + 16 <= width; x += 16) {
    const __m256 a = _mm256_add_ps(_mm256_loadu_ps(y + x), half);
    const __m256 b = _mm256_add_ps(_mm256_loadu_ps(y + x + 8), half);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), bytes16(a, b));
  }
  for (; x < width; ++x) out[x] = clampSample(y[x] + 128.5f);
}

// Shuffle masks spreading 16 bytes of one channel over 48 interleaved
// bytes: mask[c][k] fills output bytes 16k..16k+15 with channel c.
struct InterleaveMasks {
  alignas(16) uint8_t mask[3][3][16];
};

constexpr InterleaveMasks makeInterleaveMasks() {
  InterleaveMasks m{};
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) {
      for (int i = 0; i < 16; ++i) {
        const int o = 16 * k + i;
        m.mask[c][k][i] = o % 3 == c ? static_cast<uint8_t>(o / 3) : 0x80;
      }
    }
  }
  return m;
}
constexpr InterleaveMasks kInterleave = makeInterleaveMasks();

// The inverse: mask[c][k] picks channel c's bytes out of input bytes
// 16k..16k+15 of 16 interleaved pixels.
constexpr InterleaveMasks makeGatherMasks() {
  InterleaveMasks m{};
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) {
      for (int i = 0; i < 16; ++i) {
        const int from = 3 * i + c - 16 * k;
        m.mask[c][k][i] = from >= 0 && from < 16 ? static_cast<uint8_t>(from) : 0x80;
      }
    }
  }
  return m;
}
constexpr InterleaveMasks kGather = makeGatherMasks();

// Chroma either at full width or, with HalfChroma, at half width (each
// sample covers two columns: column x reads sample x / 2).
template <bool HalfChroma>
[[gnu::target("avx2")]] inline void rgbRowAvx2Impl(const float* y, const float* cb,
                                                   const float* cr, uint8_t* out, size_t width) {
  size_t x = 0;
  const __m256 half = _mm256_set1_ps(128.5f);
  const __m256 kR = _mm256_set1_ps(1.402f);
  const __m256 kGb = _mm256_set1_ps(0.344136f);
  const __m256 kGr = _mm256_set1_ps(0.714136f);
  const __m256 kB = _mm256_set1_ps(1.772f);
  const __m256i pairs = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
  __m128i masks[3][3];
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) {
      masks[c][k] = _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.mask[c][k]));
    }
  }
  for (; x + 16 <= width; x += 16) {
    __m256 r[2], g[2], b[2];
    for (int i = 0; i < 2; ++i) {
      const __m256 Y = _mm256_loadu_ps(y + x + 8 * i);
      __m256 Cb, Cr;
      if constexpr (HalfChroma) {
        Cb = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(cb + x / 2 + 4 * i)), pairs);
        Cr = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(cr + x / 2 + 4 * i)), pairs);
      } else {
        Cb = _mm256_loadu_ps(cb + x + 8 * i);
        Cr = _mm256_loadu_ps(cr + x + 8 * i);
      }
      r[i] = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kR, Cr), Y), half);
      g[i] = _mm256_add_ps(
          _mm256_sub_ps(_mm256_sub_ps(Y, _mm256_mul_ps(kGb, Cb)), _mm256_mul_ps(kGr, Cr)), half);
      b[i] = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kB, Cb), Y), half);
    }
    const __m128i channels[3] = {bytes16(r[0], r[1]), bytes16(g[0], g[1]), bytes16(b[0], b[1])};
    for (int k = 0; k < 3; ++k) {
      const __m128i v = _mm_or_si128(
          _mm_or_si128(_mm_shuffle_epi8(channels[0], masks[0][k]),
                       _mm_shuffle_epi8(channels[1], masks[1][k])),
          _mm_shuffle_epi8(channels[2], masks[2][k]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 16 * k), v);
    }
  }
  for (; x < width; ++x) {
    const size_t cx = HalfChroma ? x / 2 : x;
    const float Y = y[x], Cb = cb[cx], Cr = cr[cx];
    out[3 * x] = clampSample(1.402f * Cr + Y + 128.5f);
    out[3 * x + 1] = clampSample(Y - 0.344136f * Cb - 0.714136f * Cr + 128.5f);
    out[3 * x + 2] = clampSample(1.772f * Cb + Y + 128.5f);
  }
}

[[gnu::target("avx2")]] void rgbRowAvx2(const float* y, const float* cb, const float* cr,
                                        uint8_t* out, size_t width) {
  rgbRowAvx2Impl<false>(y, cb, cr, out, width);
}
[[gnu::target("avx2")]] void rgbRowHalfAvx2(const float* y, const float* cb, const float* cr,
                                            uint8_t* out, size_t width) {
  rgbRowAvx2Impl<true>(y, cb, cr, out, width);
}
#endif


using Vec8i = int32_t __attribute__((vector_size(32), aligned(32)));

// F(u, v) = ((0.25 Cu[u]) Cu[v]) * sum_y t[y][u] CosT[y][v] with
// t[y][u] = sum_x f(x, y) CosT[x][u]: rows first, sums from +0 in
// increasing x or y, eight u lanes at once; then each coefficient divided
// by its quantiser and rounded half away from zero (trunc(a + 0.5) for
// a >= 0, trunc(a - 0.5) otherwise: a plus 0.5 carrying a's sign, then
// truncated; for a = -0 both give 0). `f` is 8 rows of 8 samples, `stride`
// floats apart; `quant` and `out` are in natural order. Returns the mask of
// non-zero outputs (bit z for out[z]). The kernels below share these steps:
// The scaled coefficients ((0.25 Cu[u]) Cu[v]) * sum, row v in scaled[v].
KD_INLINE void fdctImpl(const float* f, size_t stride, Vec8* scaled) {
  const CosineTables& t = cosineTables();
  const DctVectors& d = dctVectors();
  // The eight rows' sums (and below the eight columns') advance together,
  // term by term, so that they overlap instead of waiting on each other.
  // Each sum's first term is taken as it is rather than added to +0, which
  // can only change the sign of a zero, and a zero rounds to the integer 0
  // whatever its sign. CosT[y][0] is exactly 1, so the first column's terms
  // are the row sums themselves.
  Vec8 rows[8];
  {
    const Vec8 basis = load8(t.CosT[0]);
    for (int y = 0; y < 8; ++y) rows[y] = f[static_cast<size_t>(y) * stride] * basis;
  }
  for (int x = 1; x < 8; ++x) {
    const Vec8 basis = load8(t.CosT[x]);
    for (int y = 0; y < 8; ++y) rows[y] += f[static_cast<size_t>(y) * stride + static_cast<size_t>(x)] * basis;
  }
  Vec8 cols[8];
  cols[0] = rows[0];
  for (int v = 1; v < 8; ++v) cols[v] = rows[0] * t.CosT[0][v];
  for (int y = 1; y < 8; ++y) {
    cols[0] += rows[y];
    for (int v = 1; v < 8; ++v) cols[v] += rows[y] * t.CosT[y][v];
  }
  for (int v = 0; v < 8; ++v) scaled[v] = d.fdctScale[v] * cols[v];
}

// Rounds the quotients of row v half away from zero into out[8v..8v+7] and
// returns their non-zero mask (bit u for out[8v + u]).
KD_INLINE unsigned roundRow(const Vec8& a, int32_t* out) {
  const Vec8i sign = {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN,
                      INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
  const Vec8i half = {0x3F000000, 0x3F000000, 0x3F000000, 0x3F000000,
                      0x3F000000, 0x3F000000, 0x3F000000, 0x3F000000};
  const Vec8 signedHalf = (Vec8)(((Vec8i)a & sign) | half);
  const Vec8i q = __builtin_convertvector(a + signedHalf, Vec8i);
  std::memcpy(out, &q, sizeof q);
  // Lanes of (q != 0) are all ones or zero; their sign bits make the mask.
  const Vec8i nz = q != Vec8i{};
#if KD_SSE2
  __m128i halves[2];
  std::memcpy(halves, &nz, sizeof halves);
  return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(halves[0])) |
                               _mm_movemask_ps(_mm_castsi128_ps(halves[1])) << 4);
#else
  unsigned mask = 0;
  for (int u = 0; u < 8; ++u) mask |= static_cast<unsigned>(nz[u] & 1) << u;
  return mask;
#endif
}

KD_INLINE uint64_t fdctQuantiseImpl(const float* f, size_t stride, const float* quant,
                                    int32_t* out) {
  Vec8 scaled[8];
  fdctImpl(f, stride, scaled);
  uint64_t nonZero = 0;
  for (int v = 0; v < 8; ++v) {
    nonZero |= uint64_t{roundRow(scaled[v] / load8(quant + v * 8), out + v * 8)} << (8 * v);
  }
  return nonZero;
}

uint64_t fdctQuantisePlain(const float* f, size_t stride, const float* quant, int32_t* out) {
  return fdctQuantiseImpl(f, stride, quant, out);
}
#if KD_X86_SIMD
[[gnu::target("avx2")]] uint64_t fdctQuantiseAvx2(const float* f, size_t stride,
                                                  const float* quant, int32_t* out) {
  return fdctQuantiseImpl(f, stride, quant, out);
}
#endif

#if KD_X86_SIMD
// GCC 12's AVX-512 intrinsics start from deliberately undefined vectors
// (`__m512 __Y = __Y;`), which its -Wuninitialized reports once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The cosine and scale rows of the one-block kernels with each value
// twice (entries 2i and 2i + 1 hold value i), for the pair kernel below.
struct PairedTables {
  alignas(64) float cosT[8][16];
  alignas(64) float fdctScale[8][16];
};

const PairedTables& pairedTables() {
  static const PairedTables tables = [] {
    const CosineTables& t = cosineTables();
    const DctVectors& d = dctVectors();
    PairedTables p{};
    for (int r = 0; r < 8; ++r) {
      for (int i = 0; i < 16; ++i) {
        p.cosT[r][i] = t.CosT[r][i / 2];
        p.fdctScale[r][i] = d.fdctScale[r][i / 2];
      }
    }
    return p;
  }();
  return tables;
}

// Lanes 0..7 of p, each twice: lanes 2i and 2i + 1 hold p[i].
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512 paired(const float* p) {
  const __m512i twice = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
  return _mm512_permutexvar_ps(twice, _mm512_zextps256_ps512(_mm256_loadu_ps(p)));
}

// fdctQuantise of two side-by-side blocks (the second starts 8 floats after
// the first) in the sixteen lanes of AVX-512: lane 2u + b carries block b's
// column u through exactly the operations, in the order, of fdctImpl and
// roundRow above, so each block's outputs are those of the one-block
// kernels. The samples are first interleaved (each row as A0 B0 A1 B1 ...)
// so that every term's pair of samples comes from one 64-bit broadcast
// load. Masks as fdctQuantise's, one per block.
[[gnu::target("avx512f")]] void fdctQuantisePairAvx512(const float* f, size_t stride,
                                                       const float* quant, int32_t* out0,
                                                       int32_t* out1, uint64_t* masks) {
  const CosineTables& t = cosineTables();
  const __m512i interleave =
      _mm512_setr_epi32(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
  alignas(64) float samples[8][16];
  for (int y = 0; y < 8; ++y) {
    _mm512_store_ps(
        samples[y],
        _mm512_permutexvar_ps(interleave, _mm512_loadu_ps(f + static_cast<size_t>(y) * stride)));
  }
  // Keeps the interleaved samples in memory: the compiler would otherwise
  // pull each pair out of a register, a shuffle where a load is wanted.
  __asm__ volatile("" : : "r"(samples) : "memory");
  const auto pairAt = [&samples](int y, int x) {
    double both;
    std::memcpy(&both, &samples[y][2 * x], sizeof both);
    return both;
  };
  const PairedTables& pairs = pairedTables();
  __m512 basis[8];
  for (int x = 0; x < 8; ++x) basis[x] = _mm512_load_ps(pairs.cosT[x]);
  __m512 rows[8];
  for (int y = 0; y < 8; ++y) {
    __m512 acc = _mm512_mul_ps(_mm512_castpd_ps(_mm512_set1_pd(pairAt(y, 0))), basis[0]);
    for (int x = 1; x < 8; ++x) {
      acc = _mm512_add_ps(acc,
                          _mm512_mul_ps(_mm512_castpd_ps(_mm512_set1_pd(pairAt(y, x))), basis[x]));
    }
    rows[y] = acc;
  }
  __m512 cols[8];
  cols[0] = rows[0];
  for (int v = 1; v < 8; ++v) cols[v] = _mm512_mul_ps(rows[0], _mm512_set1_ps(t.CosT[0][v]));
  for (int y = 1; y < 8; ++y) {
    cols[0] = _mm512_add_ps(cols[0], rows[y]);
    for (int v = 1; v < 8; ++v) {
      cols[v] = _mm512_add_ps(cols[v], _mm512_mul_ps(rows[y], _mm512_set1_ps(t.CosT[y][v])));
    }
  }
  const __m512i sign = _mm512_set1_epi32(INT32_MIN);
  const __m512i half = _mm512_set1_epi32(0x3F000000);
  const __m512i separate = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  masks[0] = masks[1] = 0;
  for (int v = 0; v < 8; ++v) {
    const __m512 a = _mm512_div_ps(_mm512_mul_ps(_mm512_load_ps(pairs.fdctScale[v]), cols[v]),
                                   paired(quant + 8 * v));
    const __m512 signedHalf =
        _mm512_castsi512_ps(_mm512_or_si512(_mm512_and_si512(_mm512_castps_si512(a), sign), half));
    const __m512i q =
        _mm512_permutexvar_epi32(separate, _mm512_cvttps_epi32(_mm512_add_ps(a, signedHalf)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + 8 * v), _mm512_castsi512_si256(q));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + 8 * v), _mm512_extracti64x4_epi64(q, 1));
    const unsigned nz = _mm512_test_epi32_mask(q, q);
    masks[0] |= uint64_t{nz & 0xFF} << (8 * v);
    masks[1] |= uint64_t{nz >> 8} << (8 * v);
  }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// Y, Cb and Cr of eight pixels (vectors passed by reference, so the AVX2
// caller below shares this code without a vector crossing a call).
KD_INLINE void colourMath(const Vec8& R, const Vec8& G, const Vec8& B, float* p0, float* p1,
                          float* p2) {
  store8(p0, splat(0.299f) * R + splat(0.587f) * G + splat(0.114f) * B - splat(128.0f));
  store8(p1, splat(-0.168736f) * R - splat(0.331264f) * G + splat(0.5f) * B);
  store8(p2, splat(0.5f) * R - splat(0.418688f) * G - splat(0.081312f) * B);
}

// Centred component samples of one row of n pixels: grey - 128, or
// Y = 0.299 R + 0.587 G + 0.114 B - 128, Cb = -0.168736 R - 0.331264 G +
// 0.5 B, Cr = 0.5 R - 0.418688 G - 0.081312 B, left to right in float.
KD_INLINE void colourRowImpl(const uint8_t* src, size_t n, bool colour, float* p0, float* p1,
                             float* p2) {
  if (!colour) {
    for (size_t x = 0; x < n; ++x) p0[x] = static_cast<float>(src[x]) - 128.0f;
    return;
  }
  size_t x = 0;
  for (; x + 8 <= n; x += 8) {
    const uint8_t* s = src + 3 * x;
    const Vec8 R = {float(s[0]), float(s[3]), float(s[6]), float(s[9]),
                    float(s[12]), float(s[15]), float(s[18]), float(s[21])};
    const Vec8 G = {float(s[1]), float(s[4]), float(s[7]), float(s[10]),
                    float(s[13]), float(s[16]), float(s[19]), float(s[22])};
    const Vec8 B = {float(s[2]), float(s[5]), float(s[8]), float(s[11]),
                    float(s[14]), float(s[17]), float(s[20]), float(s[23])};
    colourMath(R, G, B, p0 + x, p1 + x, p2 + x);
  }
  for (; x < n; ++x) {
    const float R = src[3 * x], G = src[3 * x + 1], B = src[3 * x + 2];
    p0[x] = 0.299f * R + 0.587f * G + 0.114f * B - 128.0f;
    p1[x] = -0.168736f * R - 0.331264f * G + 0.5f * B;
    p2[x] = 0.5f * R - 0.418688f * G - 0.081312f * B;
  }
}

void colourRowPlain(const uint8_t* src, size_t n, bool colour, float* p0, float* p1, float* p2) {
  colourRowImpl(src, n, colour, p0, p1, p2);
}
#if KD_X86_SIMD
// The AVX2 form gathers each channel of 16 pixels with byte shuffles (the
// inverse of the decoder's interleave masks) before the same float
// arithmetic.
[[gnu::target("avx2")]] void colourRowAvx2(const uint8_t* src, size_t n, bool colour, float* p0,
                                           float* p1, float* p2) {
  if (!colour) {
    colourRowImpl(src, n, colour, p0, p1, p2);
    return;
  }
  size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const uint8_t* s = src + 3 * x;
    const __m128i in[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32))};
    Vec8 ch[3][2];
    for (int c = 0; c < 3; ++c) {
      __m128i bytes = _mm_setzero_si128();
      for (int k = 0; k < 3; ++k) {
        bytes = _mm_or_si128(bytes, _mm_shuffle_epi8(in[k], _mm_load_si128(reinterpret_cast<const __m128i*>(kGather.mask[c][k]))));
      }
      const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
      const __m256 hi = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(bytes, 8)));
      std::memcpy(&ch[c][0], &lo, sizeof lo);
      std::memcpy(&ch[c][1], &hi, sizeof hi);
    }
    for (int h = 0; h < 2; ++h) {
      colourMath(ch[0][h], ch[1][h], ch[2][h], p0 + x + 8 * h, p1 + x + 8 * h, p2 + x + 8 * h);
    }
  }
  colourRowImpl(src + 3 * x, n - x, colour, p0 + x, p1 + x, p2 + x);
}

// colourRowAvx2 with the float arithmetic on sixteen lanes: the same
// operations in the same order for each pixel.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
[[gnu::target("avx512f,avx2")]] void colourRowAvx512(const uint8_t* src, size_t n, bool colour,
                                                     float* p0, float* p1, float* p2) {
  if (!colour) {
    colourRowImpl(src, n, colour, p0, p1, p2);
    return;
  }
  size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const uint8_t* s = src + 3 * x;
    const __m128i in[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32))};
    __m512 ch[3];
    for (int k3 = 0; k3 < 3; ++k3) {
      __m128i bytes = _mm_setzero_si128();
      for (int k = 0; k < 3; ++k) {
        bytes = _mm_or_si128(
            bytes,
            _mm_shuffle_epi8(
                in[k], _mm_load_si128(reinterpret_cast<const __m128i*>(kGather.mask[k3][k]))));
      }
      ch[k3] = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
    }
    const __m512 R = ch[0], G = ch[1], B = ch[2];
    _mm512_storeu_ps(
        p0 + x, _mm512_sub_ps(_mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(0.299f), R),
                                                          _mm512_mul_ps(_mm512_set1_ps(0.587f), G)),
                                            _mm512_mul_ps(_mm512_set1_ps(0.114f), B)),
                              _mm512_set1_ps(128.0f)));
    _mm512_storeu_ps(p1 + x,
                     _mm512_add_ps(_mm512_sub_ps(_mm512_mul_ps(_mm512_set1_ps(-0.168736f), R),
                                                 _mm512_mul_ps(_mm512_set1_ps(0.331264f), G)),
                                   _mm512_mul_ps(_mm512_set1_ps(0.5f), B)));
    _mm512_storeu_ps(p2 + x,
                     _mm512_sub_ps(_mm512_sub_ps(_mm512_mul_ps(_mm512_set1_ps(0.5f), R),
                                                 _mm512_mul_ps(_mm512_set1_ps(0.418688f), G)),
                                   _mm512_mul_ps(_mm512_set1_ps(0.081312f), B)));
  }
  colourRowImpl(src + 3 * x, n - x, colour, p0 + x, p1 + x, p2 + x);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

DecodeKernels decodeKernels(bool avx2) {
#if KD_X86_SIMD
  if (avx2) return {idctBlockAvx2, greyRowAvx2, rgbRowAvx2, rgbRowHalfAvx2};
#else
  (void)avx2;
#endif
  return {idctBlockPlain, greyRow, rgbRow, nullptr};
}

EncodeKernels encodeKernels(bool avx2, bool avx512) {
#if KD_X86_SIMD
  if (avx2 && avx512) return {fdctQuantiseAvx2, colourRowAvx512, fdctQuantisePairAvx512};
  if (avx2) return {fdctQuantiseAvx2, colourRowAvx2, nullptr};
#else
  (void)avx2;
  (void)avx512;
#endif
  return {fdctQuantisePlain, colourRowPlain, nullptr};
}

}  // namespace kd::formats::jpeg
