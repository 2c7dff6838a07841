// Placeholder until the webp codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodeWebp(ByteView) { fail(ekUnsupported, "webp: decoder not built"); }

}  // namespace kd::formats
