// Plain transcriptions of the baseline JPEG decoder (bit-by-bit Huffman
// walk, the IDCT as two nested sums per output, one pixel at a time) and
// encoder. They share only the constant tables with the library's codec,
// which must give the same bytes and the same failures.
#pragma once

#include "formats/image.h"

namespace kd::formats::test {

Image referenceDecodeJpeg(ByteView data);

// The encoder written out plainly: per-pixel colour conversion, the FDCT as
// nested sums, quantisation with std::trunc, Huffman codes bit by bit.
Bytes referenceEncodeJpeg(const Image& img, int quality);

}  // namespace kd::formats::test
