// RGB or RGBA from decoded VP8 rows, as libwebp's default RGBA output makes
// it (without alpha the fourth channel is left out).
//
// Chroma is upsampled "fancily": each output pixel takes its chroma from the
// nearest chroma sample N (weight 9/16), the horizontal neighbour H and the
// vertical neighbour V (3/16 each) and the diagonal one D (1/16). The sum
// is formed in two roundings, first (N + D + 3 * (H + V) + 8) >> 3, then
// the average of that with N, rounding down. Along the picture's edges
// the missing neighbours repeat the nearest sample, except the first column
// (and the last, when the width is even), which blend vertically only:
// (3 * N + V + 2) >> 2.
//
// The colour conversion is BT.601 with studio-range luma in fixed point:
// each term is the sample times a 14-bit coefficient, shifted right by 8,
// giving 6 fractional bits; the sum plus a constant offset is clamped to
// 0..255 * 64 and shifted right by 6.
//   R = (Y * 19077 >> 8) + (V * 26149 >> 8) - 14234
//   G = (Y * 19077 >> 8) - (U * 6419 >> 8) - (V * 13320 >> 8) + 8708
//   B = (Y * 19077 >> 8) + (U * 33050 >> 8) - 17685
// (1.164, 1.596, 0.392, 0.813 and 2.017 times 16384; the offsets fold in
// the 16 and 128 biases and half a unit for rounding.)

#include <cstring>
#include <vector>

#include "base/cpu.h"
#include "formats/vp8.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::formats::vp8 {
namespace {

struct ConversionTables {
  int luma[256];
  int redFromV[256];
  int greenFromU[256];
  int greenFromV[256];
  int blueFromU[256];
  ConversionTables() {
    for (int i = 0; i < 256; ++i) {
      luma[i] = (i * 19077) >> 8;
      redFromV[i] = ((i * 26149) >> 8) - 14234;
      greenFromU[i] = (i * 6419) >> 8;
      greenFromV[i] = ((i * 13320) >> 8) - 8708;
      blueFromU[i] = ((i * 33050) >> 8) - 17685;
    }
  }
};

const ConversionTables kTables;

inline uint8_t toByte(int v) {
  if ((v & ~16383) == 0) return static_cast<uint8_t>(v >> 6);
  return v < 0 ? 0 : 255;
}

inline int blend(int n, int h, int v, int d) { return (((n + d + 3 * (h + v) + 8) >> 3) + n) >> 1; }
inline int blendVertical(int n, int v) { return (3 * n + v + 2) >> 2; }

// The chroma of every pixel of a row, from the nearest chroma row `n` and
// the other one `f`.
void upsampleRow(const uint8_t* n, const uint8_t* f, int width, uint8_t* out) {
  out[0] = static_cast<uint8_t>(blendVertical(n[0], f[0]));
  const int pairs = (width - 1) >> 1;
  int j = 0;
#if KD_SSE2
  // Eight pairs at a time on 16-bit lanes: a, b the nearest row's samples
  // j and j + 1, c, e the other row's.
  const __m128i zero = _mm_setzero_si128();
  const __m128i eight = _mm_set1_epi16(8);
  auto load = [&](const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
  };
  auto mix = [&](__m128i near, __m128i side, __m128i vertical, __m128i diagonal) {
    const __m128i three = _mm_add_epi16(side, vertical);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(near, diagonal),
                                      _mm_add_epi16(_mm_add_epi16(three, three), three));
    return _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(sum, eight), 3), near), 1);
  };
  for (; j + 8 <= pairs; j += 8) {
    const __m128i a = load(n + j), b = load(n + j + 1), c = load(f + j), e = load(f + j + 1);
    const __m128i odd = _mm_packus_epi16(mix(a, b, c, e), zero);
    const __m128i even = _mm_packus_epi16(mix(b, a, e, c), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j + 1), _mm_unpacklo_epi8(odd, even));
  }
#endif
  for (; j < pairs; ++j) {
    out[2 * j + 1] = static_cast<uint8_t>(blend(n[j], n[j + 1], f[j], f[j + 1]));
    out[2 * j + 2] = static_cast<uint8_t>(blend(n[j + 1], n[j], f[j + 1], f[j]));
  }
  if ((width & 1) == 0) {
    const int last = (width >> 1) - 1;
    out[width - 1] = static_cast<uint8_t>(blendVertical(n[last], f[last]));
  }
}

// Pixels of a row from luma and upsampled chroma, `channels` (3 or 4)
// samples each; `alpha` is read when there are four.
template <int channels>
void convertPixels(const uint8_t* y, const uint8_t* u, const uint8_t* v, const uint8_t* alpha,
                   int width, uint8_t* out) {
  int x = 0;
#if KD_SSE2
  // Sixteen pixels at a time. Each term is a high product: (s << 8) times
  // the coefficient, upper 16 bits, which is s * coefficient >> 8. Sums
  // stay unsigned: a negative result saturates to 0, one past 255 * 64
  // saturates on packing, as the clamp does.
  const __m128i zero = _mm_setzero_si128();
  alignas(16) uint8_t packed[64];
  for (; x + 16 <= width; x += 16) {
    const __m128i ys = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
    const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
    __m128i r[2], g[2], b[2];
    for (int half = 0; half < 2; ++half) {
      const __m128i y8 = half ? _mm_unpackhi_epi8(zero, ys) : _mm_unpacklo_epi8(zero, ys);
      const __m128i u8 = half ? _mm_unpackhi_epi8(zero, us) : _mm_unpacklo_epi8(zero, us);
      const __m128i v8 = half ? _mm_unpackhi_epi8(zero, vs) : _mm_unpacklo_epi8(zero, vs);
      const __m128i luma = _mm_mulhi_epu16(y8, _mm_set1_epi16(19077));
      const __m128i red = _mm_adds_epu16(luma, _mm_mulhi_epu16(v8, _mm_set1_epi16(26149)));
      const __m128i blue =
          _mm_adds_epu16(luma, _mm_mulhi_epu16(u8, _mm_set1_epi16(static_cast<short>(33050))));
      __m128i green = _mm_adds_epu16(luma, _mm_set1_epi16(8708));
      green = _mm_subs_epu16(green, _mm_mulhi_epu16(u8, _mm_set1_epi16(6419)));
      green = _mm_subs_epu16(green, _mm_mulhi_epu16(v8, _mm_set1_epi16(13320)));
      r[half] = _mm_srli_epi16(_mm_subs_epu16(red, _mm_set1_epi16(14234)), 6);
      g[half] = _mm_srli_epi16(green, 6);
      b[half] = _mm_srli_epi16(_mm_subs_epu16(blue, _mm_set1_epi16(17685)), 6);
    }
    // Interleaved as R, G, B, A words; three-channel rows take the first
    // three bytes of each, written four at a time over the next pixel's
    // start except for the group's last pixel.
    const __m128i red = _mm_packus_epi16(r[0], r[1]);
    const __m128i green = _mm_packus_epi16(g[0], g[1]);
    const __m128i blue = _mm_packus_epi16(b[0], b[1]);
    const __m128i fourth = channels == 4
                               ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(alpha + x))
                               : _mm_setzero_si128();
    const __m128i rgLo = _mm_unpacklo_epi8(red, green), rgHi = _mm_unpackhi_epi8(red, green);
    const __m128i baLo = _mm_unpacklo_epi8(blue, fourth), baHi = _mm_unpackhi_epi8(blue, fourth);
    const __m128i words[4] = {_mm_unpacklo_epi16(rgLo, baLo), _mm_unpackhi_epi16(rgLo, baLo),
                              _mm_unpacklo_epi16(rgHi, baHi), _mm_unpackhi_epi16(rgHi, baHi)};
    uint8_t* o = out + channels * x;
    if constexpr (channels == 4) {
      for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * i), words[i]);
    } else {
      for (int i = 0; i < 4; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(packed + 16 * i), words[i]);
      for (int i = 0; i < 15; ++i) std::memcpy(o + 3 * i, packed + 4 * i, 4);
      std::memcpy(o + 45, packed + 60, 3);
    }
  }
#endif
  for (; x < width; ++x) {
    uint8_t* o = out + channels * x;
    const int l = kTables.luma[y[x]];
    o[0] = toByte(l + kTables.redFromV[v[x]]);
    o[1] = toByte(l - kTables.greenFromU[u[x]] - kTables.greenFromV[v[x]]);
    o[2] = toByte(l + kTables.blueFromU[u[x]]);
    if constexpr (channels == 4) o[3] = alpha[x];
  }
}

// Converts bands as they arrive. The last row of a band (odd) needs the
// next band's first chroma row, so it waits in a copy; the band's last
// chroma row is kept for the next band's first row.
class RgbaSink : public RowSink {
 public:
  RgbaSink(Image& img, const Bytes* alpha)
      : img_(img), alpha_(alpha), channels_(static_cast<size_t>(img.channels)),
        width_(static_cast<int>(img.width)),
        height_(static_cast<int>(img.height)) {
    const auto w = static_cast<size_t>(width_);
    const size_t cw = (w + 1) / 2;
    pendingY_.resize(w);
    rowU_.resize(w + 16);  // the vector path stores up to 15 bytes past a row
    rowV_.resize(w + 16);
    savedU_.resize(cw);
    savedV_.resize(cw);
  }

  void rows(int yFirst, int yEnd, const uint8_t* y, ptrdiff_t yStride, const uint8_t* u,
            const uint8_t* v, ptrdiff_t uvStride) override {
    const int chromaFirst = yFirst / 2;
    const int chromaEnd = (yEnd + 1) / 2;
    auto chromaU = [&](int k) { return k < chromaFirst ? savedU_.data() : u + (k - chromaFirst) * uvStride; };
    auto chromaV = [&](int k) { return k < chromaFirst ? savedV_.data() : v + (k - chromaFirst) * uvStride; };
    auto emit = [&](int r, const uint8_t* luma) {
      const int near = r >> 1;
      int far = (r & 1) ? near + 1 : near - 1;
      if (far < 0 || far >= chromaEnd) far = near;
      const size_t at = img_.pixels.size();
      img_.pixels.resize(at + channels_ * static_cast<size_t>(width_));
      uint8_t* out = img_.pixels.data() + at;
      upsampleRow(chromaU(near), chromaU(far), width_, rowU_.data());
      upsampleRow(chromaV(near), chromaV(far), width_, rowV_.data());
      if (alpha_ == nullptr) {
        convertPixels<3>(luma, rowU_.data(), rowV_.data(), nullptr, width_, out);
      } else {
        const uint8_t* a = alpha_->data() + static_cast<size_t>(r) * static_cast<size_t>(width_);
        convertPixels<4>(luma, rowU_.data(), rowV_.data(), a, width_, out);
      }
    };
    if (pending_) emit(yFirst - 1, pendingY_.data());
    pending_ = false;
    const bool last = yEnd == height_;
    for (int r = yFirst; r < yEnd; ++r) {
      const uint8_t* luma = y + (r - yFirst) * yStride;
      if (!last && r == yEnd - 1) {
        std::memcpy(pendingY_.data(), luma, pendingY_.size());
        pending_ = true;
      } else {
        emit(r, luma);
      }
    }
    std::memcpy(savedU_.data(), chromaU(chromaEnd - 1), savedU_.size());
    std::memcpy(savedV_.data(), chromaV(chromaEnd - 1), savedV_.size());
  }

 private:
  Image& img_;
  const Bytes* alpha_;
  size_t channels_;
  int width_;
  int height_;
  bool pending_ = false;
  Bytes pendingY_, savedU_, savedV_;
  Bytes rowU_, rowV_;  // chroma of each pixel of the row being converted
};

}  // namespace

Image decodeToImage(ByteView payload, const Bytes* alpha) {
  FrameHeader header = readFrameHeader(payload);
  Image img;
  img.width = header.width;
  img.height = header.height;
  img.colorspace = alpha ? csRgba : csRgb;
  img.channels = channelsOf(img.colorspace);
  if (alpha && alpha->size() != sampleCount(img.width, img.height, csGray)) {
    fail(ekInvalid, "webp: ALPH and VP8 dimensions differ");
  }
  // Reserved, not touched: rows are appended as the frame is decoded.
  img.pixels.reserve(sampleCount(img.width, img.height, img.colorspace));
  RgbaSink sink(img, alpha);
  decodeFrame(header, sink);
  return img;
}

}  // namespace kd::formats::vp8
