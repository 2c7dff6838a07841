// The inverse transforms of WebP lossless (RFC 9649, section 4), applied
// to one row at a time, and the conversion of ARGB rows to output bytes.
#include "formats/webp_transforms.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/cpu.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::formats::webp {

namespace {

// Channel-wise (a + b) / 2. The scalar helpers below serve the plain
// predictor, which a build with SSE2 instantiates only for the block edges
// or not at all: [[maybe_unused]] keeps clang from flagging them.
[[maybe_unused]] inline uint32_t average2(uint32_t a, uint32_t b) {
  return (((a ^ b) & 0xFEFEFEFEu) >> 1) + (a & b);
}

inline int channel(uint32_t px, int shift) { return static_cast<int>((px >> shift) & 0xFF); }

// Select, ClampAddSubtractFull and ClampAddSubtractHalf of RFC 9649, per
// channel. With SSE2 the four channels go through one register as 16-bit
// lanes; saturating packs do the clamping.
#if KD_SSE2
inline __m128i widen(uint32_t px) {
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(px)), _mm_setzero_si128());
}
inline uint32_t narrow(__m128i v) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
}
// Sum over the channels of |a - b|.
inline int distance(uint32_t a, uint32_t b) {
  return _mm_cvtsi128_si32(
      _mm_sad_epu8(_mm_cvtsi32_si128(static_cast<int>(a)), _mm_cvtsi32_si128(static_cast<int>(b))));
}
[[maybe_unused]] inline uint32_t clampAddSubtractFull(uint32_t a, uint32_t b, uint32_t c) {
  return narrow(_mm_sub_epi16(_mm_add_epi16(widen(a), widen(b)), widen(c)));
}
// a + (a - b) / 2, the division truncating towards zero.
[[maybe_unused]] inline uint32_t clampAddSubtractHalf(uint32_t a, uint32_t b) {
  const __m128i wa = widen(a);
  const __m128i d = _mm_sub_epi16(wa, widen(b));
  const __m128i half = _mm_srai_epi16(_mm_sub_epi16(d, _mm_srai_epi16(d, 15)), 1);
  return narrow(_mm_add_epi16(wa, half));
}
#else
inline int clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }
inline int distance(uint32_t a, uint32_t b) {
  int sum = 0;
  for (int shift = 0; shift < 32; shift += 8) sum += std::abs(channel(a, shift) - channel(b, shift));
  return sum;
}
[[maybe_unused]] inline uint32_t clampAddSubtractFull(uint32_t a, uint32_t b, uint32_t c) {
  uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    out |= static_cast<uint32_t>(
               clamp255(channel(a, shift) + channel(b, shift) - channel(c, shift)))
           << shift;
  }
  return out;
}
[[maybe_unused]] inline uint32_t clampAddSubtractHalf(uint32_t a, uint32_t b) {
  uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const int ca = channel(a, shift);
    out |= static_cast<uint32_t>(clamp255(ca + (ca - channel(b, shift)) / 2)) << shift;
  }
  return out;
}
#endif

// The estimate L + T - TL lies |T - TL| (channel-wise) from L and |L - TL|
// from T; the nearer of L and T wins, T on a tie.
[[maybe_unused]] inline uint32_t select(uint32_t left, uint32_t top, uint32_t topLeft) {
  return distance(top, topLeft) < distance(left, topLeft) ? left : top;
}

// Prediction for mode 0..13 from the left, top, top-left and top-right
// neighbours (predictorValue). Green values 14 and 15 of the block image
// predict black, as mode 0 does; only the low four bits name the mode.
template <int Mode>
inline uint32_t predict(uint32_t l, uint32_t t, uint32_t tl, uint32_t tr) {
  if constexpr (Mode == 1) return l;
  else if constexpr (Mode == 2) return t;
  else if constexpr (Mode == 3) return tr;
  else if constexpr (Mode == 4) return tl;
  else if constexpr (Mode == 5) return average2(average2(l, tr), t);
  else if constexpr (Mode == 6) return average2(l, tl);
  else if constexpr (Mode == 7) return average2(l, t);
  else if constexpr (Mode == 8) return average2(tl, t);
  else if constexpr (Mode == 9) return average2(t, tr);
  else if constexpr (Mode == 10) return average2(average2(l, tl), average2(t, tr));
  else if constexpr (Mode == 11) return select(l, t, tl);
  else if constexpr (Mode == 12) return clampAddSubtractFull(l, t, tl);
  else if constexpr (Mode == 13) return clampAddSubtractHalf(average2(l, t), tl);
  else return 0xFF000000u;
}

#if KD_SSE2
inline __m128i load32(const uint32_t* p) {
  return _mm_cvtsi32_si128(static_cast<int>(*p));
}
// Channel-wise (a + b) / 2 rounded down (the instruction rounds up).
inline __m128i average2Lanes(__m128i a, __m128i b) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}
inline __m128i widenLanes(__m128i v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }

// The prediction of predict<Mode>, on pixels held in the low lanes.
template <int Mode>
inline __m128i predictLanes(__m128i l, __m128i t, __m128i tl, __m128i tr) {
  if constexpr (Mode == 1) return l;
  else if constexpr (Mode == 2) return t;
  else if constexpr (Mode == 3) return tr;
  else if constexpr (Mode == 4) return tl;
  else if constexpr (Mode == 5) return average2Lanes(average2Lanes(l, tr), t);
  else if constexpr (Mode == 6) return average2Lanes(l, tl);
  else if constexpr (Mode == 7) return average2Lanes(l, t);
  else if constexpr (Mode == 8) return average2Lanes(tl, t);
  else if constexpr (Mode == 9) return average2Lanes(t, tr);
  else if constexpr (Mode == 10) return average2Lanes(average2Lanes(l, tl), average2Lanes(t, tr));
  else if constexpr (Mode == 11) {
    const __m128i nearerLeft =
        _mm_cmplt_epi32(_mm_sad_epu8(t, tl), _mm_sad_epu8(l, tl));  // lane 0 decides
    const __m128i mask = _mm_shuffle_epi32(nearerLeft, 0);
    return _mm_or_si128(_mm_and_si128(mask, l), _mm_andnot_si128(mask, t));
  } else if constexpr (Mode == 12) {
    return _mm_packus_epi16(
        _mm_sub_epi16(_mm_add_epi16(widenLanes(l), widenLanes(t)), widenLanes(tl)),
        _mm_setzero_si128());
  } else if constexpr (Mode == 13) {
    const __m128i a = widenLanes(average2Lanes(l, t));
    const __m128i d = _mm_sub_epi16(a, widenLanes(tl));
    const __m128i half = _mm_srai_epi16(_mm_sub_epi16(d, _mm_srai_epi16(d, 15)), 1);
    return _mm_packus_epi16(_mm_add_epi16(a, half), _mm_setzero_si128());
  } else {
    return _mm_cvtsi32_si128(static_cast<int>(0xFF000000u));
  }
}
#endif

// Adds the prediction to row[x] for x in [from, to). `top` is the row above
// as the predictor stage left it; the top-right neighbour of the last
// column is the first pixel of the current row. The left neighbour stays
// in a register from one pixel to the next: that chain is the loop's cost.
template <int Mode>
void predictSpan(uint32_t* row, const uint32_t* top, int64_t from, int64_t to, int64_t width) {
#if KD_SSE2
  __m128i left = load32(row + from - 1);
  for (int64_t x = from; x < to; ++x) {
    const __m128i tr = x + 1 < width ? load32(top + x + 1) : load32(row);
    const __m128i pred = predictLanes<Mode>(left, load32(top + x), load32(top + x - 1), tr);
    left = _mm_add_epi8(load32(row + x), pred);
    row[x] = static_cast<uint32_t>(_mm_cvtsi128_si32(left));
  }
#else
  for (int64_t x = from; x < to; ++x) {
    const uint32_t tr = x + 1 < width ? top[x + 1] : row[0];
    row[x] = addPixels(row[x], predict<Mode>(row[x - 1], top[x], top[x - 1], tr));
  }
#endif
}

using SpanFn = void (*)(uint32_t*, const uint32_t*, int64_t, int64_t, int64_t);
constexpr std::array<SpanFn, 16> kPredictSpans = {
    predictSpan<0>,  predictSpan<1>,  predictSpan<2>,  predictSpan<3>,
    predictSpan<4>,  predictSpan<5>,  predictSpan<6>,  predictSpan<7>,
    predictSpan<8>,  predictSpan<9>,  predictSpan<10>, predictSpan<11>,
    predictSpan<12>, predictSpan<13>, predictSpan<0>,  predictSpan<0>};

}  // namespace

void inversePredictor(Transform& t, uint32_t* row, int64_t y) {
  const int64_t width = t.width;
  uint32_t* top = t.previous.data();
  if (y == 0) {
    row[0] = addPixels(row[0], 0xFF000000u);
    for (int64_t x = 1; x < width; ++x) row[x] = addPixels(row[x], row[x - 1]);
  } else {
    row[0] = addPixels(row[0], top[0]);
    const int64_t blocksWide = divRoundUp(width, t.bits);
    const uint32_t* modes = t.data.data() + (y >> t.bits) * blocksWide;
    const int64_t block = int64_t{1} << t.bits;
    for (int64_t bx = 0; bx < blocksWide; ++bx) {
      const int64_t from = std::max<int64_t>(bx * block, 1);
      const int64_t to = std::min(width, (bx + 1) * block);
      kPredictSpans[(modes[bx] >> 8) & 15](row, top, from, to, width);
    }
  }
  std::copy_n(row, width, top);
}

namespace {

inline int colorDelta(uint8_t t, uint8_t c) {
  return (static_cast<int8_t>(t) * static_cast<int8_t>(c)) >> 5;
}

inline uint32_t crossColorPixel(uint32_t px, uint32_t e) {
  const auto greenToRed = static_cast<uint8_t>(e);
  const auto greenToBlue = static_cast<uint8_t>(e >> 8);
  const auto redToBlue = static_cast<uint8_t>(e >> 16);
  const auto green = static_cast<uint8_t>(px >> 8);
  const int red = channel(px, 16) + colorDelta(greenToRed, green);
  int blue = channel(px, 0) + colorDelta(greenToBlue, green);
  blue += colorDelta(redToBlue, static_cast<uint8_t>(red));
  return (px & 0xFF00FF00u) | static_cast<uint32_t>(red & 0xFF) << 16 |
         static_cast<uint32_t>(blue & 0xFF);
}

#if KD_SSE2
// The signed byte at bit `shift` of each 32-bit lane, sign-extended.
template <int Shift>
inline __m128i signedByte(__m128i v) {
  return _mm_srai_epi32(_mm_slli_epi32(v, 24 - Shift), 24);
}
// (t * c) >> 5 per lane for sign-extended bytes t and c: the product fits
// 16 bits, so the low halves multiply and the shift sign-extends from them.
inline __m128i deltaLanes(__m128i t, __m128i c) {
  return _mm_srai_epi32(_mm_slli_epi32(_mm_mullo_epi16(t, c), 16), 16 + 5);
}
// Four pixels of one block (one element).
inline __m128i crossColorLanes(__m128i px, uint32_t element) {
  const __m128i e = _mm_set1_epi32(static_cast<int>(element));
  const __m128i green = signedByte<8>(px);
  const __m128i red = _mm_add_epi32(_mm_srli_epi32(px, 16), deltaLanes(signedByte<0>(e), green));
  const __m128i redSigned = signedByte<0>(red);
  const __m128i blue = _mm_add_epi32(_mm_add_epi32(px, deltaLanes(signedByte<8>(e), green)),
                                     deltaLanes(signedByte<16>(e), redSigned));
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  return _mm_or_si128(_mm_and_si128(px, _mm_set1_epi32(static_cast<int>(0xFF00FF00u))),
                      _mm_or_si128(_mm_slli_epi32(_mm_and_si128(red, byteMask), 16),
                                   _mm_and_si128(blue, byteMask)));
}
#endif

}  // namespace

void inverseCrossColor(const Transform& t, uint32_t* row, int64_t y) {
  const int64_t blocksWide = divRoundUp(t.width, t.bits);
  const uint32_t* elements = t.data.data() + (y >> t.bits) * blocksWide;
  int64_t x = 0;
#if KD_SSE2
  // Blocks are at least 4 pixels wide, so an aligned group of 4 shares one.
  for (; x + 4 <= t.width; x += 4) {
    __m128i* p = reinterpret_cast<__m128i*>(row + x);
    _mm_storeu_si128(p, crossColorLanes(_mm_loadu_si128(p), elements[x >> t.bits]));
  }
#endif
  for (; x < t.width; ++x) row[x] = crossColorPixel(row[x], elements[x >> t.bits]);
}

void inverseSubtractGreen(int64_t width, uint32_t* row) {
  int64_t x = 0;
#if KD_SSE2
  const __m128i greenMask = _mm_set1_epi32(0xFF00);
  for (; x + 4 <= width; x += 4) {
    __m128i* p = reinterpret_cast<__m128i*>(row + x);
    const __m128i v = _mm_loadu_si128(p);
    const __m128i g = _mm_and_si128(v, greenMask);
    _mm_storeu_si128(p, _mm_add_epi8(v, _mm_or_si128(_mm_srli_epi32(g, 8), _mm_slli_epi32(g, 8))));
  }
#endif
  for (; x < width; ++x) {
    const uint32_t px = row[x];
    const uint32_t green = (px >> 8) & 0xFF;
    row[x] = addPixels(px, green << 16 | green);
  }
}

// Replaces colour indices by table entries, unbundling packed indices
// (expandColorMap). Runs from the right so the row can widen in place.
void expandColorMap(const Transform& t, uint32_t* row) {
  const uint32_t* table = t.data.data();
  if (t.bits == 0) {
    for (int64_t x = 0; x < t.width; ++x) row[x] = table[(row[x] >> 8) & 0xFF];
    return;
  }
  const int perPixelBits = 8 >> t.bits;
  const uint32_t mask = (1u << perPixelBits) - 1;
  const int64_t xMask = (int64_t{1} << t.bits) - 1;
  for (int64_t x = t.width - 1; x >= 0; --x) {
    const uint32_t packed = (row[x >> t.bits] >> 8) & 0xFF;
    row[x] = table[(packed >> ((x & xMask) * perPixelBits)) & mask];
  }
}

// ---------------------------------------------------------------------------
// Output

// ARGB words to R, G, B (, A) bytes.
void toRgba(const uint32_t* row, int64_t width, bool alpha, uint8_t* out) {
  if (alpha) {
    for (int64_t x = 0; x < width; ++x) {
      const uint32_t px = row[x];
      base::storeLe32(out + 4 * x, (px & 0xFF00FF00u) | ((px >> 16) & 0xFF) | ((px & 0xFF) << 16));
    }
  } else {
    // Four-byte stores; the fourth byte is the next pixel's red, written
    // over in the next step. The last pixel stores its three bytes alone.
    for (int64_t x = 0; x + 1 < width; ++x) {
      const uint32_t px = row[x];
      base::storeLe32(out + 3 * x, ((px >> 16) & 0xFF) | (px & 0xFF00) | ((px & 0xFF) << 16));
    }
    const uint32_t last = row[width - 1];
    out[3 * width - 3] = static_cast<uint8_t>(last >> 16);
    out[3 * width - 2] = static_cast<uint8_t>(last >> 8);
    out[3 * width - 1] = static_cast<uint8_t>(last);
  }
}

// Output bytes of every green value of a colour-indexed picture: for each
// of the 256 values, the 1, 2, 4 or 8 pixels it unbundles to, as R, G, B (, A)
// bytes. A row is then one table read and one copy per coded pixel.
Bytes unbundledTable(const Transform& t, int64_t channels) {
  const int perPixel = 1 << t.bits;
  const int perPixelBits = 8 >> t.bits;
  const uint32_t mask = (1u << perPixelBits) - 1;
  const auto chunk = static_cast<size_t>(perPixel * channels);
  Bytes out(256 * chunk);
  for (uint32_t v = 0; v < 256; ++v) {
    for (int k = 0; k < perPixel; ++k) {
      uint8_t rgba[4];
      const uint32_t argb = t.data[(v >> (k * perPixelBits)) & mask];
      toRgba(&argb, 1, true, rgba);
      std::memcpy(&out[v * chunk + static_cast<size_t>(k * channels)], rgba,
                  static_cast<size_t>(channels));
    }
  }
  return out;
}

namespace {

template <size_t Chunk>
void emitIndexedRow(const Transform& t, const uint32_t* coded, const uint8_t* table, size_t channels,
                    uint8_t* out) {
  const int64_t whole = t.width >> t.bits;
  for (int64_t cx = 0; cx < whole; ++cx) {
    std::memcpy(out + static_cast<size_t>(cx) * Chunk, table + ((coded[cx] >> 8) & 0xFF) * Chunk,
                Chunk);
  }
  const size_t rest = static_cast<size_t>(t.width - (whole << t.bits)) * channels;
  if (rest > 0) {
    std::memcpy(out + static_cast<size_t>(whole) * Chunk,
                table + ((coded[whole] >> 8) & 0xFF) * Chunk, rest);
  }
}

}  // namespace

// Fixed-size copies per chunk size (pixels per coded pixel x channels).
void emitIndexed(const Transform& t, const uint32_t* coded, const Bytes& table, int64_t channels,
                 uint8_t* out) {
  const auto ch = static_cast<size_t>(channels);
  const uint8_t* tb = table.data();
  switch ((size_t{1} << t.bits) * ch) {
    case 3: emitIndexedRow<3>(t, coded, tb, ch, out); break;
    case 4: emitIndexedRow<4>(t, coded, tb, ch, out); break;
    case 6: emitIndexedRow<6>(t, coded, tb, ch, out); break;
    case 8: emitIndexedRow<8>(t, coded, tb, ch, out); break;
    case 12: emitIndexedRow<12>(t, coded, tb, ch, out); break;
    case 16: emitIndexedRow<16>(t, coded, tb, ch, out); break;
    case 24: emitIndexedRow<24>(t, coded, tb, ch, out); break;
    default: emitIndexedRow<32>(t, coded, tb, ch, out); break;
  }
}

}  // namespace kd::formats::webp
