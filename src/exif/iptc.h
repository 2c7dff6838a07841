// IPTC-IIM datasets from the Photoshop resources of a JPEG file.
#pragma once

#include "base/bytes.h"
#include "exif/png.h"

namespace kd::exif {

// (dataset name, value) pairs in file order; empty when there is no IPTC.
TextPairs parseIptc(base::ByteView jpeg);

}  // namespace kd::exif
