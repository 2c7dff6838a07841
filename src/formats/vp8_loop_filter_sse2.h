// SSE2 forms of the VP8 loop filters: 16 (or 8) positions of one edge at
// once, with the same arithmetic as the plain filters in
// vp8_loop_filter.cpp (saturating signed bytes are exactly the RFC's
// clamps), so the pixels never depend on which path ran.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/cpu.h"

#if KD_SSE2
namespace kd::formats::vp8::sse2 {

// The kinds of edge: the simple filter's, and the normal filter's at
// macroblock and at sub-block boundaries.
enum EdgeKind { kSimpleEdge, kMacroblockEdge, kSubblockEdge };

struct EdgeParams {
  int limit;  // the edge limit of the scalar filters
  int interior;
  int hevThreshold;
  EdgeKind kind;
};

// An edge between rows: p points at q0 of the first of `count` (8 or 16)
// columns; the rows above are at p - stride, p - 2 * stride, ...
void filterRowEdge(uint8_t* p, ptrdiff_t stride, int count, const EdgeParams& e);

// An edge between columns: p points at q0 of the first of `count` rows.
void filterColumnEdge(uint8_t* p, ptrdiff_t stride, int count, const EdgeParams& e);

}  // namespace kd::formats::vp8::sse2
#endif
