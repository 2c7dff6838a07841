// Raw inflate and zlib framing on arbitrary bytes (the first two bytes pick
// the output cap), plus the deflate round trip of the same bytes.
#include <algorithm>
#include <cstdlib>

#include "compress/deflate.h"
#include "compress/zlib.h"

using kd::base::ByteView;
using kd::base::Bytes;
using kd::base::KeldraException;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t cap = (size_t{data[0]} | size_t{data[1]} << 8) * 16;
  const ByteView stream(data + 2, size - 2);
  try {
    kd::compress::InflateResult r = kd::compress::inflateWithConsumed(stream, 0, cap);
    if (r.output.size() > cap || r.consumed > stream.size()) std::abort();
  } catch (const KeldraException&) {
  }
  try {
    Bytes out = kd::compress::zlibInflate(stream, cap);
    if (out.size() > cap) std::abort();
  } catch (const KeldraException&) {
  }

  const ByteView whole(data, size);
  const Bytes packed = kd::compress::compress(whole);
  kd::compress::InflateResult back = kd::compress::inflateWithConsumed(packed, 0, size);
  if (back.consumed != packed.size()) std::abort();
  if (back.output.size() != size || !std::equal(back.output.begin(), back.output.end(), data)) {
    std::abort();
  }
  if (kd::compress::zlibInflate(kd::compress::zlibDeflate(whole), size) != back.output) {
    std::abort();
  }
  return 0;
}
