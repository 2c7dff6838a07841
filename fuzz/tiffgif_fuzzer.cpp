// Feeds every input to the TIFF and GIF decoders, and to the sniffer when it
// starts like either. A decoded picture must have the size its record
// claims. Only KeldraException is expected; anything else aborts.
#include <cstdint>
#include <cstdlib>

#include "formats/codecs.h"
#include "formats/formats.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView in(data, size);
  tryDecode([](ByteView d) { return kd::formats::decodeTiff(d); }, in);
  tryDecode([](ByteView d) { return kd::formats::decodeGif(d); }, in);
  tryDecode([](ByteView d) { return kd::formats::decodeImage(d); }, in);
  return 0;
}
