// Placeholder until the tga codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodeTga(ByteView) { fail(ekUnsupported, "tga: decoder not built"); }

Bytes encodeTga(const Image&) { fail(ekUnsupported, "tga: encoder not built"); }

}  // namespace kd::formats
