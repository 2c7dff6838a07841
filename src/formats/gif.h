// GIF decoder: the first image of a GIF87a or GIF89a file, as RGBA at the
// image's own size.
#pragma once

#include <cstdint>

#include "formats/image.h"

namespace kd::formats::gif {

// The concatenated payload of the data sub-blocks at the reader, which ends
// past the zero-length terminator (the reader's message when they are cut
// short).
Bytes readSubBlocks(base::ByteReader& r);

// The colour indices of at most `pixelCount` pixels; stops at the end code
// ("gif: LZW stream truncated" when the payload ends before it).
Bytes lzwDecode(unsigned minCodeSize, ByteView payload, size_t pixelCount);

// Rows of an interlaced image (stored pass by pass) in top-to-bottom order.
Bytes deinterlace(ByteView indices, size_t width, size_t height);

}  // namespace kd::formats::gif
