#include "exif/iptc.h"

namespace kd::exif {

// The resource walk is not built yet: no file yields IPTC datasets.
TextPairs parseIptc(base::ByteView) { return {}; }

}  // namespace kd::exif
