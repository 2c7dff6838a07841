#include "process/rotate.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/cpu.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

#include "base/checked.h"
#include "process/output_image.h"

namespace kd::process {

using base::fail;
using enum base::ErrorKind;

namespace {

// The axis-swapping operations move pixels in tiles of kTileColumns output
// columns by kTileRows output rows. Each output row of a tile is one long
// contiguous run, which the memory system streams well, and the tile's
// source block (kTileColumns rows of kTileRows pixels) and destination
// (at most 64 KiB each) stay in the second-level cache while it is filled.
constexpr int64_t kTileColumns = 512;
constexpr int64_t kTileRows = 32;
// Largest scratch band of whole output rows (beyond one row).
constexpr int64_t kBandBytes = int64_t{1} << 20;

void requireWellFormed(const Image& src) {
  if (!formats::isWellFormed(src)) fail(ekInvalid, "rotate: malformed source image");
}

// Operations that swap the axes: the output is H x W and its pixel (u, v)
// is the source pixel (x, y) with x = v, or W - 1 - v when mirrorX, and
// y = u, or H - 1 - u when mirrorY. Quarter turn clockwise: (no, yes);
// counter-clockwise: (yes, no); transpose: (no, no); transverse: (yes, yes).
struct SwapGeometry {
  const uint8_t* src;
  uint8_t* out;
  int64_t srcWidth, srcHeight;
  int64_t srcStride, outStride;  // bytes per row
  int64_t srcSize;                // bytes
  int64_t outRow0;                // output row held at `out`
  bool mirrorX, mirrorY;

  int64_t sourceRow(int64_t u) const { return mirrorY ? srcHeight - 1 - u : u; }
  int64_t sourceColumn(int64_t v) const { return mirrorX ? srcWidth - 1 - v : v; }
};

// Output row v, columns u0..u1-1: one source column read downwards or upwards.
template <int C>
void swapRun(const SwapGeometry& g, int64_t v, int64_t u0, int64_t u1) {
  const int64_t step = g.mirrorY ? -g.srcStride : g.srcStride;
  int64_t from = g.sourceRow(u0) * g.srcStride + g.sourceColumn(v) * C;
  uint8_t* to = g.out + (v - g.outRow0) * g.outStride + u0 * C;
  int64_t u = u0;
  if constexpr (C == 3) {
    // Whole 4-byte words: the extra byte written lands on the next pixel of
    // the run, which is written right after; the extra byte read must lie
    // inside the source. The run's last pixel takes the exact 3 bytes.
    for (; u + 1 < u1; ++u, from += step, to += 3) {
      if (from + 4 <= g.srcSize) {
        uint32_t word;
        std::memcpy(&word, g.src + from, 4);
        std::memcpy(to, &word, 4);
      } else {
        std::memcpy(to, g.src + from, 3);
      }
    }
  }
  for (; u < u1; ++u, from += step, to += C) std::memcpy(to, g.src + from, C);
}

template <int C>
void swapTile(const SwapGeometry& g, int64_t u0, int64_t u1, int64_t v0, int64_t v1) {
  int64_t v = v0;
#if KD_SSE2
  if constexpr (C == 4) {
    // Four output rows at a time: 4 x 4 pixel blocks transposed in registers.
    // Lane k of a loaded block is source column xs + k, which is output row
    // v + k, or v + 3 - k when mirrored.
    const int64_t ystep = g.mirrorY ? -g.srcStride : g.srcStride;
    const int64_t dstep = g.mirrorX ? -g.outStride : g.outStride;
    for (; v + 4 <= v1; v += 4) {
      const int64_t xs = g.mirrorX ? g.srcWidth - 4 - v : v;
      uint8_t* row0 = g.out + ((g.mirrorX ? v + 3 : v) - g.outRow0) * g.outStride;
      int64_t u = u0;
      for (; u + 4 <= u1; u += 4) {
        const uint8_t* p = g.src + g.sourceRow(u) * g.srcStride + xs * 4;
        __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + ystep));
        __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * ystep));
        __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3 * ystep));
        __m128i t0 = _mm_unpacklo_epi32(r0, r1);
        __m128i t1 = _mm_unpacklo_epi32(r2, r3);
        __m128i t2 = _mm_unpackhi_epi32(r0, r1);
        __m128i t3 = _mm_unpackhi_epi32(r2, r3);
        uint8_t* d = row0 + u * 4;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi64(t0, t1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + dstep), _mm_unpackhi_epi64(t0, t1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * dstep), _mm_unpacklo_epi64(t2, t3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 3 * dstep), _mm_unpackhi_epi64(t2, t3));
      }
      for (int64_t k = 0; k < 4 && u < u1; ++k) swapRun<4>(g, v + k, u, u1);
    }
  }
  if constexpr (C == 1) {
    // Eight output rows at a time: 8 x 8 byte blocks transposed in registers
    // by three rounds of interleaving. Lane k of a loaded row is source
    // column xs + k, which is output row v + k, or v + 7 - k when mirrored.
    const int64_t ystep = g.mirrorY ? -g.srcStride : g.srcStride;
    const int64_t dstep = g.mirrorX ? -g.outStride : g.outStride;
    for (; v + 8 <= v1; v += 8) {
      const int64_t xs = g.mirrorX ? g.srcWidth - 8 - v : v;
      uint8_t* row0 = g.out + ((g.mirrorX ? v + 7 : v) - g.outRow0) * g.outStride;
      int64_t u = u0;
      for (; u + 8 <= u1; u += 8) {
        const uint8_t* p = g.src + g.sourceRow(u) * g.srcStride + xs;
        __m128i r[8];
        for (int k = 0; k < 8; ++k) {
          r[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + k * ystep));
        }
        // Byte pairs, then groups of four, then eight: q[j] holds output
        // rows 2j and 2j + 1 (in lane order) as its low and high halves.
        __m128i t0 = _mm_unpacklo_epi8(r[0], r[1]), t1 = _mm_unpacklo_epi8(r[2], r[3]);
        __m128i t2 = _mm_unpacklo_epi8(r[4], r[5]), t3 = _mm_unpacklo_epi8(r[6], r[7]);
        __m128i s0 = _mm_unpacklo_epi16(t0, t1), s1 = _mm_unpackhi_epi16(t0, t1);
        __m128i s2 = _mm_unpacklo_epi16(t2, t3), s3 = _mm_unpackhi_epi16(t2, t3);
        const __m128i q[4] = {_mm_unpacklo_epi32(s0, s2), _mm_unpackhi_epi32(s0, s2),
                              _mm_unpacklo_epi32(s1, s3), _mm_unpackhi_epi32(s1, s3)};
        uint8_t* d = row0 + u;
        for (int j = 0; j < 4; ++j) {
          _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 2 * j * dstep), q[j]);
          _mm_storel_epi64(reinterpret_cast<__m128i*>(d + (2 * j + 1) * dstep),
                           _mm_unpackhi_epi64(q[j], q[j]));
        }
      }
      for (int64_t k = 0; k < 8 && u < u1; ++k) swapRun<1>(g, v + k, u, u1);
    }
  }
#endif
  for (; v < v1; ++v) swapRun<C>(g, v, u0, u1);
}

// Asks for the source block of the tile (u0..u1, v0..v1) ahead of its turn:
// the block's rows lie far apart, beyond what the hardware prefetchers
// follow, so without this each row's first read waits for memory.
template <int C>
void prefetchTile(const SwapGeometry& g, int64_t u0, int64_t u1, int64_t v0, int64_t v1) {
  const int64_t first = g.sourceColumn(g.mirrorX ? v1 - 1 : v0) * C;
  const int64_t bytes = (v1 - v0) * C;
  for (int64_t u = u0; u < u1; ++u) {
    const uint8_t* row = g.src + g.sourceRow(u) * g.srcStride + first;
    for (int64_t b = 0; b < bytes; b += 64) __builtin_prefetch(row + b);
    __builtin_prefetch(row + bytes - 1);
  }
}

// Bands of kTileRows output rows are assembled in a scratch buffer, tile by
// tile, and appended to the output whole, so the output is written once and
// in order. A band is cut to fewer rows when output rows are very long.
template <int C>
void swapAxes(const Image& src, Image& out, bool mirrorX, bool mirrorY) {
  const int64_t outStride = out.width * C;
  const int64_t bandRows = std::clamp<int64_t>(kBandBytes / outStride, 1, kTileRows);
  std::vector<uint8_t> band(static_cast<size_t>(bandRows * outStride));
  SwapGeometry g{src.pixels.data(),
                 band.data(),
                 src.width,
                 src.height,
                 src.width * C,
                 outStride,
                 static_cast<int64_t>(src.pixels.size()),
                 0,
                 mirrorX,
                 mirrorY};
  for (int64_t v0 = 0; v0 < out.height; v0 += bandRows) {
    const int64_t v1 = std::min(out.height, v0 + bandRows);
    g.outRow0 = v0;
    for (int64_t u0 = 0; u0 < out.width; u0 += kTileColumns) {
      const int64_t u1 = std::min(out.width, u0 + kTileColumns);
      // The next tile: along this band, or the first of the next band.
      const int64_t nextU0 = u1 < out.width ? u1 : 0;
      const int64_t nextV0 = u1 < out.width ? v0 : v1;
      if (nextV0 < out.height) {
        prefetchTile<C>(g, nextU0, std::min(out.width, nextU0 + kTileColumns), nextV0,
                        std::min(out.height, nextV0 + bandRows));
      }
      swapTile<C>(g, u0, u1, v0, v1);
    }
    out.pixels.insert(out.pixels.end(), band.begin(), band.begin() + (v1 - v0) * outStride);
  }
}

// One row with its pixels in reverse order.
template <int C>
void reverseRow(const uint8_t* from, uint8_t* to, int64_t width) {
  int64_t x = 0;
#if KD_SSE2
  if constexpr (C == 4) {
    for (; x + 4 <= width; x += 4) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + (width - 4 - x) * 4));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x * 4),
                       _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3)));
    }
  }
  if constexpr (C == 1) {
    for (; x + 16 <= width; x += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + width - 16 - x));
      v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));   // 4-byte groups
      v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));  // 2-byte pairs
      v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
      v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));  // bytes
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), v);
    }
  }
#endif
  if constexpr (C == 3) {
    // Whole 4-byte words for all but the first and last output pixels: the
    // first reads the row's last source pixel, where a fourth byte could lie
    // past the image; the last has no next pixel to absorb the extra byte.
    if (width > 2) {
      std::memcpy(to, from + (width - 1) * 3, 3);
      for (x = 1; x + 1 < width; ++x) {
        uint32_t word;
        std::memcpy(&word, from + (width - 1 - x) * 3, 4);
        std::memcpy(to + x * 3, &word, 4);
      }
    }
  }
  for (; x < width; ++x) std::memcpy(to + x * C, from + (width - 1 - x) * C, C);
}

// Operations that keep the axes: output row y is source row y, or H - 1 - y
// when mirrorY, with its pixels reversed when mirrorX. Rows are appended to
// the output in order.
template <int C>
void keepAxes(const Image& src, Image& out, bool mirrorX, bool mirrorY) {
  if (!mirrorX && !mirrorY) {
    out.pixels.insert(out.pixels.end(), src.pixels.begin(), src.pixels.end());
    return;
  }
  const int64_t stride = src.width * C;
  std::vector<uint8_t> reversed(mirrorX ? static_cast<size_t>(stride) : 0);
  for (int64_t y = 0; y < src.height; ++y) {
    const uint8_t* from = src.pixels.data() + (mirrorY ? src.height - 1 - y : y) * stride;
    if (mirrorX) {
      reverseRow<C>(from, reversed.data(), src.width);
      from = reversed.data();
    }
    out.pixels.insert(out.pixels.end(), from, from + stride);
  }
}

Image transform(const Image& src, bool swap, bool mirrorX, bool mirrorY) {
  requireWellFormed(src);
  Image out = swap ? reserveOutputImage(src.height, src.width, src.colorspace)
                   : reserveOutputImage(src.width, src.height, src.colorspace);
  switch (src.channels) {
    case 1:
      swap ? swapAxes<1>(src, out, mirrorX, mirrorY) : keepAxes<1>(src, out, mirrorX, mirrorY);
      break;
    case 3:
      swap ? swapAxes<3>(src, out, mirrorX, mirrorY) : keepAxes<3>(src, out, mirrorX, mirrorY);
      break;
    default:
      swap ? swapAxes<4>(src, out, mirrorX, mirrorY) : keepAxes<4>(src, out, mirrorX, mirrorY);
      break;
  }
  return out;
}

}  // namespace

Image rotate(const Image& src, RotateOp op) {
  switch (op) {
    case roRotate90: return transform(src, true, false, true);
    case roRotate180: return transform(src, false, true, true);
    case roRotate270: return transform(src, true, true, false);
    case roFlipHorizontal: return transform(src, false, true, false);
    case roFlipVertical: return transform(src, false, false, true);
  }
  fail(ekInvalid, "rotate: bad operation");
}

// Orientations 5 and 7 are two steps (a left-right mirror, then a quarter
// turn counter-clockwise or clockwise); they are done here in one pass as
// the transpose and the transverse, which give the same pixels.
Image applyExifOrientation(const Image& src, int64_t orientation) {
  switch (orientation) {
    case 1: return transform(src, false, false, false);
    case 2: return rotate(src, roFlipHorizontal);
    case 3: return rotate(src, roRotate180);
    case 4: return rotate(src, roFlipVertical);
    case 5: return transform(src, true, false, false);
    case 6: return rotate(src, roRotate90);
    case 7: return transform(src, true, true, true);
    case 8: return rotate(src, roRotate270);
    default: fail(ekInvalid, "EXIF orientation must be between 1 and 8");
  }
}

}  // namespace kd::process
