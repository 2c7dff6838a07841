// The VP8 loop filters sixteen positions at a time with SSE2. Pixels are
// taken to the signed domain (x ^ 0x80) where saturating byte arithmetic
// gives the RFC's clamps step for step; the 27/18/9 taps and the divisions
// by 8 and 2 run on 16-bit lanes. Filters across columns transpose the
// 8 pixels around the edge of each row into eight registers and back.

#include "formats/vp8_loop_filter_sse2.h"

#if KD_SSE2
#include <emmintrin.h>

namespace kd::formats::vp8::sse2 {
namespace {

inline __m128i absDiff(__m128i a, __m128i b) {
  return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
}
// All ones where a <= b (unsigned bytes).
inline __m128i lessEqual(__m128i a, __m128i b) {
  return _mm_cmpeq_epi8(_mm_subs_epu8(a, b), _mm_setzero_si128());
}
// Signed bytes shifted right arithmetically by n.
template <int n>
inline __m128i shiftSigned(__m128i v) {
  const __m128i lo = _mm_srai_epi16(_mm_unpacklo_epi8(v, v), 8 + n);
  const __m128i hi = _mm_srai_epi16(_mm_unpackhi_epi8(v, v), 8 + n);
  return _mm_packs_epi16(lo, hi);
}
// (w * k + 63) >> 7 of signed bytes.
inline __m128i tap(__m128i w, int k) {
  const __m128i factor = _mm_set1_epi16(static_cast<short>(k));
  const __m128i round = _mm_set1_epi16(63);
  const __m128i lo = _mm_srai_epi16(_mm_unpacklo_epi8(w, w), 8);
  const __m128i hi = _mm_srai_epi16(_mm_unpackhi_epi8(w, w), 8);
  return _mm_packs_epi16(_mm_srai_epi16(_mm_add_epi16(_mm_mullo_epi16(lo, factor), round), 7),
                         _mm_srai_epi16(_mm_add_epi16(_mm_mullo_epi16(hi, factor), round), 7));
}

// v[0..7] = p3 p2 p1 p0 q0 q1 q2 q3, one position per byte lane.
void filterLanes(__m128i* v, const EdgeParams& e) {
  const __m128i sign = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i p1 = v[2], p0 = v[3], q0 = v[4], q1 = v[5];
  const __m128i ad = absDiff(p0, q0);
  const __m128i halfOuter = _mm_srli_epi16(_mm_and_si128(absDiff(p1, q1), _mm_set1_epi8(static_cast<char>(0xFE))), 1);
  __m128i mask = lessEqual(_mm_adds_epu8(_mm_adds_epu8(ad, ad), halfOuter),
                           _mm_set1_epi8(static_cast<char>(e.limit)));
  __m128i hev = _mm_setzero_si128();
  if (e.kind != kSimpleEdge) {
    __m128i m = _mm_max_epu8(absDiff(v[0], v[1]), absDiff(v[1], p1));
    m = _mm_max_epu8(m, _mm_max_epu8(absDiff(p1, p0), absDiff(v[7], v[6])));
    m = _mm_max_epu8(m, _mm_max_epu8(absDiff(v[6], q1), absDiff(q1, q0)));
    mask = _mm_and_si128(mask, lessEqual(m, _mm_set1_epi8(static_cast<char>(e.interior))));
    const __m128i variation = _mm_max_epu8(absDiff(p1, p0), absDiff(q1, q0));
    hev = _mm_andnot_si128(lessEqual(variation, _mm_set1_epi8(static_cast<char>(e.hevThreshold))),
                           _mm_set1_epi8(-1));
  }
  const __m128i sp1 = _mm_xor_si128(p1, sign), sp0 = _mm_xor_si128(p0, sign);
  const __m128i sq0 = _mm_xor_si128(q0, sign), sq1 = _mm_xor_si128(q1, sign);
  const __m128i step = _mm_subs_epi8(sq0, sp0);
  const __m128i inner3 = _mm_adds_epi8(_mm_adds_epi8(step, step), step);
  const __m128i outer3 = _mm_adds_epi8(_mm_adds_epi8(_mm_adds_epi8(_mm_subs_epi8(sp1, sq1), step), step), step);
  // The value that moves p0 and q0: with outer taps in the simple filter
  // and where variance is high, without them on quiet sub-block edges;
  // on quiet macroblock edges the six-tap filter below does the work.
  __m128i centre;
  if (e.kind == kSimpleEdge) {
    centre = _mm_and_si128(outer3, mask);
  } else if (e.kind == kMacroblockEdge) {
    centre = _mm_and_si128(outer3, _mm_and_si128(mask, hev));
  } else {
    centre = _mm_and_si128(_mm_or_si128(_mm_and_si128(hev, outer3), _mm_andnot_si128(hev, inner3)), mask);
  }
  const __m128i forQ = shiftSigned<3>(_mm_adds_epi8(centre, _mm_set1_epi8(4)));
  const __m128i forP = shiftSigned<3>(_mm_adds_epi8(centre, _mm_set1_epi8(3)));
  __m128i np0 = _mm_adds_epi8(sp0, forP);
  __m128i nq0 = _mm_subs_epi8(sq0, forQ);
  if (e.kind == kSubblockEdge) {
    const __m128i half = _mm_andnot_si128(hev, shiftSigned<1>(_mm_adds_epi8(forQ, _mm_set1_epi8(1))));
    v[2] = _mm_xor_si128(_mm_adds_epi8(sp1, half), sign);
    v[5] = _mm_xor_si128(_mm_subs_epi8(sq1, half), sign);
  } else if (e.kind == kMacroblockEdge) {
    const __m128i w = _mm_and_si128(outer3, _mm_andnot_si128(hev, mask));
    const __m128i a0 = tap(w, 27), a1 = tap(w, 18), a2 = tap(w, 9);
    np0 = _mm_adds_epi8(np0, a0);
    nq0 = _mm_subs_epi8(nq0, a0);
    v[2] = _mm_xor_si128(_mm_adds_epi8(sp1, a1), sign);
    v[5] = _mm_xor_si128(_mm_subs_epi8(sq1, a1), sign);
    v[1] = _mm_xor_si128(_mm_adds_epi8(_mm_xor_si128(v[1], sign), a2), sign);
    v[6] = _mm_xor_si128(_mm_subs_epi8(_mm_xor_si128(v[6], sign), a2), sign);
  }
  v[3] = _mm_xor_si128(np0, sign);
  v[4] = _mm_xor_si128(nq0, sign);
}

inline __m128i loadRow(const uint8_t* p, int count) {
  return count == 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))
                     : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline void storeRow(uint8_t* p, __m128i v, int count) {
  if (count == 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
  }
}

// Sixteen rows of eight bytes to eight columns of sixteen, and back.
void transposeIn(const uint8_t* p, ptrdiff_t stride, int count, __m128i* out) {
  __m128i r[16];
  for (int i = 0; i < 16; ++i) {
    r[i] = i < count ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i * stride))
                     : _mm_setzero_si128();
  }
  __m128i a[8], b[8], c[8];
  for (int i = 0; i < 8; ++i) a[i] = _mm_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
  for (int i = 0; i < 4; ++i) {
    b[2 * i] = _mm_unpacklo_epi16(a[2 * i], a[2 * i + 1]);
    b[2 * i + 1] = _mm_unpackhi_epi16(a[2 * i], a[2 * i + 1]);
  }
  // c: columns {0,1},{2,3},{4,5},{6,7} of rows 0-7, then of rows 8-15.
  c[0] = _mm_unpacklo_epi32(b[0], b[2]);
  c[1] = _mm_unpackhi_epi32(b[0], b[2]);
  c[2] = _mm_unpacklo_epi32(b[1], b[3]);
  c[3] = _mm_unpackhi_epi32(b[1], b[3]);
  c[4] = _mm_unpacklo_epi32(b[4], b[6]);
  c[5] = _mm_unpackhi_epi32(b[4], b[6]);
  c[6] = _mm_unpacklo_epi32(b[5], b[7]);
  c[7] = _mm_unpackhi_epi32(b[5], b[7]);
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = _mm_unpacklo_epi64(c[i], c[4 + i]);
    out[2 * i + 1] = _mm_unpackhi_epi64(c[i], c[4 + i]);
  }
}

void transposeOut(const __m128i* col, uint8_t* p, ptrdiff_t stride, int count) {
  __m128i a[8], b[8];
  for (int i = 0; i < 4; ++i) {
    a[2 * i] = _mm_unpacklo_epi8(col[2 * i], col[2 * i + 1]);      // rows 0-7
    a[2 * i + 1] = _mm_unpackhi_epi8(col[2 * i], col[2 * i + 1]);  // rows 8-15
  }
  // b: four columns of rows 0-3, 4-7, 8-11, 12-15 (columns 0-3, then 4-7).
  b[0] = _mm_unpacklo_epi16(a[0], a[2]);
  b[1] = _mm_unpackhi_epi16(a[0], a[2]);
  b[2] = _mm_unpacklo_epi16(a[1], a[3]);
  b[3] = _mm_unpackhi_epi16(a[1], a[3]);
  b[4] = _mm_unpacklo_epi16(a[4], a[6]);
  b[5] = _mm_unpackhi_epi16(a[4], a[6]);
  b[6] = _mm_unpacklo_epi16(a[5], a[7]);
  b[7] = _mm_unpackhi_epi16(a[5], a[7]);
  for (int g = 0; g < 4; ++g) {
    const __m128i lo = _mm_unpacklo_epi32(b[g], b[4 + g]);  // rows 4g, 4g + 1
    const __m128i hi = _mm_unpackhi_epi32(b[g], b[4 + g]);  // rows 4g + 2, 4g + 3
    const __m128i rows[4] = {lo, _mm_unpackhi_epi64(lo, lo), hi, _mm_unpackhi_epi64(hi, hi)};
    for (int k = 0; k < 4; ++k) {
      const int row = 4 * g + k;
      if (row < count) _mm_storel_epi64(reinterpret_cast<__m128i*>(p + row * stride), rows[k]);
    }
  }
}

}  // namespace

void filterRowEdge(uint8_t* p, ptrdiff_t stride, int count, const EdgeParams& e) {
  __m128i v[8];
  for (int i = 0; i < 8; ++i) v[i] = loadRow(p + (i - 4) * stride, count);
  filterLanes(v, e);
  for (int i = 1; i < 7; ++i) storeRow(p + (i - 4) * stride, v[i], count);
}

void filterColumnEdge(uint8_t* p, ptrdiff_t stride, int count, const EdgeParams& e) {
  __m128i v[8];
  transposeIn(p - 4, stride, count, v);
  filterLanes(v, e);
  transposeOut(v, p - 4, stride, count);
}

}  // namespace kd::formats::vp8::sse2
#endif
