// The wide JPEG decode (progressive, SOF1, CMYK and YCCK): only
// KeldraException may escape; a decoded picture has the size and layout
// its record declares; and a file the plain decode takes decodes to the
// same bytes with the wide flag. The corpus holds small progressive
// (grey, 4:2:0 with restarts, 4:2:2, CMYK, YCCK), SOF1 and CMYK files
// written by libjpeg-turbo.
#include <cstdint>
#include <cstdlib>

#include "formats/codecs.h"

namespace {

using kd::formats::ByteView;
using kd::formats::Image;

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView input(data, size);
  kd::formats::DecodeOptions wide;
  wide.wide = true;
  Image img;
  try {
    img = kd::formats::decodeJpeg(input, wide);
  } catch (const kd::base::KeldraException&) {
    return 0;
  }
  check(img.width > 0 && img.height > 0 && img.channels == kd::formats::channelsOf(img.colorspace));
  check(img.pixels.size() ==
        static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * static_cast<size_t>(img.channels));
  try {
    const Image plain = kd::formats::decodeJpeg(input);
    check(plain.pixels == img.pixels && plain.colorspace == img.colorspace);
  } catch (const kd::base::KeldraException&) {
    // The plain decode refuses what only the wide one takes.
  }
  return 0;
}
