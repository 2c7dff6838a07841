// Placeholder until the tiff codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodeTiff(ByteView) { fail(ekUnsupported, "tiff: decoder not built"); }

}  // namespace kd::formats
