// Placeholder until the qoi codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodeQoi(ByteView) { fail(ekUnsupported, "qoi: decoder not built"); }

Bytes encodeQoi(const Image&) { fail(ekUnsupported, "qoi: encoder not built"); }

}  // namespace kd::formats
