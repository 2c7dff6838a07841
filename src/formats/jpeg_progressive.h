// Progressive JPEG (ISO/IEC 10918-1 Annex G, Huffman coding), for the wide
// decode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/jpeg_decode.h"

namespace kd::formats::jpeg {

// Decodes every scan of a progressive frame into whole-picture coefficient
// planes and renders them. `sos` is the position of the first SOS length
// field; `t` and `f` hold what the segments before it said. `maxPixels` is
// a host's limit (0: none).
Image decodeProgressive(ByteView d, size_t sos, Tables& t, Frame& f, uint64_t maxPixels,
                        DecodeKernels kernels);

}  // namespace kd::formats::jpeg
