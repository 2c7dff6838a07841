// Inflate beyond one contiguous input and one growing output: zlib streams
// split across pieces (PNG IDAT chunks) decoded through a sliding window
// into a sink, and a decoder that reuses the caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.h"

namespace kd::compress {

using base::ByteView;
using base::Bytes;

// Receives the output of a streaming inflate, in order.
class InflateSink {
 public:
  // data[0, n) are the bytes produced and not yet taken, oldest first.
  // Returns how many of them, from the front, are taken now; the rest are
  // offered again, followed by newer bytes, on the next call. The sink must
  // not leave more than the `maxHold` it was registered with.
  virtual size_t take(const uint8_t* data, size_t n) = 0;

 protected:
  ~InflateSink() = default;
};

// Decodes the zlib stream that is the concatenation of `pieces` (untrusted),
// with the checks, messages and order of precedence of zlibInflate, handing
// the output to `sink` as the window fills and once more after the final
// block (before the trailer is checked). Returns the output length. Memory:
// the 32 KiB history, maxHold and a little room, never more than the cap.
uint64_t zlibInflatePieces(std::span<const ByteView> pieces, size_t cap, size_t maxHold,
                           InflateSink& sink);

// zlibInflate into `buffer`, which is reused from call to call: grown as
// needed (to the cap at once when the input could fill it), never shrunk.
// Returns the output length; bytes of the buffer past it are unspecified.
size_t zlibInflateInto(ByteView data, size_t cap, Bytes& buffer);

// zlibInflate into the `cap` bytes at `out`, which the decoder never
// writes past. Returns the output length.
size_t zlibInflateTo(ByteView data, uint8_t* out, size_t cap);

// The zlib header checks shared by every entry (data[0] is CMF, data[1] FLG;
// the caller has checked both bytes are there).
void checkZlibHeader(unsigned cmf, unsigned flg);

}  // namespace kd::compress
