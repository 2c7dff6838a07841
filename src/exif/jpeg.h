// JPEG segment walk to the EXIF APP1 segment.
#pragma once

#include <cstdint>
#include "base/bytes.h"
#include "exif/found.h"

namespace kd::exif {

// The TIFF block (position of its header, its length) of the first APP1
// segment that starts with "Exif\0\0"; empty when there is none. Segment
// lengths are untrusted: the walk (base::JpegSegmentWalk) only moves forward
// and ends at start of scan, at EOI or where the walk stops; the length of a
// truncated segment is the one it declares.
FoundRange findExifAPP1(base::ByteView buf);

}  // namespace kd::exif
