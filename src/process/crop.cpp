#include "process/crop.h"

#include <cstring>

#include "base/checked.h"
#include "process/output_image.h"

namespace kd::process {

using base::fail;
using enum base::ErrorKind;

Image crop(const Image& src, int64_t x, int64_t y, int64_t width, int64_t height) {
  if (x < 0 || y < 0 || width < 1 || height < 1) fail(ekInvalid, "crop: non-positive or negative");
  int64_t right = 0;
  int64_t bottom = 0;
  if (!base::checkedAdd(x, width, right) || right > src.width ||
      !base::checkedAdd(y, height, bottom) || bottom > src.height) {
    fail(ekInvalid, "crop: rectangle overruns the source");
  }
  const int64_t c = src.channels;
  int64_t samples = 0;
  if (!base::checkedMul(src.width, src.height, samples) || !base::checkedMul(samples, c, samples) ||
      src.pixels.size() != static_cast<uint64_t>(samples) ||
      c != formats::channelsOf(src.colorspace)) {
    fail(ekInvalid, "crop: malformed source image");
  }
  Image out = newOutputImage(width, height, src.colorspace);
  const int64_t srcStride = src.width * c;
  const int64_t outStride = width * c;
  const uint8_t* from = src.pixels.data() + y * srcStride + x * c;
  uint8_t* to = out.pixels.data();
  for (int64_t j = 0; j < height; ++j, from += srcStride, to += outStride) {
    std::memcpy(to, from, static_cast<size_t>(outStride));
  }
  return out;
}

}  // namespace kd::process
