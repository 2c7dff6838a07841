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
  if (!formats::isWellFormed(src)) fail(ekInvalid, "crop: malformed source image");
  const int64_t c = src.channels;
  // Rows are appended in order: each output byte is written once.
  Image out = reserveOutputImage(width, height, src.colorspace);
  const int64_t srcStride = src.width * c;
  const int64_t outStride = width * c;
  for (int64_t j = 0; j < height; ++j) {
    const uint8_t* from = src.pixels.data() + (y + j) * srcStride + x * c;
    out.pixels.insert(out.pixels.end(), from, from + outStride);
  }
  return out;
}

}  // namespace kd::process
