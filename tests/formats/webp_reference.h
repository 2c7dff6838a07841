// The plain bit-by-bit WebP lossless decoder the library's decoder is
// checked against (same messages, same pixels).
#pragma once

#include "formats/image.h"

namespace kd::formats::test {

Image referenceDecodeWebp(ByteView data);

}  // namespace kd::formats::test
