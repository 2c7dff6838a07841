// Placeholder until the bmp codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodeBmp(ByteView) { fail(ekUnsupported, "bmp: decoder not built"); }

Bytes encodeBmp(const Image&) { fail(ekUnsupported, "bmp: encoder not built"); }

}  // namespace kd::formats
