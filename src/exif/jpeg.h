// JPEG segment walk to the EXIF APP1 segment.
#pragma once

#include <cstdint>
#include <utility>

#include "base/bytes.h"

namespace kd::exif {

// (position of the TIFF header, length of the TIFF block) of the first APP1
// segment that starts with "Exif\0\0", or (0, 0). Segment lengths are
// untrusted: the walk only moves forward and stops at the first byte that is
// not a marker, at start of scan, or at the end of the buffer.
std::pair<int64_t, int64_t> findExifAPP1(base::ByteView buf);

}  // namespace kd::exif
