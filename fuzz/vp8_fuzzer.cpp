// VP8 key-frame decoding of a raw "VP8 " chunk payload, two ways: to YUV
// planes and to RGB. Both run the same frame decoder, so they must fail
// alike (same message and kind) or both produce a picture of the size the
// frame header gives. Inputs that are RIFF files go through the wide WebP
// decoder too (lossy with ALPH, animations), which must return a
// well-formed picture or throw. Only KeldraException is expected; anything
// else, or a mismatch, aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "formats/codecs.h"
#include "formats/vp8.h"

namespace {

using kd::formats::ByteView;

struct Outcome {
  std::string message;
  int kind = 0;
  size_t samples = 0;
};

template <class Decode>
Outcome run(Decode decode) {
  Outcome o;
  try {
    o.samples = decode();
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
  const Outcome planes = run([&] {
    const kd::formats::vp8::Planes p = kd::formats::vp8::decodeToPlanes(input);
    const auto w = static_cast<size_t>(p.width);
    const auto h = static_cast<size_t>(p.height);
    check(p.y.size() == w * h && p.u.size() == ((w + 1) / 2) * ((h + 1) / 2));
    return w * h;
  });
  const Outcome rgba = run([&] {
    const kd::formats::Image img = kd::formats::vp8::decodeToImage(input, nullptr);
    check(img.pixels.size() == static_cast<size_t>(img.width * img.height * 3));
    return static_cast<size_t>(img.width * img.height);
  });
  check(planes.kind == rgba.kind && planes.message == rgba.message);
  check(planes.samples == rgba.samples);
  if (size >= 4 && std::memcmp(data, "RIFF", 4) == 0) {
    run([&] {
      const kd::formats::Image img = kd::formats::decodeWebpWide(input);
      check(img.width > 0 && img.height > 0 &&
            img.pixels.size() == static_cast<size_t>(img.width * img.height * img.channels));
      return img.pixels.size();
    });
  }
  return 0;
}
