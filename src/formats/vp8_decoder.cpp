// Macroblock decoding of VP8 key frames (RFC 6386, sections 11, 13 and 14)
// and the row pipeline. Each macroblock's modes come from the first
// partition and its coefficients from the token partition of its row; it is
// predicted and reconstructed in a small work area whose border holds the
// unfiltered neighbours, then copied into a cache of rows. Once a row of
// macroblocks is complete it is loop-filtered, and the rows no later
// filtering can change go to the sink: the cache keeps the last 8 luma (4
// chroma) rows back, since filtering the next row's top edges rewrites up to
// three of them. Memory is a few rows of the picture, whatever its height.

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/vp8.h"
#include "formats/vp8_tables.h"

namespace kd::formats::vp8 {
namespace {

constexpr uint8_t kZigzag[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};
// Band of each coefficient position; position 16 is a sentinel.
constexpr uint8_t kBands[17] = {0, 1, 2, 3, 6, 4, 5, 6, 6, 6, 6, 6, 6, 6, 6, 7, 0};
// Extra-bit probabilities of the token categories 3 to 6 (zero-terminated).
constexpr uint8_t kCategoryProbs[4][12] = {
    {173, 148, 140, 0},
    {176, 155, 140, 135, 0},
    {180, 157, 141, 134, 130, 0},
    {254, 254, 243, 230, 196, 177, 153, 140, 133, 130, 129, 0}};
// The sub-block mode tree of the RFC: positive entries index the tree,
// others are negated modes; the probability of entry i is i / 2.
constexpr int8_t kSubblockModeTree[18] = {-kBDc, 2,     -kBTm, 4,     -kBVe, 6,    8,     12,   -kBHe,
                                          10,    -kBRd, -kBVr, -kBLd, 14,    -kBVl, 16,   -kBHd, -kBHu};
// The sub-block mode a whole-block luma mode stands for as a neighbour.
constexpr uint8_t kImpliedSubblockMode[4] = {kBDc, kBVe, kBHe, kBTm};

enum PlaneType { kLumaAfterDc, kSecondOrder, kChroma, kLumaWithDc };

using ContextProbs = std::array<std::array<uint8_t, 11>, 3>;

// The work area: luma 16x16 and chroma 8x8 with their borders, at a stride
// that leaves room for the corner and four pixels past the right edge.
constexpr ptrdiff_t kWorkStride = 32;
constexpr ptrdiff_t kWorkLuma = kWorkStride + 8;
constexpr ptrdiff_t kWorkU = 18 * kWorkStride + 8;
constexpr ptrdiff_t kWorkV = 28 * kWorkStride + 8;
constexpr size_t kWorkSize = 38 * kWorkStride;

struct MacroblockModes {
  int segment = 0;
  bool skip = false;
  bool subblocks = false;
  int luma = kDcPred;
  int chroma = kDcPred;
  uint8_t subblockModes[16] = {};
};

class FrameDecoder {
 public:
  FrameDecoder(FrameHeader& h, RowSink& sink) : h_(h), sink_(sink) {
    const auto mbw = static_cast<size_t>(h.mbWidth);
    topModes_.assign(4 * mbw, kBDc);
    topNonzero_.assign(mbw, 0);
    topNonzeroDc_.assign(mbw, 0);
    yStride_ = 16 * static_cast<ptrdiff_t>(mbw);
    uvStride_ = 8 * static_cast<ptrdiff_t>(mbw);
    topY_.assign(16 * mbw, 0);
    topU_.assign(8 * mbw, 0);
    topV_.assign(8 * mbw, 0);
    cacheY_.assign(24 * 16 * mbw, 0);
    cacheU_.assign(12 * 8 * mbw, 0);
    cacheV_.assign(12 * 8 * mbw, 0);
    filters_.assign(mbw, MacroblockFilter{});
    for (int type = 0; type < 4; ++type) {
      for (int n = 0; n < 17; ++n) positionProbs_[type][n] = &h.coefficientProbs[type][kBands[n]];
    }
  }

  void run() {
    for (int mbY = 0; mbY < h_.mbHeight; ++mbY) {
      BoolDecoder& tokens = h_.partitions[mbY & (h_.partitionCount - 1)];
      std::fill_n(leftModes_, 4, kBDc);
      leftNonzero_ = 0;
      leftNonzeroDc_ = 0;
      for (int mbX = 0; mbX < h_.mbWidth; ++mbX) decodeMacroblock(tokens, mbX, mbY);
      if (h_.modes.exhausted() || tokens.exhausted()) fail(ekTruncated, "webp: VP8 data truncated");
      finishRow(mbY);
    }
  }

 private:
  MacroblockModes readModes(int mbX) {
    BoolDecoder& d = h_.modes;
    MacroblockModes m;
    if (h_.segmentMapUpdated) {
      m.segment = !d.bit(h_.segmentProbs[0]) ? d.bit(h_.segmentProbs[1])
                                             : 2 + d.bit(h_.segmentProbs[2]);
    }
    if (h_.skipEnabled) m.skip = d.bit(h_.skipProb) != 0;
    uint8_t* above = &topModes_[4 * static_cast<size_t>(mbX)];
    m.subblocks = !d.bit(145);
    if (!m.subblocks) {
      m.luma = d.bit(156) ? (d.bit(128) ? kTmPred : kHPred) : (d.bit(163) ? kVPred : kDcPred);
      std::fill_n(above, 4, kImpliedSubblockMode[m.luma]);
      std::fill_n(leftModes_, 4, kImpliedSubblockMode[m.luma]);
    } else {
      m.luma = kBPred;
      for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
          const uint8_t* probs =
              kKeyFrameSubblockModeProbs + (above[x] * kSubblockModes + leftModes_[y]) * 9;
          int i = 0;
          while ((i = kSubblockModeTree[i + d.bit(probs[i >> 1])]) > 0) {
          }
          const auto mode = static_cast<uint8_t>(-i);
          m.subblockModes[4 * y + x] = mode;
          above[x] = mode;
          leftModes_[y] = mode;
        }
      }
    }
    m.chroma = !d.bit(142) ? kDcPred : !d.bit(114) ? kVPred : d.bit(183) ? kTmPred : kHPred;
    return m;
  }

  // The tokens of one block from position n, dequantised into `out` in
  // raster order. Returns the position after the last token read before the
  // end of block (16 when none), as the contexts of later blocks need.
  static int readBlock(BoolDecoder& d, const ContextProbs* const* probs, int context,
                       const int* steps, int n, int16_t* out) {
    const uint8_t* p = (*probs[n])[context].data();
    for (; n < 16; ++n) {
      if (!d.bit(p[0])) return n;  // end of block
      while (!d.bit(p[1])) {       // a zero: no end of block may follow
        p = (*probs[++n])[0].data();
        if (n == 16) return 16;
      }
      int v;
      const ContextProbs& next = *probs[n + 1];
      if (!d.bit(p[2])) {
        v = 1;
        p = next[1].data();
      } else {
        v = largeValue(d, p);
        p = next[2].data();
      }
      const int sign = d.bit(128);
      // Stored in 16 bits as the RFC's reference does; only hostile
      // streams come near the limit.
      out[kZigzag[n]] = static_cast<int16_t>((sign ? -v : v) * steps[n > 0]);
    }
    return 16;
  }

  // Token values above 1: 2, 3, 4, then the categories with extra bits.
  static int largeValue(BoolDecoder& d, const uint8_t* p) {
    if (!d.bit(p[3])) {
      if (!d.bit(p[4])) return 2;
      return 3 + d.bit(p[5]);
    }
    if (!d.bit(p[6])) {
      if (!d.bit(p[7])) return 5 + d.bit(159);
      const int high = d.bit(165);
      return 7 + 2 * high + d.bit(145);
    }
    const int high = d.bit(p[8]);
    const int low = d.bit(p[9 + high]);
    const int category = 2 * high + low;
    int v = 0;
    for (const uint8_t* prob = kCategoryProbs[category]; *prob; ++prob) v = 2 * v + d.bit(*prob);
    return v + 3 + (8 << category);
  }

  // Block kinds for reconstruction: 0 nothing to add, 1 DC only, 2 full.
  static uint8_t blockKind(int end, const int16_t* block) {
    return end > 1 ? 2 : block[0] != 0 ? 1 : 0;
  }

  // Reads the coefficients of a macroblock into coeffs_ (384 entries: 16
  // luma blocks, then 4 U and 4 V) and kinds_; returns whether any block has
  // something to add. The nonzero contexts are bit sets: luma columns (or
  // rows) in bits 0-3, U in 4-5, V in 6-7.
  bool readResiduals(BoolDecoder& d, const MacroblockModes& m, int mbX) {
    const SegmentQuant& q = h_.quant[m.segment];
    const auto x0 = static_cast<size_t>(mbX);
    int16_t* dst = coeffs_;
    int first = 0;
    const ContextProbs* const* lumaProbs = positionProbs_[kLumaWithDc];
    if (!m.subblocks) {
      int16_t dc[16] = {};
      const int context = topNonzeroDc_[x0] + leftNonzeroDc_;
      const int end = readBlock(d, positionProbs_[kSecondOrder], context, q.y2, 0, dc);
      topNonzeroDc_[x0] = leftNonzeroDc_ = end > 0;
      if (end > 1) {
        inverseWalshHadamard(dc, dst);
      } else {
        const auto value = static_cast<int16_t>((dc[0] + 3) >> 3);
        for (int i = 0; i < 16; ++i) dst[16 * i] = value;
      }
      first = 1;
      lumaProbs = positionProbs_[kLumaAfterDc];
    }
    bool any = false;
    unsigned top = topNonzero_[x0];
    unsigned left = leftNonzero_;
    unsigned newTop = 0;
    unsigned newLeft = 0;
    for (int y = 0; y < 4; ++y) {
      unsigned l = (left >> y) & 1;
      for (int x = 0; x < 4; ++x) {
        const int context = static_cast<int>(l + ((top >> x) & 1));
        const int end = readBlock(d, lumaProbs, context, q.y1, first, dst);
        l = end > first;
        top = (top & ~(1u << x)) | (l << x);
        kinds_[4 * y + x] = blockKind(end, dst);
        any |= kinds_[4 * y + x] != 0;
        dst += 16;
      }
      newLeft |= l << y;
    }
    newTop = top & 0xF;
    for (int plane = 0; plane < 2; ++plane) {
      const int shift = 4 + 2 * plane;
      unsigned t = (topNonzero_[x0] >> shift) & 3;
      for (int y = 0; y < 2; ++y) {
        unsigned l = (left >> (shift + y)) & 1;
        for (int x = 0; x < 2; ++x) {
          const int context = static_cast<int>(l + ((t >> x) & 1));
          const int end = readBlock(d, positionProbs_[kChroma], context, q.uv, 0, dst);
          l = end > 0;
          t = (t & ~(1u << x)) | (l << x);
          const int index = 16 + 4 * plane + 2 * y + x;
          kinds_[index] = blockKind(end, dst);
          any |= kinds_[index] != 0;
          dst += 16;
        }
        newLeft |= l << (shift + y);
      }
      newTop |= t << shift;
    }
    topNonzero_[x0] = static_cast<uint8_t>(newTop);
    leftNonzero_ = static_cast<uint8_t>(newLeft);
    return any;
  }

  static void addBlock(uint8_t kind, const int16_t* block, uint8_t* dst, ptrdiff_t stride) {
    if (kind == 2) addInverseDct(block, dst, stride);
    if (kind == 1) addInverseDctDc(block[0], dst, stride);
  }

  // Fills the border of the work area: the unfiltered row above (127 on
  // the first row, with the four pixels past the right edge), the column to
  // the left (129 on the first column, else the previous macroblock's last
  // column, still in the work area) and the corner.
  void prepareBorders(int mbX, int mbY) {
    struct Plane {
      ptrdiff_t origin;
      int size;
      const std::vector<uint8_t>* top;
    };
    const Plane planes[3] = {{kWorkLuma, 16, &topY_}, {kWorkU, 8, &topU_}, {kWorkV, 8, &topV_}};
    for (const Plane& p : planes) {
      uint8_t* o = work_ + p.origin;
      for (int r = 0; r < p.size; ++r) {
        o[r * kWorkStride - 1] = mbX > 0 ? o[r * kWorkStride + p.size - 1] : 129;
      }
      uint8_t* above = o - kWorkStride;
      const int extra = p.size == 16 ? 4 : 0;
      if (mbY == 0) {
        std::memset(above - 1, 127, static_cast<size_t>(p.size + extra + 1));
        continue;
      }
      const uint8_t* saved = p.top->data() + static_cast<ptrdiff_t>(mbX) * p.size;
      above[-1] = mbX > 0 ? saved[-1] : 129;
      std::memcpy(above, saved, static_cast<size_t>(p.size));
      if (extra) {
        if (mbX + 1 < h_.mbWidth) {
          std::memcpy(above + 16, saved + 16, 4);
        } else {
          std::memset(above + 16, saved[15], 4);
        }
      }
    }
  }

  void reconstruct(const MacroblockModes& m, int mbX, int mbY) {
    prepareBorders(mbX, mbY);
    uint8_t* y = work_ + kWorkLuma;
    if (!m.subblocks) {
      predictLuma(m.luma, y, kWorkStride, mbY > 0, mbX > 0);
      for (int i = 0; i < 16; ++i) {
        addBlock(kinds_[i], coeffs_ + 16 * i, y + (i >> 2) * 4 * kWorkStride + (i & 3) * 4,
                 kWorkStride);
      }
    } else {
      // Sub-blocks on the right edge below the first row see the same four
      // pixels past the edge as the first row does.
      for (int r = 4; r < 16; r += 4) std::memcpy(y + (r - 1) * kWorkStride + 16, y - kWorkStride + 16, 4);
      for (int i = 0; i < 16; ++i) {
        uint8_t* dst = y + (i >> 2) * 4 * kWorkStride + (i & 3) * 4;
        predictSubblock(m.subblockModes[i], dst, kWorkStride);
        addBlock(kinds_[i], coeffs_ + 16 * i, dst, kWorkStride);
      }
    }
    uint8_t* chroma[2] = {work_ + kWorkU, work_ + kWorkV};
    for (int plane = 0; plane < 2; ++plane) {
      uint8_t* c = chroma[plane];
      predictChroma(m.chroma, c, kWorkStride, mbY > 0, mbX > 0);
      for (int i = 0; i < 4; ++i) {
        const int index = 16 + 4 * plane + i;
        addBlock(kinds_[index], coeffs_ + 16 * index, c + (i >> 1) * 4 * kWorkStride + (i & 1) * 4,
                 kWorkStride);
      }
    }
    // Into the cache, below the rows kept back from the previous row.
    for (int r = 0; r < 16; ++r) {
      std::memcpy(&cacheY_[static_cast<size_t>((8 + r) * yStride_ + 16 * mbX)],
                  y + r * kWorkStride, 16);
    }
    for (int r = 0; r < 8; ++r) {
      const auto at = static_cast<size_t>((4 + r) * uvStride_ + 8 * mbX);
      std::memcpy(&cacheU_[at], chroma[0] + r * kWorkStride, 8);
      std::memcpy(&cacheV_[at], chroma[1] + r * kWorkStride, 8);
    }
  }

  void decodeMacroblock(BoolDecoder& tokens, int mbX, int mbY) {
    const MacroblockModes m = readModes(mbX);
    bool any = false;
    if (!m.skip) {
      std::memset(coeffs_, 0, sizeof coeffs_);
      any = readResiduals(tokens, m, mbX);
    } else {
      const auto x0 = static_cast<size_t>(mbX);
      topNonzero_[x0] = 0;
      leftNonzero_ = 0;
      if (!m.subblocks) topNonzeroDc_[x0] = leftNonzeroDc_ = 0;
      std::memset(kinds_, 0, sizeof kinds_);
    }
    reconstruct(m, mbX, mbY);
    filters_[static_cast<size_t>(mbX)] =
        MacroblockFilter{h_.filters[m.segment][m.subblocks ? 1 : 0], m.subblocks || any};
  }

  void finishRow(int mbY) {
    // The unfiltered last rows predict the next row of macroblocks.
    std::memcpy(topY_.data(), &cacheY_[static_cast<size_t>(23 * yStride_)], topY_.size());
    std::memcpy(topU_.data(), &cacheU_[static_cast<size_t>(11 * uvStride_)], topU_.size());
    std::memcpy(topV_.data(), &cacheV_[static_cast<size_t>(11 * uvStride_)], topV_.size());
    if (h_.filterType != 0) {
      for (int mbX = 0; mbX < h_.mbWidth; ++mbX) {
        filterMacroblock(filters_[static_cast<size_t>(mbX)], h_.filterType,
                         &cacheY_[static_cast<size_t>(8 * yStride_ + 16 * mbX)], yStride_,
                         &cacheU_[static_cast<size_t>(4 * uvStride_ + 8 * mbX)],
                         &cacheV_[static_cast<size_t>(4 * uvStride_ + 8 * mbX)], uvStride_,
                         mbX > 0, mbY > 0);
      }
    }
    const bool last = mbY + 1 == h_.mbHeight;
    const int firstRow = mbY == 0 ? 8 : 0;  // cache row of picture row 16 * mbY - 8
    const int endRow = last ? 8 + (h_.height - 16 * mbY) : 16;
    const int yFirst = 16 * mbY - 8 + firstRow;
    const int yEnd = 16 * mbY - 8 + endRow;
    sink_.rows(yFirst, yEnd, &cacheY_[static_cast<size_t>(firstRow * yStride_)], yStride_,
               &cacheU_[static_cast<size_t>(firstRow / 2 * uvStride_)],
               &cacheV_[static_cast<size_t>(firstRow / 2 * uvStride_)], uvStride_);
    if (last) return;
    std::memmove(cacheY_.data(), &cacheY_[static_cast<size_t>(16 * yStride_)],
                 static_cast<size_t>(8 * yStride_));
    std::memmove(cacheU_.data(), &cacheU_[static_cast<size_t>(8 * uvStride_)],
                 static_cast<size_t>(4 * uvStride_));
    std::memmove(cacheV_.data(), &cacheV_[static_cast<size_t>(8 * uvStride_)],
                 static_cast<size_t>(4 * uvStride_));
  }

  FrameHeader& h_;
  RowSink& sink_;
  const ContextProbs* positionProbs_[4][17] = {};
  std::vector<uint8_t> topModes_, topNonzero_, topNonzeroDc_;
  uint8_t leftModes_[4] = {};
  uint8_t leftNonzero_ = 0;
  uint8_t leftNonzeroDc_ = 0;
  ptrdiff_t yStride_ = 0;
  ptrdiff_t uvStride_ = 0;
  std::vector<uint8_t> topY_, topU_, topV_;
  std::vector<uint8_t> cacheY_, cacheU_, cacheV_;
  std::vector<MacroblockFilter> filters_;
  alignas(16) int16_t coeffs_[384] = {};
  uint8_t kinds_[24] = {};
  alignas(16) uint8_t work_[kWorkSize] = {};
};

// Copies the bands into whole planes.
class PlaneSink : public RowSink {
 public:
  explicit PlaneSink(Planes& out) : out_(out) {}
  void rows(int yFirst, int yEnd, const uint8_t* y, ptrdiff_t yStride, const uint8_t* u,
            const uint8_t* v, ptrdiff_t uvStride) override {
    const auto w = static_cast<size_t>(out_.width);
    const size_t cw = (w + 1) / 2;
    for (int r = yFirst; r < yEnd; ++r) {
      std::memcpy(&out_.y[static_cast<size_t>(r) * w], y + (r - yFirst) * yStride, w);
    }
    for (int r = yFirst / 2; r < (yEnd + 1) / 2; ++r) {
      const ptrdiff_t from = (r - yFirst / 2) * uvStride;
      std::memcpy(&out_.u[static_cast<size_t>(r) * cw], u + from, cw);
      std::memcpy(&out_.v[static_cast<size_t>(r) * cw], v + from, cw);
    }
  }

 private:
  Planes& out_;
};

}  // namespace

void decodeFrame(FrameHeader& header, RowSink& sink) {
  FrameDecoder decoder(header, sink);
  decoder.run();
}

Planes decodeToPlanes(ByteView payload) {
  FrameHeader header = readFrameHeader(payload);
  Planes planes;
  planes.width = header.width;
  planes.height = header.height;
  const auto w = static_cast<size_t>(header.width);
  const auto h = static_cast<size_t>(header.height);
  planes.y.resize(w * h);
  planes.u.resize(((w + 1) / 2) * ((h + 1) / 2));
  planes.v.resize(planes.u.size());
  PlaneSink sink(planes);
  decodeFrame(header, sink);
  return planes;
}

}  // namespace kd::formats::vp8
