// Raw inflate and zlib framing on arbitrary bytes (the first two bytes pick
// the output cap), the same zlib stream in pieces through a window and into
// a reused buffer and into a fixed buffer of exactly the cap (same bytes or
// same failure), plus the deflate round trip
// of the same bytes, whole and streamed in the same pieces.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include <string>
#include <vector>

#include "compress/deflate.h"
#include "compress/inflate.h"
#include "compress/zlib.h"

using kd::base::ByteView;
using kd::base::Bytes;
using kd::base::KeldraException;

namespace {

// Takes all but the last `hold` bytes offered; keeps everything.
class Collect : public kd::compress::InflateSink {
 public:
  explicit Collect(size_t hold) : hold_(hold) {}
  size_t take(const uint8_t* data, size_t n) override {
    const size_t t = n > hold_ ? n - hold_ : 0;
    out.insert(out.end(), data, data + t);
    left.assign(data + t, data + n);
    return t;
  }
  Bytes out;
  Bytes left;

 private:
  size_t hold_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t cap = (size_t{data[0]} | size_t{data[1]} << 8) * 16;
  const ByteView stream(data + 2, size - 2);
  try {
    kd::compress::InflateResult r = kd::compress::inflateWithConsumed(stream, 0, cap);
    if (r.output.size() > cap || r.consumed > stream.size()) std::abort();
  } catch (const KeldraException&) {
  }
  std::string framedResult;
  Bytes framed;
  try {
    framed = kd::compress::zlibInflate(stream, cap);
    if (framed.size() > cap) std::abort();
  } catch (const KeldraException& e) {
    framedResult = e.what();
  }
  // Pieces cut where the data's own bytes say, a sink holding some bytes.
  std::vector<ByteView> pieces;
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min<size_t>(stream[at] % 64, stream.size() - at);
    if (n == 0) pieces.push_back(ByteView());
    const size_t step = std::max<size_t>(n, 1);
    pieces.push_back(stream.subspan(at, step));
    at += step;
  }
  Collect sink(data[0] * 37u);
  Bytes reused(data[1]);
  std::string piecesResult;
  std::string intoResult;
  try {
    const uint64_t total = kd::compress::zlibInflatePieces(pieces, cap, data[0] * 37u, sink);
    sink.out.insert(sink.out.end(), sink.left.begin(), sink.left.end());
    if (total != sink.out.size() || sink.out != framed) std::abort();
  } catch (const KeldraException& e) {
    piecesResult = e.what();
  }
  try {
    const size_t n = kd::compress::zlibInflateInto(stream, cap, reused);
    if (n != framed.size() || !std::equal(framed.begin(), framed.end(), reused.begin())) {
      std::abort();
    }
  } catch (const KeldraException& e) {
    intoResult = e.what();
  }
  // The fixed output ends at the cap: the fast loop stops short of it and
  // the careful path writes nothing beyond it (the sanitizer sees the end).
  std::string fixedResult;
  {
    std::unique_ptr<uint8_t[]> fixed(new uint8_t[cap]);
    try {
      const size_t n = kd::compress::zlibInflateTo(stream, fixed.get(), cap);
      if (n != framed.size() || !std::equal(framed.begin(), framed.end(), fixed.get())) std::abort();
    } catch (const KeldraException& e) {
      fixedResult = e.what();
    }
  }
  if (piecesResult != framedResult || intoResult != framedResult || fixedResult != framedResult) {
    std::abort();
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
  // The streaming encoder, fed the same pieces, gives the one-shot bytes.
  kd::base::HeapBytes streamed;
  kd::compress::DeflateStream deflate(streamed);
  deflate.write(ByteView(data, 2));
  for (ByteView piece : pieces) deflate.write(piece);
  deflate.finish();
  if (!std::equal(packed.begin(), packed.end(), streamed.data(), streamed.data() + streamed.size())) {
    std::abort();
  }
  return 0;
}
