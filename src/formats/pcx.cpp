// Placeholder until the pcx codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodePcx(ByteView) { fail(ekUnsupported, "pcx: decoder not built"); }

}  // namespace kd::formats
