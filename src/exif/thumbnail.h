// The EXIF preview: IFD1 of the TIFF structure points at a small JPEG with
// JPEGInterchangeFormat (513) and JPEGInterchangeFormatLength (514).
#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace kd::exif {

// A copy of the preview bytes described by IFD1 of the TIFF block whose
// header is at `tiffBase`, or empty when there is none. Only the directory
// that IFD0 links to is looked at; both tags need at least 4 value bytes,
// and the preview must lie wholly inside `buf`. Offsets are untrusted.
base::Bytes extractExifThumbnailAt(base::ByteView buf, int64_t tiffBase);

}  // namespace kd::exif
