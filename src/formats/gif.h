// GIF decoder: the first image of a GIF87a or GIF89a file, as RGBA at the
// image's own size.
#pragma once

#include <cstdint>

#include "formats/image.h"

namespace kd::formats::gif {

// Position of the next unread bit of an LZW payload.
struct BitState {
  size_t bit = 0;
};

// The concatenated payload of the data sub-blocks starting at `pos`; `pos`
// ends past the zero-length terminator ("gif: sub-block truncated").
Bytes readSubBlocks(ByteView data, size_t& pos);

// One code of `width` bits, least significant bit first ("gif: LZW stream
// truncated" when the payload has fewer bits left).
unsigned readCode(ByteView payload, BitState& state, unsigned width);

// The colour indices of at most `pixelCount` pixels; stops at the end code.
Bytes lzwDecode(unsigned minCodeSize, ByteView payload, size_t pixelCount);

// Rows of an interlaced image (stored pass by pass) in top-to-bottom order.
Bytes deinterlace(ByteView indices, size_t width, size_t height);

}  // namespace kd::formats::gif
