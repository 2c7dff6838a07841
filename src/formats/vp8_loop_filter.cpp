// The loop filters of VP8 (RFC 6386, section 15), applied in place to each
// macroblock in raster order after the whole frame row is reconstructed.
// Along an edge, p3 p2 p1 p0 | q0 q1 q2 q3 are the pixels across it; the
// arithmetic is the RFC's signed form shifted to unsigned pixels: every
// filter value is clamped to the signed byte range before it is applied
// and every result to 0..255.

#include <cstdlib>

#include "formats/vp8.h"
#include "formats/vp8_loop_filter_sse2.h"

namespace kd::formats::vp8 {
namespace {

inline int clampSigned(int v) { return v < -128 ? -128 : v > 127 ? 127 : v; }
inline uint8_t clampPixel(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The pixels across an edge at `p`, `step` apart.
struct Edge {
  uint8_t* p;
  ptrdiff_t step;
  uint8_t& at(int i) const { return p[i * step]; }
};

// 2 * |p0 - q0| + |p1 - q1| / 2 within the edge limit `limit`.
inline bool edgeQuiet(const Edge& e, int limit) {
  return 4 * std::abs(e.at(-1) - e.at(0)) + std::abs(e.at(-2) - e.at(1)) <= 2 * limit + 1;
}

inline bool interiorQuiet(const Edge& e, int interior) {
  const int p3 = e.at(-4), p2 = e.at(-3), p1 = e.at(-2), p0 = e.at(-1);
  const int q0 = e.at(0), q1 = e.at(1), q2 = e.at(2), q3 = e.at(3);
  return std::abs(p3 - p2) <= interior && std::abs(p2 - p1) <= interior &&
         std::abs(p1 - p0) <= interior && std::abs(q3 - q2) <= interior &&
         std::abs(q2 - q1) <= interior && std::abs(q1 - q0) <= interior;
}

// High edge variance: the pixels next to the edge differ a lot from their
// neighbours.
inline bool highVariance(const Edge& e, int threshold) {
  return std::abs(e.at(-2) - e.at(-1)) > threshold || std::abs(e.at(1) - e.at(0)) > threshold;
}

// Adjusts p0 and q0 only; with outer taps, p1 - q1 enters the filter value.
inline int adjustCentre(const Edge& e, bool outerTaps) {
  const int p1 = e.at(-2), p0 = e.at(-1), q0 = e.at(0), q1 = e.at(1);
  int a = 3 * (q0 - p0);
  if (outerTaps) a += clampSigned(p1 - q1);
  a = clampSigned(a);
  const int forQ = clampSigned(a + 4) >> 3;
  const int forP = clampSigned(a + 3) >> 3;
  e.at(-1) = clampPixel(p0 + forP);
  e.at(0) = clampPixel(q0 - forQ);
  return forQ;
}

// Sub-block edges without high variance also move p1 and q1 by half.
inline void filterInner(const Edge& e) {
  const int p1 = e.at(-2), q1 = e.at(1);
  const int a = (adjustCentre(e, false) + 1) >> 1;
  e.at(-2) = clampPixel(p1 + a);
  e.at(1) = clampPixel(q1 - a);
}

// Macroblock edges without high variance spread the correction over three
// pixels on each side with weights 27, 18 and 9 (out of 128).
inline void filterMacroblockEdge(const Edge& e) {
  const int p2 = e.at(-3), p1 = e.at(-2), p0 = e.at(-1);
  const int q0 = e.at(0), q1 = e.at(1), q2 = e.at(2);
  const int w = clampSigned(clampSigned(p1 - q1) + 3 * (q0 - p0));
  const int a0 = clampSigned((27 * w + 63) >> 7);
  const int a1 = clampSigned((18 * w + 63) >> 7);
  const int a2 = clampSigned((9 * w + 63) >> 7);
  e.at(-3) = clampPixel(p2 + a2);
  e.at(-2) = clampPixel(p1 + a1);
  e.at(-1) = clampPixel(p0 + a0);
  e.at(0) = clampPixel(q0 - a0);
  e.at(1) = clampPixel(q1 - a1);
  e.at(2) = clampPixel(q2 - a2);
}

// `count` edge positions starting at p, `along` apart, filtered across
// `step`. The simple filter adjusts p0 and q0 only.
void simpleEdge(uint8_t* p, ptrdiff_t step, ptrdiff_t along, int count, int limit) {
#if KD_SSE2
  const sse2::EdgeParams params{limit, 0, 0, sse2::kSimpleEdge};
  if (step == 1) return sse2::filterColumnEdge(p, along, count, params);
  return sse2::filterRowEdge(p, step, count, params);
#endif
  for (int i = 0; i < count; ++i, p += along) {
    const Edge e{p, step};
    if (edgeQuiet(e, limit)) adjustCentre(e, true);
  }
}

void normalEdge(uint8_t* p, ptrdiff_t step, ptrdiff_t along, int count, int limit, int interior,
                int hevThreshold, bool macroblockEdge) {
#if KD_SSE2
  const sse2::EdgeParams params{limit, interior, hevThreshold,
                                macroblockEdge ? sse2::kMacroblockEdge : sse2::kSubblockEdge};
  if (step == 1) return sse2::filterColumnEdge(p, along, count, params);
  return sse2::filterRowEdge(p, step, count, params);
#endif
  for (int i = 0; i < count; ++i, p += along) {
    const Edge e{p, step};
    if (!edgeQuiet(e, limit) || !interiorQuiet(e, interior)) continue;
    if (highVariance(e, hevThreshold)) {
      adjustCentre(e, true);
    } else if (macroblockEdge) {
      filterMacroblockEdge(e);
    } else {
      filterInner(e);
    }
  }
}

// One plane of a macroblock (size 16 or 8) with the normal filter; inner
// edges lie every 4 pixels (chroma has one).
void normalPlane(uint8_t* p, ptrdiff_t stride, int size, const FilterStrength& s, bool inner,
                 bool hasLeft, bool hasTop, bool verticalEdges) {
  const int edge = s.limit + 4;
  if (verticalEdges) {
    if (hasLeft) normalEdge(p, 1, stride, size, edge, s.interior, s.hevThreshold, true);
    if (inner) {
      for (int x = 4; x < size; x += 4) {
        normalEdge(p + x, 1, stride, size, s.limit, s.interior, s.hevThreshold, false);
      }
    }
  } else {
    if (hasTop) normalEdge(p, stride, 1, size, edge, s.interior, s.hevThreshold, true);
    if (inner) {
      for (int y = 4; y < size; y += 4) {
        normalEdge(p + y * stride, stride, 1, size, s.limit, s.interior, s.hevThreshold, false);
      }
    }
  }
}

}  // namespace

void filterMacroblock(const MacroblockFilter& f, int filterType, uint8_t* y, ptrdiff_t yStride,
                      uint8_t* u, uint8_t* v, ptrdiff_t uvStride, bool hasLeft, bool hasTop) {
  const FilterStrength& s = f.strength;
  if (s.limit == 0) return;
  if (filterType == 1) {
    if (hasLeft) simpleEdge(y, 1, yStride, 16, s.limit + 4);
    if (f.inner) {
      for (int x = 4; x < 16; x += 4) simpleEdge(y + x, 1, yStride, 16, s.limit);
    }
    if (hasTop) simpleEdge(y, yStride, 1, 16, s.limit + 4);
    if (f.inner) {
      for (int r = 4; r < 16; r += 4) simpleEdge(y + r * yStride, yStride, 1, 16, s.limit);
    }
    return;
  }
  for (const bool vertical : {true, false}) {
    normalPlane(y, yStride, 16, s, f.inner, hasLeft, hasTop, vertical);
    normalPlane(u, uvStride, 8, s, f.inner, hasLeft, hasTop, vertical);
    normalPlane(v, uvStride, 8, s, f.inner, hasLeft, hasTop, vertical);
  }
}

}  // namespace kd::formats::vp8
