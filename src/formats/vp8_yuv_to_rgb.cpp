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

#include "formats/vp8.h"

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

inline void storePixel(uint8_t* out, int y, int u, int v) {
  const int l = kTables.luma[y];
  out[0] = toByte(l + kTables.redFromV[v]);
  out[1] = toByte(l - kTables.greenFromU[u] - kTables.greenFromV[v]);
  out[2] = toByte(l + kTables.blueFromU[u]);
}

// One output row of `channels` (3 or 4) samples a pixel from its luma row
// and the nearest (`nu`, `nv`) and the other (`fu`, `fv`) chroma rows.
template <int channels>
void convertRow(const uint8_t* y, const uint8_t* nu, const uint8_t* nv, const uint8_t* fu,
                const uint8_t* fv, int width, const uint8_t* alpha, uint8_t* out) {
  storePixel(out, y[0], blendVertical(nu[0], fu[0]), blendVertical(nv[0], fv[0]));
  const int pairs = (width - 1) >> 1;
  for (int j = 0; j < pairs; ++j) {
    // Pixels 2j + 1 (nearest sample j) and 2j + 2 (nearest j + 1).
    const int u0 = nu[j], u1 = nu[j + 1], fu0 = fu[j], fu1 = fu[j + 1];
    const int v0 = nv[j], v1 = nv[j + 1], fv0 = fv[j], fv1 = fv[j + 1];
    storePixel(out + channels * (2 * j + 1), y[2 * j + 1], blend(u0, u1, fu0, fu1), blend(v0, v1, fv0, fv1));
    storePixel(out + channels * (2 * j + 2), y[2 * j + 2], blend(u1, u0, fu1, fu0), blend(v1, v0, fv1, fv0));
  }
  if ((width & 1) == 0) {
    const int j = (width >> 1) - 1;
    storePixel(out + channels * (width - 1), y[width - 1], blendVertical(nu[j], fu[j]),
               blendVertical(nv[j], fv[j]));
  }
  if constexpr (channels == 4) {
    for (int x = 0; x < width; ++x) out[4 * x + 3] = alpha[x];
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
      if (alpha_ == nullptr) {
        convertRow<3>(luma, chromaU(near), chromaV(near), chromaU(far), chromaV(far), width_,
                      nullptr, out);
      } else {
        const uint8_t* a = alpha_->data() + static_cast<size_t>(r) * static_cast<size_t>(width_);
        convertRow<4>(luma, chromaU(near), chromaV(near), chromaU(far), chromaV(far), width_, a,
                      out);
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
