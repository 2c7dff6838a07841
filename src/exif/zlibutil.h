// zlib inflation for the metadata readers, which never fail on bad input.
#pragma once

#include "base/bytes.h"

namespace kd::exif {

class ReadBudget;

// Largest output the metadata side inflates (compressed text chunks).
inline constexpr size_t kMetadataInflateCap = size_t{16} << 20;

// The zlib stream's content, or an empty result when the stream is malformed,
// truncated or inflates past `cap` bytes. `data` is untrusted.
base::Bytes zlibInflate(base::ByteView data, size_t cap = kMetadataInflateCap);

// zlibInflate for the compressed text of one metadata read: the output is
// capped by what is left of the budget's text allowance, and is charged to
// it. A stream that fails is charged what it can have produced before
// failing (at most compress::kDeflateMaxExpansion bytes per input byte, at
// most the cap), so a file of many small deflate bombs cannot make more work
// than the allowance. With no budget, only the 16 MiB cap applies.
base::Bytes inflateText(base::ByteView data, ReadBudget* budget);

}  // namespace kd::exif
