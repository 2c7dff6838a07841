// WebP lossless decoding: the RIFF container walk and the VP8L bitstream
// (WebP Lossless Bitstream Specification, RFC 9649). The pieces a test
// needs to reach on their own are declared here; decodeWebp is in codecs.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "formats/image.h"

namespace kd::formats::webp {

// Least-significant-bit-first reader over a VP8L stream. Bits are kept in a
// 64-bit word; bytes past the end of the data are never read, and a request
// for more bits than remain fails with "webp: bitstream truncated".
class BitReader {
 public:
  BitReader(ByteView data, size_t start);

  // n <= 32 ("webp: readBits > 32" otherwise).
  uint32_t readBits(int n) {
    if (n > 32) fail(ekInvalid, "webp: readBits > 32");
    if (count_ < n) {
      refill();
      if (count_ < n) fail(ekTruncated, "webp: bitstream truncated");
    }
    const auto v = static_cast<uint32_t>(buf_ & ((uint64_t{1} << n) - 1));
    drop(n);
    return v;
  }
  uint32_t readBit() { return readBits(1); }

  // Tops the word up to at least 57 bits while input lasts. Bits above
  // count_ are either zero or the next bits of the stream, so lookups may
  // peek past count_ as long as they check what they use against it.
  void refill() {
    if (end_ - p_ >= 8) {
      uint64_t v;
      std::memcpy(&v, p_, 8);
      buf_ |= v << count_;
      p_ += (63 - count_) >> 3;
      count_ |= 56;
    } else {
      while (count_ <= 56 && p_ < end_) {
        buf_ |= uint64_t{*p_++} << count_;
        count_ += 8;
      }
    }
  }
  uint64_t peek() const { return buf_; }
  int64_t available() const { return count_; }
  void drop(int n) {
    buf_ >>= n;
    count_ -= n;
  }

 private:
  uint64_t buf_ = 0;
  // 64-bit so that the decoder's stores of 32-bit pixels cannot alias it
  // and the reader's state can stay in registers.
  int64_t count_ = 0;
  const uint8_t* p_;
  const uint8_t* end_;
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
