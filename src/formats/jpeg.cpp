// Placeholder until the jpeg codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodeJpeg(ByteView) { fail(ekUnsupported, "jpeg: decoder not built"); }

Bytes encodeJpeg(const Image&, int) { fail(ekUnsupported, "jpeg: encoder not built"); }

}  // namespace kd::formats
