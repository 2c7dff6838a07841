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

}  // namespace kd::formats::gif
