// Placeholder until the gif codec lands: the format is recognised but refused.
#include "formats/codecs.h"

namespace kd::formats {

Image decodeGif(ByteView) { fail(ekUnsupported, "gif: decoder not built"); }

}  // namespace kd::formats
