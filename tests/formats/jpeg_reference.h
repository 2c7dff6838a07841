// A plain transcription of the baseline JPEG decoder: bit-by-bit Huffman
// walk, the IDCT as two nested sums per output, one pixel at a time. It
// shares only the constant tables with the library's decoder, which must
// give the same bytes and the same failures.
#pragma once

#include "formats/image.h"

namespace kd::formats::test {

Image referenceDecodeJpeg(ByteView data);

}  // namespace kd::formats::test
