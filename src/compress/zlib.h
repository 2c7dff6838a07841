// zlib framing (RFC 1950) and the Adler-32 checksum.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

namespace kd::compress {

using base::ByteView;
using base::Bytes;

// Adler-32 of `data`, continuing from `adler` (1 for a fresh checksum).
uint32_t adler32(ByteView data, uint32_t adler = 1);

// Decodes a whole zlib stream (`data` is untrusted) whose output must not
// exceed `cap` bytes. Bytes after the Adler-32 trailer are ignored; FLEVEL is
// ignored; a preset dictionary is refused. capIsExpectedSize: see
// inflateWithConsumed.
Bytes zlibInflate(ByteView data, size_t cap, bool capIsExpectedSize = false);

// 78 01, the raw stream of compress(), then the big-endian Adler-32.
Bytes zlibDeflate(ByteView data);

}  // namespace kd::compress
