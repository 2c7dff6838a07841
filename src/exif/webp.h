// WebP metadata chunks: the EXIF block.
#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace kd::exif {

// At least 12 bytes, "RIFF" at 0 and "WEBP" at 8 (the RIFF size is not checked).
bool isWebp(base::ByteView buf);
// Offset of the TIFF header inside the first "EXIF" chunk, or 0 for none.
int64_t findExifInWebp(base::ByteView buf);

}  // namespace kd::exif
