// The JPEG decoder against the plain reference decoder of the tests: both
// must give the same pixels or the same failure. A decoded picture must
// also survive a JPEG encode and decode with its size and colour space, and
// the encoder must write the same bytes as the plain reference encoder (at
// a quality taken from the input's last byte).
// Only KeldraException is expected; anything else, or a mismatch, aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../tests/formats/jpeg_reference.cpp"
#include "formats/codecs.h"

namespace {

using kd::formats::ByteView;
using kd::formats::Image;

struct Outcome {
  bool ok = false;
  std::string message;
  kd::base::ErrorKind kind = kd::base::ekNone;
  Image image;
};

template <class Decode>
Outcome run(Decode decode, ByteView input) {
  Outcome o;
  try {
    o.image = decode(input);
    o.ok = true;
  } catch (const kd::base::KeldraException& e) {
    o.message = e.what();
    o.kind = e.kind();
  }
  return o;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView input(data, size);
  const Outcome fast = run([](ByteView in) { return kd::formats::decodeJpeg(in); }, input);
  const Outcome plain = run(kd::formats::test::referenceDecodeJpeg, input);
  check(fast.ok == plain.ok && fast.message == plain.message && fast.kind == plain.kind);
  if (!fast.ok) return 0;
  const Image& img = fast.image;
  check(img.width > 0 && img.height > 0 && img.channels == kd::formats::channelsOf(img.colorspace));
  check(img.pixels == plain.image.pixels);
  if (img.pixels.size() <= (size_t{1} << 20)) {
    const int quality = 1 + data[size - 1] % 100;
    const kd::formats::Bytes file = kd::formats::encodeJpeg(img, quality);
    check(file == kd::formats::test::referenceEncodeJpeg(img, quality));
    const Image back = kd::formats::decodeJpeg(ByteView(file.data(), file.size()));
    check(back.width == img.width && back.height == img.height &&
          back.colorspace == img.colorspace);
  }
  return 0;
}
