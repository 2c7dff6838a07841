// WebP lossless decoding: the RIFF container walk (webp.cpp) and the VP8L
// bitstream of RFC 9649 (webp_lossless.cpp, with its prefix codes in
// webp_prefix and its inverse transforms in webp_transforms). The pieces a
// test or another module needs to reach on their own are declared here;
// decodeWebp is in codecs.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compress/bit_reader.h"
#include "formats/image.h"

namespace kd::formats::webp {

// The reader of a VP8L stream: the shared least-significant-bit-first
// reader, with WebP's messages. A request for more bits than remain fails
// with "webp: bitstream truncated".
class BitReader : public compress::LsbBitReader {
 public:
  BitReader(ByteView data, size_t start)
      : LsbBitReader(data, start, "webp: bitstream truncated") {}

  // n <= 32 ("webp: readBits > 32" otherwise).
  uint32_t readBits(int n) {
    if (n > 32) fail(ekInvalid, "webp: readBits > 32");
    return bits(static_cast<unsigned>(n));
  }
  uint32_t readBit() { return bits(1); }
};

// One chunk of the RIFF container: its four-character code and where its
// payload lies in the file.
struct Chunk {
  char code[4] = {};
  size_t payload = 0;
  size_t size = 0;
};

// The VP8L chunk payload: signature byte, 14-bit width and height, alpha
// hint, version, then the image stream.
Image decodeVp8lStream(ByteView payload);

// The image stream from bit position 8 * start of data: transforms, colour
// cache, meta prefix codes, prefix codes and pixels. csRgba when alphaUsed.
Image decodeVp8lBody(ByteView data, size_t start, int64_t width, int64_t height,
                     bool alphaUsed);

}  // namespace kd::formats::webp
