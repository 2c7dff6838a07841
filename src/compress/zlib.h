// zlib framing (RFC 1950) and the Adler-32 checksum.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "base/heap_bytes.h"
#include "compress/deflate.h"

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

// 78 xx (FLEVEL from the level), compressLevel(data, level), then the
// big-endian Adler-32.
Bytes zlibDeflateLevel(ByteView data, int level);

// zlibDeflate() fed piece by piece, appending to `out` (see DeflateStream):
// the header goes out at construction, the checksum at finish().
class ZlibStream {
 public:
  explicit ZlibStream(base::HeapBytes& out);
  void write(ByteView data);
  void finish();

 private:
  base::HeapBytes& out_;
  DeflateStream deflate_;
  uint32_t adler_ = 1;
};

}  // namespace kd::compress
