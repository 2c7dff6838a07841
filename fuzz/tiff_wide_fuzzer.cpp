// Feeds every input to the TIFF decoder with the wide option: separate
// planes, odd depths, floating-point samples, YCbCr, CCITT fax and JPEG
// strips and tiles. A decoded picture must have the size its record claims.
// Only KeldraException is expected; anything else aborts.
#include <cstdint>
#include <cstdlib>

#include "formats/codecs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const kd::formats::Image img =
        kd::formats::decodeTiff(kd::formats::ByteView(data, size), kd::formats::DecodeOptions{true, 0});
    if (img.width <= 0 || img.height <= 0 || img.channels != kd::formats::channelsOf(img.colorspace) ||
        img.pixels.size() != static_cast<size_t>(img.width * img.height * img.channels)) {
      std::abort();
    }
  } catch (const kd::base::KeldraException&) {
  }
  return 0;
}
