// VP8 key-frame decoding (RFC 6386), the lossy payload of WebP. The pieces
// are declared here so that each file keeps one job: the frame header
// (vp8_header.cpp), intra prediction (vp8_predict.cpp), the inverse
// transforms (vp8_transform.cpp), the loop filters (vp8_loop_filter.cpp),
// macroblock decoding and the row pipeline (vp8_decoder.cpp) and the
// conversion to RGBA (vp8_yuv_to_rgb.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/image.h"
#include "formats/vp8_bool_decoder.h"

namespace kd::formats::vp8 {

// Luma modes of a whole macroblock, and chroma modes (the first four).
enum MacroblockMode : uint8_t { kDcPred, kVPred, kHPred, kTmPred, kBPred };
// Sub-block modes, in the order of the RFC's tables.
enum SubblockMode : uint8_t {
  kBDc, kBTm, kBVe, kBHe, kBLd, kBRd, kBVr, kBVl, kBHd, kBHu, kSubblockModes
};

// Dequantisation steps of one segment: [0] for DC, [1] for AC.
struct SegmentQuant {
  int y1[2] = {};
  int y2[2] = {};
  int uv[2] = {};
};

// Loop-filter settings of one segment and prediction kind; limit 0 means the
// macroblock is not filtered. `limit` is the sub-block edge limit, that of
// macroblock edges is 4 more.
struct FilterStrength {
  uint8_t limit = 0;
  uint8_t interior = 0;
  uint8_t hevThreshold = 0;
};

// Token probabilities [plane type][band][context][tree node].
using CoefficientProbs = std::array<std::array<std::array<std::array<uint8_t, 11>, 3>, 8>, 4>;

inline constexpr int kMaxPartitions = 8;

struct FrameHeader {
  int width = 0;
  int height = 0;
  int mbWidth = 0;
  int mbHeight = 0;
  bool segmentMapUpdated = false;
  uint8_t segmentProbs[3] = {255, 255, 255};
  int filterType = 0;  // 0 none, 1 simple, 2 normal
  FilterStrength filters[4][2];  // [segment][sub-block prediction]
  SegmentQuant quant[4];
  CoefficientProbs coefficientProbs{};
  bool skipEnabled = false;
  int skipProb = 0;
  BoolDecoder modes;  // the first partition, past the frame header
  int partitionCount = 1;
  BoolDecoder partitions[kMaxPartitions];
};

// Parses the frame tag, the key-frame start code and dimensions, and the
// frame header in the first partition, and sets up the token partitions.
// `payload` is the whole "VP8 " chunk payload (untrusted). Fails with a
// typed "webp: " error for anything libwebp would refuse at this stage.
FrameHeader readFrameHeader(ByteView payload);

// ---- Prediction --------------------------------------------------------
// All predictors write into a buffer whose row above and column to the left
// (including the corner) already hold the neighbours, as the decoder's work
// area arranges.
void predictLuma(int mode, uint8_t* dst, ptrdiff_t stride, bool hasTop, bool hasLeft);
void predictChroma(int mode, uint8_t* dst, ptrdiff_t stride, bool hasTop, bool hasLeft);
// A 4x4 sub-block; the row above holds eight pixels (four to the right).
void predictSubblock(int mode, uint8_t* dst, ptrdiff_t stride);

// ---- Inverse transforms --------------------------------------------------
// The inverse Walsh-Hadamard transform of the second-order block: writes the
// DC of the sixteen luma blocks, coefficient 0 of each 16-entry block.
void inverseWalshHadamard(const int16_t in[16], int16_t* blocks);
// Adds the inverse DCT of `in` (raster order) to the 4x4 pixels at dst.
void addInverseDct(const int16_t in[16], uint8_t* dst, ptrdiff_t stride);
// The same for a block whose only nonzero coefficient is the DC.
void addInverseDctDc(int dc, uint8_t* dst, ptrdiff_t stride);

// ---- Loop filters ---------------------------------------------------------
// Filters one macroblock in place: its left edge (when hasLeft), inner
// vertical edges (when inner), top edge (when hasTop), inner horizontal
// edges (when inner), in that order. Chroma pointers are null for the
// simple filter, which touches luma only.
struct MacroblockFilter {
  FilterStrength strength;
  bool inner = false;
};
void filterMacroblock(const MacroblockFilter& f, int filterType, uint8_t* y, ptrdiff_t yStride,
                      uint8_t* u, uint8_t* v, ptrdiff_t uvStride, bool hasLeft, bool hasTop);

// ---- Frame decoding ---------------------------------------------------------
// Receives the finished rows of the picture in order, top to bottom, in
// bands: luma rows [yFirst, yEnd) and chroma rows [yFirst / 2,
// (yEnd + 1) / 2), each band starting at an even row. Pointers are at the
// band's first row.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void rows(int yFirst, int yEnd, const uint8_t* y, ptrdiff_t yStride, const uint8_t* u,
                    const uint8_t* v, ptrdiff_t uvStride) = 0;
};

// Decodes the macroblocks of a parsed frame and hands the filtered rows to
// `sink`. Fails with "webp: VP8 data truncated" when a partition runs out.
void decodeFrame(FrameHeader& header, RowSink& sink);

// The decoded planes of a frame, for callers that want YUV 4:2:0.
struct Planes {
  int width = 0;
  int height = 0;
  Bytes y, u, v;  // width x height; (width + 1) / 2 x (height + 1) / 2
};
Planes decodeToPlanes(ByteView payload);

// The frame as RGB or, with `alpha` of width x height bytes, as RGBA with
// that alpha; chroma upsampled as libwebp's default output does.
Image decodeToImage(ByteView payload, const Bytes* alpha);

// The width and height of a "VP8 " payload without decoding it.
void readDimensions(ByteView payload, int& width, int& height);

}  // namespace kd::formats::vp8
