// zlib inflation for the metadata readers, which never fail on bad input.
#pragma once

#include "base/bytes.h"

namespace kd::exif {

// Largest output the metadata side inflates (compressed text chunks).
inline constexpr size_t kMetadataInflateCap = size_t{16} << 20;

// The zlib stream's content, or an empty result when the stream is malformed,
// truncated or inflates past 16 MiB. `data` is untrusted.
base::Bytes zlibInflate(base::ByteView data);

}  // namespace kd::exif
