// WebP decoding, checked two ways: a decoded picture has the size its record
// claims, and the table-driven decoder agrees with the plain bit-by-bit
// decoder of the tests (same message and kind, or the same pixels). The
// plain decoder is compiled in from tests/ so both always see one input.
// Only KeldraException is expected; anything else, or a mismatch, aborts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/formats/webp_reference.cpp"
#include "formats/codecs.h"

namespace {

using kd::formats::ByteView;
using kd::formats::Image;

struct Outcome {
  Image image;
  std::string message;
  int kind = 0;
};

template <class Decode>
Outcome run(Decode decode, ByteView input) {
  Outcome o;
  try {
    o.image = decode(input);
  } catch (const kd::base::KeldraException& e) {
    o.message = e.what();
    o.kind = static_cast<int>(e.kind());
  }
  return o;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView input(data, size);
  const Outcome ours = run(kd::formats::decodeWebp, input);
  // The plain decoder is slow on big pictures; compare where it is quick.
  if (ours.kind == 0) {
    const Image& img = ours.image;
    check(img.width > 0 && img.height > 0);
    check(img.channels == kd::formats::channelsOf(img.colorspace));
    check(img.pixels.size() == static_cast<size_t>(img.width * img.height * img.channels));
    if (img.width * img.height > (1 << 16)) return 0;
  }
  const Outcome plain = run(kd::formats::test::referenceDecodeWebp, input);
  check(ours.kind == plain.kind && ours.message == plain.message);
  if (ours.kind == 0) {
    check(ours.image.colorspace == plain.image.colorspace);
    check(ours.image.pixels == plain.image.pixels);
  }
  return 0;
}
