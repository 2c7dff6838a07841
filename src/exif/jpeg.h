// JPEG segment walk to the EXIF APP1 segment.
#pragma once

#include <cstdint>
#include <utility>

#include "base/bytes.h"

namespace kd::exif {

// (position of the TIFF header, length of the TIFF block) of the first APP1
// segment that starts with "Exif\0\0", or (0, 0). Segment lengths are
// untrusted: the walk (base::JpegSegmentWalk) only moves forward and ends at
// start of scan, at EOI or where the walk stops; the length of a truncated
// segment is the one it declares.
std::pair<int64_t, int64_t> findExifAPP1(base::ByteView buf);

}  // namespace kd::exif
