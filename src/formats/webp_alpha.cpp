// ALPH chunk decoding: raw or lossless-compressed alpha samples, then the
// inverse of the encoder's prediction filter (none, horizontal, vertical or
// gradient), row by row in place.

#include "formats/webp_alpha.h"

#include "formats/webp.h"

namespace kd::formats::webp {
namespace {

enum AlphaFilter { kNoFilter, kHorizontal, kVertical, kGradient };

// The first row of every filter predicts from the left (the first sample
// from 0); later rows start from the sample above.
void unfilterRow(int method, const uint8_t* above, uint8_t* row, size_t width) {
  if (above == nullptr || method == kHorizontal) {
    uint8_t left = above == nullptr ? 0 : above[0];
    for (size_t x = 0; x < width; ++x) left = row[x] = static_cast<uint8_t>(row[x] + left);
    return;
  }
  if (method == kVertical) {
    for (size_t x = 0; x < width; ++x) row[x] = static_cast<uint8_t>(row[x] + above[x]);
    return;
  }
  // Gradient: left + above - above-left, clamped to 0..255.
  int left = above[0];
  int corner = above[0];
  for (size_t x = 0; x < width; ++x) {
    const int top = above[x];
    int predicted = left + top - corner;
    predicted = predicted < 0 ? 0 : predicted > 255 ? 255 : predicted;
    left = row[x] = static_cast<uint8_t>(row[x] + predicted);
    corner = top;
  }
}

}  // namespace

Bytes decodeAlphaPlane(ByteView chunk, int64_t width, int64_t height) {
  if (chunk.empty()) fail(ekTruncated, "webp: ALPH short");
  const uint8_t header = chunk[0];
  const int compression = header & 3;
  const int method = (header >> 2) & 3;
  const int preprocessing = (header >> 4) & 3;
  if (compression > 1 || preprocessing > 1 || (header >> 6) != 0) {
    fail(ekInvalid, "webp: ALPH header invalid");
  }
  const auto count = static_cast<size_t>(width * height);
  Bytes alpha;
  if (compression == 0) {
    if (chunk.size() - 1 < count) fail(ekTruncated, "webp: ALPH plane short");
    alpha.assign(chunk.begin() + 1, chunk.begin() + 1 + static_cast<ptrdiff_t>(count));
  } else {
    const Image plane = decodeVp8lBody(chunk, 1, width, height, true);
    alpha.resize(count);
    for (size_t i = 0; i < count; ++i) alpha[i] = plane.pixels[4 * i + 1];
  }
  if (method != kNoFilter) {
    const auto w = static_cast<size_t>(width);
    for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
      unfilterRow(method, y == 0 ? nullptr : &alpha[(y - 1) * w], &alpha[y * w], w);
    }
  }
  return alpha;
}

}  // namespace kd::formats::webp
