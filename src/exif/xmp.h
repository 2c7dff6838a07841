// XMP packets of JPEG, PNG and WebP files.
#pragma once

#include "base/bytes.h"
#include "exif/png.h"

namespace kd::exif {

// (property name, value) pairs in document order; empty when there is no
// packet or it is malformed.
TextPairs readXmpBytes(base::ByteView file);

}  // namespace kd::exif
