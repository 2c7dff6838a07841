// Round trips of the levelled encoders: the raw DEFLATE stream of the input
// at every level 1-9 inflates back to the input exactly, with nothing left
// over; the zlib stream at one level (picked by the length) too; and the
// input as a grey, RGB or RGBA picture (shape from the first byte) encoded
// as PNG at that level decodes to the same pixels.
#include <cstdlib>

#include "compress/deflate.h"
#include "compress/zlib.h"
#include "formats/codecs.h"
#include "formats/png.h"

using kd::base::ByteView;
using kd::base::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView input(data, size);
  const Bytes expected(data, data + size);
  for (int level = 1; level <= 9; ++level) {
    const Bytes raw = kd::compress::compressLevel(input, level);
    const kd::compress::InflateResult back = kd::compress::inflateWithConsumed(raw, 0, size);
    if (back.output != expected || back.consumed != raw.size()) std::abort();
  }
  const int level = static_cast<int>(size % 9) + 1;
  if (kd::compress::zlibInflate(kd::compress::zlibDeflateLevel(input, level), size) != expected) {
    std::abort();
  }
  if (size < 2) return 0;
  using enum kd::formats::ColorSpace;
  constexpr kd::formats::ColorSpace kSpaces[] = {csGray, csRgb, csRgba};
  kd::formats::Image img;
  img.colorspace = kSpaces[data[0] % 3];
  img.channels = kd::formats::channelsOf(img.colorspace);
  const size_t pixels = (size - 1) / static_cast<size_t>(img.channels);
  img.width = std::min<int64_t>(data[0] / 3 % 64 + 1, static_cast<int64_t>(pixels));
  if (img.width == 0) return 0;
  img.height = static_cast<int64_t>(pixels) / img.width;
  img.pixels.assign(data + 1, data + 1 + static_cast<size_t>(img.width * img.height * img.channels));
  kd::base::HeapBytes file;
  kd::formats::encodePngLevelTo(img, level, file);
  if (kd::formats::decodePng(file.toBytes()).pixels != img.pixels) std::abort();
  return 0;
}
