// Intra prediction of VP8 key frames (RFC 6386, section 12): whole-block
// modes of luma (16x16) and chroma (8x8), and the ten modes of 4x4 luma
// sub-blocks. Every predictor reads its neighbours from the buffer itself:
// the row above (with the corner at [-1]) and the column to the left. At the
// picture's edges the decoder fills those with 127 (above) and 129 (left);
// only DC prediction of whole blocks treats a missing edge differently.

#include <cstring>

#include "formats/vp8.h"

namespace kd::formats::vp8 {
namespace {

inline uint8_t clampPixel(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}
inline uint8_t average3(int a, int b, int c) { return static_cast<uint8_t>((a + 2 * b + c + 2) >> 2); }
inline uint8_t average2(int a, int b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

// DC, vertical, horizontal and TrueMotion prediction of a size x size block.
template <int size>
void predictBlock(int mode, uint8_t* dst, ptrdiff_t stride, bool hasTop, bool hasLeft) {
  const uint8_t* top = dst - stride;
  switch (mode) {
    case kDcPred: {
      constexpr int shift = size == 16 ? 4 : 3;
      int sum = 0;
      int value = 128;
      if (hasTop && hasLeft) {
        for (int i = 0; i < size; ++i) sum += top[i] + dst[i * stride - 1];
        value = (sum + size) >> (shift + 1);
      } else if (hasTop) {
        for (int i = 0; i < size; ++i) sum += top[i];
        value = (sum + size / 2) >> shift;
      } else if (hasLeft) {
        for (int i = 0; i < size; ++i) sum += dst[i * stride - 1];
        value = (sum + size / 2) >> shift;
      }
      for (int y = 0; y < size; ++y) std::memset(dst + y * stride, value, size);
      break;
    }
    case kVPred:
      for (int y = 0; y < size; ++y) std::memcpy(dst + y * stride, top, size);
      break;
    case kHPred:
      for (int y = 0; y < size; ++y) std::memset(dst + y * stride, dst[y * stride - 1], size);
      break;
    default: {  // TrueMotion: left + above - corner, clamped
      const int corner = top[-1];
      for (int y = 0; y < size; ++y) {
        uint8_t* row = dst + y * stride;
        const int left = row[-1] - corner;
        for (int x = 0; x < size; ++x) row[x] = clampPixel(left + top[x]);
      }
      break;
    }
  }
}

}  // namespace

void predictLuma(int mode, uint8_t* dst, ptrdiff_t stride, bool hasTop, bool hasLeft) {
  predictBlock<16>(mode, dst, stride, hasTop, hasLeft);
}

void predictChroma(int mode, uint8_t* dst, ptrdiff_t stride, bool hasTop, bool hasLeft) {
  predictBlock<8>(mode, dst, stride, hasTop, hasLeft);
}

// The sub-block modes as RFC 6386 section 12.3 lays them out: A[0..7] the
// row above, L[0..3] the left column, P the corner, and E the edge running
// from the bottom of the left column through the corner to the end of the
// four pixels above. b(r, c) is the predicted pixel of row r, column c.
void predictSubblock(int mode, uint8_t* dst, ptrdiff_t stride) {
  const uint8_t* a = dst - stride;
  const int p = a[-1];
  const int l[4] = {dst[-1], dst[stride - 1], dst[2 * stride - 1], dst[3 * stride - 1]};
  const int e[9] = {l[3], l[2], l[1], l[0], p, a[0], a[1], a[2], a[3]};
  auto b = [&](int r, int c) -> uint8_t& { return dst[r * stride + c]; };
  switch (mode) {
    case kBDc: {
      int sum = 4;
      for (int i = 0; i < 4; ++i) sum += a[i] + l[i];
      for (int r = 0; r < 4; ++r) std::memset(&b(r, 0), sum >> 3, 4);
      break;
    }
    case kBTm:
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) b(r, c) = clampPixel(l[r] + a[c] - p);
      }
      break;
    case kBVe: {
      const uint8_t row[4] = {average3(p, a[0], a[1]), average3(a[0], a[1], a[2]),
                              average3(a[1], a[2], a[3]), average3(a[2], a[3], a[4])};
      for (int r = 0; r < 4; ++r) std::memcpy(&b(r, 0), row, 4);
      break;
    }
    case kBHe: {
      const uint8_t col[4] = {average3(p, l[0], l[1]), average3(l[0], l[1], l[2]),
                              average3(l[1], l[2], l[3]), average3(l[2], l[3], l[3])};
      for (int r = 0; r < 4; ++r) std::memset(&b(r, 0), col[r], 4);
      break;
    }
    case kBLd:  // down-left diagonals, each the smoothed pixel above
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
          const int i = r + c;
          b(r, c) = i == 6 ? average3(a[6], a[7], a[7]) : average3(a[i], a[i + 1], a[i + 2]);
        }
      }
      break;
    case kBRd:  // down-right diagonals along the edge
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
          const int i = 4 - r + c;
          b(r, c) = average3(e[i - 1], e[i], e[i + 1]);
        }
      }
      break;
    case kBVr:
      b(3, 0) = average3(e[1], e[2], e[3]);
      b(2, 0) = average3(e[2], e[3], e[4]);
      b(3, 1) = b(1, 0) = average3(e[3], e[4], e[5]);
      b(2, 1) = b(0, 0) = average2(e[4], e[5]);
      b(3, 2) = b(1, 1) = average3(e[4], e[5], e[6]);
      b(2, 2) = b(0, 1) = average2(e[5], e[6]);
      b(3, 3) = b(1, 2) = average3(e[5], e[6], e[7]);
      b(2, 3) = b(0, 2) = average2(e[6], e[7]);
      b(1, 3) = average3(e[6], e[7], e[8]);
      b(0, 3) = average2(e[7], e[8]);
      break;
    case kBVl:
      b(0, 0) = average2(a[0], a[1]);
      b(1, 0) = average3(a[0], a[1], a[2]);
      b(2, 0) = b(0, 1) = average2(a[1], a[2]);
      b(1, 1) = b(3, 0) = average3(a[1], a[2], a[3]);
      b(2, 1) = b(0, 2) = average2(a[2], a[3]);
      b(3, 1) = b(1, 2) = average3(a[2], a[3], a[4]);
      b(2, 2) = b(0, 3) = average2(a[3], a[4]);
      b(3, 2) = b(1, 3) = average3(a[3], a[4], a[5]);
      b(2, 3) = average3(a[4], a[5], a[6]);
      b(3, 3) = average3(a[5], a[6], a[7]);
      break;
    case kBHd:
      b(3, 0) = average2(e[0], e[1]);
      b(3, 1) = average3(e[0], e[1], e[2]);
      b(2, 0) = b(3, 2) = average2(e[1], e[2]);
      b(2, 1) = b(3, 3) = average3(e[1], e[2], e[3]);
      b(2, 2) = b(1, 0) = average2(e[2], e[3]);
      b(2, 3) = b(1, 1) = average3(e[2], e[3], e[4]);
      b(1, 2) = b(0, 0) = average2(e[3], e[4]);
      b(1, 3) = b(0, 1) = average3(e[3], e[4], e[5]);
      b(0, 2) = average3(e[4], e[5], e[6]);
      b(0, 3) = average3(e[5], e[6], e[7]);
      break;
    default:  // kBHu
      b(0, 0) = average2(l[0], l[1]);
      b(0, 1) = average3(l[0], l[1], l[2]);
      b(0, 2) = b(1, 0) = average2(l[1], l[2]);
      b(0, 3) = b(1, 1) = average3(l[1], l[2], l[3]);
      b(1, 2) = b(2, 0) = average2(l[2], l[3]);
      b(1, 3) = b(2, 1) = average3(l[2], l[3], l[3]);
      b(2, 2) = b(2, 3) = b(3, 0) = b(3, 1) = b(3, 2) = b(3, 3) = static_cast<uint8_t>(l[3]);
      break;
  }
}

}  // namespace kd::formats::vp8
