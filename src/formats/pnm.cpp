// Placeholder until the pnm codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodePnm(ByteView) { fail(ekUnsupported, "pnm: decoder not built"); }

Bytes encodePnm(const Image&) { fail(ekUnsupported, "pnm: encoder not built"); }

}  // namespace kd::formats
