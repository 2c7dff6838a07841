// Placeholder until the png codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodePng(ByteView) { fail(ekUnsupported, "png: decoder not built"); }

Bytes encodePng(const Image&) { fail(ekUnsupported, "png: encoder not built"); }

}  // namespace kd::formats
