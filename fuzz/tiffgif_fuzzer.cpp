// Feeds every input to the TIFF and GIF decoders, and to the sniffer when it
// starts like either. A decoded picture must have the size its record
// claims. The input as a TIFF LZW strip decodes alike into a fixed stretch
// and into a growing buffer. Only KeldraException is expected; anything else aborts.
#include <cstdint>
#include <cstdlib>

#include <algorithm>
#include <memory>
#include <string>

#include "formats/codecs.h"
#include "formats/formats.h"
#include "formats/tiff.h"

namespace {

using kd::formats::ByteView;
using kd::formats::Image;

void checkRecord(const Image& img) {
  if (img.width <= 0 || img.height <= 0 ||
      img.channels != kd::formats::channelsOf(img.colorspace) ||
      img.pixels.size() != static_cast<size_t>(img.width * img.height * img.channels)) {
    std::abort();
  }
}

template <class Decode>
void tryDecode(Decode decode, ByteView data) {
  try {
    checkRecord(decode(data));
  } catch (const kd::base::KeldraException&) {
  }
}

// The fixed output is exactly `expected` long, so the sanitizer sees any
// write past it.
void compareLzwOutputs(ByteView data) {
  const size_t expected = data.empty() ? 0 : data[0] * size_t{97};
  std::string grownResult, fixedResult;
  kd::base::Bytes grown;
  try {
    grown = kd::formats::tiff::lzwDecode(data, expected);
  } catch (const kd::base::KeldraException& e) {
    grownResult = e.what();
  }
  std::unique_ptr<uint8_t[]> fixed(new uint8_t[expected]);
  try {
    const size_t n = kd::formats::tiff::lzwDecodeTo(data, fixed.get(), expected);
    if (n != grown.size() || !std::equal(grown.begin(), grown.end(), fixed.get())) std::abort();
  } catch (const kd::base::KeldraException& e) {
    fixedResult = e.what();
  }
  if (grownResult != fixedResult) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView in(data, size);
  tryDecode([](ByteView d) { return kd::formats::decodeTiff(d); }, in);
  tryDecode([](ByteView d) { return kd::formats::decodeGif(d); }, in);
  tryDecode([](ByteView d) { return kd::formats::decodeImage(d); }, in);
  compareLzwOutputs(in);
  return 0;
}
