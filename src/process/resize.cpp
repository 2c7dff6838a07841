#include "process/resize.h"

#include <algorithm>
#include <cstring>

#include "base/cpu.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

#include "base/checked.h"
#include "process/output_image.h"

// Results are fixed to the byte: every weight and coordinate is computed in
// 32-bit float with the operations in the order written, and every output
// sample is 0 + s0 * w0 + s1 * w1 + ... over its weight list in list order.
// The fast paths below keep exactly those operations per sample; they only
// change which samples are computed side by side (SSE lanes hold the channels
// of one pixel, or neighbouring samples of one row) and never reorder a sum.
// Zero-weight padding taps are harmless: every product is >= +0, and
// x + (+0) == x for every x >= +0.

namespace kd::process {

using base::fail;
using enum base::ErrorKind;

namespace {

int64_t truncToInt(float v) { return static_cast<int64_t>(v); }

float toFloat(int64_t v) { return static_cast<float>(v); }

}  // namespace

void bilinearList(int64_t n, int64_t m, int64_t i, WeightList& list) {
  list.clear();
  float centre = (toFloat(i) + 0.5f) * toFloat(n) / toFloat(m) - 0.5f;
  centre = std::clamp(centre, 0.0f, toFloat(n - 1));
  int64_t x0 = truncToInt(centre);
  float f = centre - toFloat(x0);
  // Beyond 2^24 samples n - 1 may round up in float, and the clamped centre
  // with it, past the last sample: take the last sample whole.
  if (x0 > n - 1) {
    x0 = n - 1;
    f = 0.0f;
  }
  list.push_back({x0, 1.0f - f});
  int64_t x1 = std::min(n - 1, x0 + 1);
  if (x1 != x0) list.push_back({x1, f});
}

void boxList(int64_t n, int64_t m, int64_t i, WeightList& list) {
  list.clear();
  float start = toFloat(i) * toFloat(n) / toFloat(m);
  float end = (toFloat(i) + 1.0f) * toFloat(n) / toFloat(m);
  float total = 0.0f;
  for (int64_t j = truncToInt(start); toFloat(j) < end && j < n; ++j) {
    if (j < 0) continue;
    float overlap = std::min(end, toFloat(j) + 1.0f) - std::max(start, toFloat(j));
    if (overlap > 0.0f) {
      list.push_back({j, overlap});
      total = total + overlap;
    }
  }
  if (total > 0.0f) {
    for (WeightTap& tap : list) tap.weight = tap.weight / total;
  }
}

namespace {

using ListBuilder = void (*)(int64_t, int64_t, int64_t, WeightList&);

ListBuilder listBuilder(ResizeFilter filter) {
  return filter == rfBox ? boxList : bilinearList;
}

// Horizontal weights of output columns x0..x1-1 with a fixed number of taps
// per column, as byte offsets into a source row.
struct PaddedTaps {
  int64_t taps = 1;
  std::vector<int64_t> offsets;  // (x1 - x0) * taps
  std::vector<float> weights;    // (x1 - x0) * taps
  // One-channel rows: the same taps for groups of four columns, tap-major
  // within a group ([group][tap][column of the group]), the last group
  // filled with zero-weight columns.
  std::vector<int64_t> groupOffsets;
  std::vector<float> groupWeights;
};

PaddedTaps padStrip(ListBuilder build, int64_t n, int64_t m, int64_t x0, int64_t x1,
                    int64_t channels) {
  PaddedTaps padded;
  WeightList list;
  for (int64_t x = x0; x < x1; ++x) {
    build(n, m, x, list);
    padded.taps = std::max<int64_t>(padded.taps, static_cast<int64_t>(list.size()));
  }
  const size_t total = static_cast<size_t>((x1 - x0) * padded.taps);
  padded.offsets.reserve(total);
  padded.weights.reserve(total);
  for (int64_t x = x0; x < x1; ++x) {
    build(n, m, x, list);
    int64_t last = 0;
    for (const WeightTap& tap : list) {
      padded.offsets.push_back(tap.index * channels);
      padded.weights.push_back(tap.weight);
      last = tap.index;
    }
    for (size_t k = list.size(); k < static_cast<size_t>(padded.taps); ++k) {
      padded.offsets.push_back(std::min(last, n - 1) * channels);
      padded.weights.push_back(0.0f);
    }
  }
  if (channels == 1) {
    const int64_t columns = x1 - x0;
    const int64_t groups = (columns + 3) / 4;
    const size_t groupTotal = static_cast<size_t>(groups * 4 * padded.taps);
    padded.groupOffsets.assign(groupTotal, 0);
    padded.groupWeights.assign(groupTotal, 0.0f);
    for (int64_t x = 0; x < columns; ++x) {
      for (int64_t k = 0; k < padded.taps; ++k) {
        size_t from = static_cast<size_t>(x * padded.taps + k);
        size_t to = static_cast<size_t>((x / 4 * padded.taps + k) * 4 + x % 4);
        padded.groupOffsets[to] = padded.offsets[from];
        padded.groupWeights[to] = padded.weights[from];
      }
    }
  }
  return padded;
}

// One source row (bytes) into one intermediate row (floats) of m output
// columns. C channels; T taps per column (0: taps.taps, known at run time).
// For C == 3 each pixel is read as 4 bytes and written as 4 floats: `row`
// must have one readable byte past its last pixel and `out` one writable
// float past its last sample. For C == 1 columns go in groups of four, and
// `out` must have room for the last group whole.
template <int C, int T>
void filterRow(const uint8_t* row, float* out, int64_t m, const PaddedTaps& taps) {
  const int64_t nt = T > 0 ? T : taps.taps;
  const int64_t* off = taps.offsets.data();
  const float* w = taps.weights.data();
#if KD_SSE2
  if constexpr (C == 1) {
    // Lanes are four neighbouring columns, each summing its own taps in order.
    const int64_t* goff = taps.groupOffsets.data();
    const float* gw = taps.groupWeights.data();
    for (int64_t x = 0; x < m; x += 4, goff += 4 * nt, gw += 4 * nt) {
      __m128 acc = _mm_setzero_ps();
      for (int64_t k = 0; k < nt; ++k) {
        const int64_t* o = goff + 4 * k;
        __m128i v = _mm_setr_epi32(row[o[0]], row[o[1]], row[o[2]], row[o[3]]);
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_cvtepi32_ps(v), _mm_loadu_ps(gw + 4 * k)));
      }
      _mm_storeu_ps(out + x, acc);
    }
    return;
  }
  if constexpr (C == 3 || C == 4) {
    const __m128i zero = _mm_setzero_si128();
    for (int64_t x = 0; x < m; ++x, off += nt, w += nt) {
      __m128 acc = _mm_setzero_ps();
      for (int64_t k = 0; k < nt; ++k) {
        int32_t bytes;
        std::memcpy(&bytes, row + off[k], 4);
        __m128i v = _mm_cvtsi32_si128(bytes);
        v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_cvtepi32_ps(v), _mm_set1_ps(w[k])));
      }
      _mm_storeu_ps(out + x * C, acc);
    }
    return;
  }
#endif
  for (int64_t x = 0; x < m; ++x, off += nt, w += nt) {
    float acc[C] = {};
    for (int64_t k = 0; k < nt; ++k) {
      const uint8_t* p = row + off[k];
      for (int c = 0; c < C; ++c) acc[c] = acc[c] + static_cast<float>(p[c]) * w[k];
    }
    for (int c = 0; c < C; ++c) out[x * C + c] = acc[c];
  }
}

using RowFilter = void (*)(const uint8_t*, float*, int64_t, const PaddedTaps&);

template <int C>
RowFilter pickRowFilter(int64_t taps) {
  switch (taps) {
    case 1: return filterRow<C, 1>;
    case 2: return filterRow<C, 2>;
    case 3: return filterRow<C, 3>;
    case 4: return filterRow<C, 4>;
    case 5: return filterRow<C, 5>;
    default: return filterRow<C, 0>;
  }
}

RowFilter pickRowFilter(int64_t channels, int64_t taps) {
  switch (channels) {
    case 1: return pickRowFilter<1>(taps);
    case 3: return pickRowFilter<3>(taps);
    default: return pickRowFilter<4>(taps);
  }
}

// Byte of a filtered value: <= 0 gives 0, >= 255 gives 255, others
// trunc(value + 0.5). Clamping first is the same: trunc(0.5) == 0 and
// trunc(255.5) == 255.
inline uint8_t toByte(float v) {
  v = v <= 0.0f ? 0.0f : v;
  v = v >= 255.0f ? 255.0f : v;
  return static_cast<uint8_t>(static_cast<int32_t>(v + 0.5f));
}

// out[e] = byte(0 + rows[0][e] * w[0] + rows[1][e] * w[1] + ...) for e < len.
void filterColumn(const float* const* rows, const float* w, int64_t taps, uint8_t* out,
                  int64_t len) {
  int64_t e = 0;
#if KD_SSE2
  const __m128 lo = _mm_setzero_ps();
  const __m128 hi = _mm_set1_ps(255.0f);
  const __m128 half = _mm_set1_ps(0.5f);
  for (; e + 16 <= len; e += 16) {
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (int64_t k = 0; k < taps; ++k) {
      const float* r = rows[k] + e;
      const __m128 wk = _mm_set1_ps(w[k]);
      a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_loadu_ps(r), wk));
      a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_loadu_ps(r + 4), wk));
      a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_loadu_ps(r + 8), wk));
      a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_loadu_ps(r + 12), wk));
    }
    auto round = [&](__m128 a) {
      return _mm_cvttps_epi32(_mm_add_ps(_mm_min_ps(_mm_max_ps(a, lo), hi), half));
    };
    __m128i p01 = _mm_packs_epi32(round(a0), round(a1));
    __m128i p23 = _mm_packs_epi32(round(a2), round(a3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + e), _mm_packus_epi16(p01, p23));
  }
#endif
  for (; e < len; ++e) {
    float acc = 0.0f;
    for (int64_t k = 0; k < taps; ++k) acc = acc + rows[k][e] * w[k];
    out[e] = toByte(acc);
  }
}

// The nearest source coordinate of output coordinate i: trunc((i + 0.5) * n / m),
// at most n - 1.
int64_t nearestIndex(int64_t i, int64_t n, int64_t m) {
  float pos = (toFloat(i) + 0.5f) * toFloat(n) / toFloat(m);
  return std::min(n - 1, truncToInt(pos));
}

template <int C>
void copyPixels(const uint8_t* row, const int64_t* offsets, uint8_t* out, int64_t m) {
  for (int64_t x = 0; x < m; ++x) std::memcpy(out + x * C, row + offsets[x], C);
}

// Output columns are handled in strips of this many, so that the per-column
// tables and the intermediate rows stay small however wide the output is;
// output columns do not depend on each other.
constexpr int64_t kStripColumns = 16384;

Image resizeNearest(const Image& src, Image out) {
  const int64_t c = src.channels;
  const int64_t srcStride = src.width * c;
  const int64_t outStride = out.width * c;
  std::vector<int64_t> offsets;
  for (int64_t x0 = 0; x0 < out.width; x0 += kStripColumns) {
    const int64_t x1 = std::min(out.width, x0 + kStripColumns);
    const int64_t stripBytes = (x1 - x0) * c;
    offsets.resize(static_cast<size_t>(x1 - x0));
    for (int64_t x = x0; x < x1; ++x) {
      offsets[static_cast<size_t>(x - x0)] = nearestIndex(x, src.width, out.width) * c;
    }
    int64_t previous = -1;
    for (int64_t y = 0; y < out.height; ++y) {
      int64_t sy = nearestIndex(y, src.height, out.height);
      uint8_t* dst = out.pixels.data() + y * outStride + x0 * c;
      if (sy == previous) {
        std::memcpy(dst, dst - outStride, static_cast<size_t>(stripBytes));
        continue;
      }
      previous = sy;
      const uint8_t* row = src.pixels.data() + sy * srcStride;
      switch (c) {
        case 1: copyPixels<1>(row, offsets.data(), dst, x1 - x0); break;
        case 3: copyPixels<3>(row, offsets.data(), dst, x1 - x0); break;
        default: copyPixels<4>(row, offsets.data(), dst, x1 - x0); break;
      }
    }
  }
  return out;
}

// A ring of intermediate rows holds at most this many; see resizeSeparable.
constexpr int64_t kMaxRingRows = 4;

// Output columns x0..x1-1 of every output row, each row from the sum of its
// filtered source rows (`filtered` and `sums` hold one strip row each).
void sumRows(const Image& src, Image& out, const uint8_t* lastRow, int64_t x0, int64_t x1,
             WeightList& list, ListBuilder build, RowFilter filterRowFn,
             const PaddedTaps& horizontal, float* filtered, float* sums) {
  const int64_t c = src.channels;
  const int64_t srcStride = src.width * c;
  const int64_t outStride = out.width * c;
  const int64_t len = (x1 - x0) * c;
  for (int64_t y = 0; y < out.height; ++y) {
    build(src.height, out.height, y, list);
    std::fill(sums, sums + len, 0.0f);
    for (const WeightTap& tap : list) {
      const uint8_t* in =
          tap.index == src.height - 1 ? lastRow : src.pixels.data() + tap.index * srcStride;
      filterRowFn(in, filtered, x1 - x0, horizontal);
      const float w = tap.weight;
      for (int64_t e = 0; e < len; ++e) sums[e] = sums[e] + filtered[e] * w;
    }
    uint8_t* dst = out.pixels.data() + y * outStride + x0 * c;
    for (int64_t e = 0; e < len; ++e) dst[e] = toByte(sums[e]);
  }
}

// Two passes over each strip of output columns: source rows through the
// horizontal weights into float rows of the strip's width, then those rows
// through the vertical weights into bytes. Intermediate rows are made when
// an output row first needs them and kept in a ring as long as the window
// of source rows can still reach them. Every weight list is a run of
// consecutive source indices, and the runs of successive output rows only
// move forward, so each needed row is filtered once per strip and rows no
// list reaches are never filtered.
// A box shrinking the height by a factor f reaches about f source rows per
// output row, and a ring of them would hold f rows. Past kMaxRingRows each
// output row instead adds its source rows, filtered one at a time, into one
// row of sums in list order: the same operations in the same order per
// sample. A source row shared by two neighbouring output rows is then
// filtered twice, one row in f.
Image resizeSeparable(const Image& src, Image out, ResizeFilter filter) {
  const int64_t c = src.channels;
  const ListBuilder build = listBuilder(filter);

  WeightList list;
  int64_t ringSize = 1;
  for (int64_t y = 0; y < out.height; ++y) {
    build(src.height, out.height, y, list);
    ringSize = std::max<int64_t>(ringSize, static_cast<int64_t>(list.size()));
  }

  // The last source row with one spare byte for the 4-byte pixel reads.
  const int64_t srcStride = src.width * c;
  std::vector<uint8_t> lastRow(static_cast<size_t>(srcStride + 4), 0);
  std::memcpy(lastRow.data(), src.pixels.data() + (src.height - 1) * srcStride,
              static_cast<size_t>(srcStride));

  const int64_t outStride = out.width * c;
  const int64_t maxStripFloats = std::min(out.width, kStripColumns) * c;
  // Room for the whole 4-float stores of C == 3 and of the last C == 1 group.
  const int64_t ringStride = maxStripFloats + 4;
  const bool summing = ringSize > kMaxRingRows;
  if (summing) ringSize = 2;  // slot 0: one filtered row, slot 1: the sums
  std::vector<float> ring(static_cast<size_t>(ringSize * ringStride));
  std::vector<int64_t> ringRow(static_cast<size_t>(ringSize));
  std::vector<const float*> rows(static_cast<size_t>(ringSize));
  std::vector<float> weights(static_cast<size_t>(ringSize));

  for (int64_t x0 = 0; x0 < out.width; x0 += kStripColumns) {
    const int64_t x1 = std::min(out.width, x0 + kStripColumns);
    const PaddedTaps horizontal = padStrip(build, src.width, out.width, x0, x1, c);
    const RowFilter filterRowFn = pickRowFilter(c, horizontal.taps);
    std::fill(ringRow.begin(), ringRow.end(), -1);
    auto intermediateRow = [&](int64_t sy) -> const float* {
      int64_t slot = sy % ringSize;
      float* row = ring.data() + slot * ringStride;
      if (ringRow[static_cast<size_t>(slot)] != sy) {
        const uint8_t* in = sy == src.height - 1 ? lastRow.data()
                                                  : src.pixels.data() + sy * srcStride;
        filterRowFn(in, row, x1 - x0, horizontal);
        ringRow[static_cast<size_t>(slot)] = sy;
      }
      return row;
    };
    if (summing) {
      sumRows(src, out, lastRow.data(), x0, x1, list, build, filterRowFn, horizontal,
              ring.data(), ring.data() + ringStride);
      continue;
    }
    for (int64_t y = 0; y < out.height; ++y) {
      build(src.height, out.height, y, list);
      for (size_t k = 0; k < list.size(); ++k) {
        rows[k] = intermediateRow(list[k].index);
        weights[k] = list[k].weight;
      }
      filterColumn(rows.data(), weights.data(), static_cast<int64_t>(list.size()),
                   out.pixels.data() + y * outStride + x0 * c, (x1 - x0) * c);
    }
  }
  return out;
}

}  // namespace

WeightTable bilinearWeights(int64_t n, int64_t m) {
  WeightTable table(static_cast<size_t>(m));
  for (int64_t i = 0; i < m; ++i) bilinearList(n, m, i, table[static_cast<size_t>(i)]);
  return table;
}

WeightTable boxWeights(int64_t n, int64_t m) {
  WeightTable table(static_cast<size_t>(m));
  for (int64_t i = 0; i < m; ++i) boxList(n, m, i, table[static_cast<size_t>(i)]);
  return table;
}

WeightTable buildWeights(ResizeFilter filter, int64_t n, int64_t m) {
  switch (filter) {
    case rfBilinear: return bilinearWeights(n, m);
    case rfBox: return boxWeights(n, m);
    default: return {};
  }
}

Image resize(const Image& src, int64_t newWidth, int64_t newHeight, ResizeFilter filter) {
  if (filter != rfNearest && filter != rfBilinear && filter != rfBox) {
    fail(ekInvalid, "resize: bad filter");
  }
  if (newWidth < 1 || newHeight < 1 || src.width < 1 || src.height < 1) {
    fail(ekInvalid, "resize: non-positive dims");
  }
  int64_t intermediate = 0;
  int64_t output = 0;
  if (!base::checkedMul(newWidth, src.height, intermediate) || intermediate > kMaxResizePixels ||
      !base::checkedMul(newWidth, newHeight, output) || output > kMaxResizePixels) {
    fail(ekInvalid, "resize: dimensions too large");
  }
  if (!formats::isWellFormed(src)) fail(ekInvalid, "resize: malformed source image");
  Image out = newOutputImage(newWidth, newHeight, src.colorspace);
  if (filter == rfNearest) return resizeNearest(src, std::move(out));
  return resizeSeparable(src, std::move(out), filter);
}

}  // namespace kd::process
