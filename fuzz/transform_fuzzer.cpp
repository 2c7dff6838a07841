// Image operations on fuzzer-chosen sizes, colour spaces and parameters.
// Besides running clean under the sanitizers, every result must keep the
// identities the operations promise: four quarter turns, double mirrors and
// orientation-then-inverse give the source back, same-size resampling is the
// identity, and crop copies exactly the rectangle asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/error.h"
#include "formats/image.h"
#include "process/crop.h"
#include "process/resize.h"
#include "process/rotate.h"

namespace {

using kd::formats::Image;
using namespace kd::process;

void require(bool ok) {
  if (!ok) std::abort();
}

bool same(const Image& a, const Image& b) {
  return a.width == b.width && a.height == b.height && a.colorspace == b.colorspace &&
         a.pixels == b.pixels;
}

// The stored image whose upright form is `img` for EXIF orientation n.
Image stored(const Image& img, int n) {
  switch (n) {
    case 2: return rotate(img, roFlipHorizontal);
    case 3: return rotate(img, roRotate180);
    case 4: return rotate(img, roFlipVertical);
    case 5: return rotate(rotate(img, roRotate90), roFlipHorizontal);
    case 6: return rotate(img, roRotate270);
    case 7: return rotate(rotate(img, roRotate270), roFlipHorizontal);
    case 8: return rotate(img, roRotate90);
    default: return img;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  const auto cs = static_cast<kd::formats::ColorSpace>(data[0] % 6);
  const int64_t w = 1 + data[1] % 80, h = 1 + data[2] % 80;
  const uint8_t op = data[3];
  const int64_t a = data[4] | (data[5] << 8), b = data[6] | (data[7] << 8);
  const int64_t c = data[8], d = data[9];
  data += 10;
  size -= 10;
  Image img = kd::formats::newImage(w, h, cs);
  for (size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = size ? data[i % size] : 0;

  try {
    switch (op % 4) {
      case 0: {
        auto filter = static_cast<ResizeFilter>(op / 4 % 3);
        Image out = resize(img, 1 + a % 300, 1 + b % 300, filter);
        require(out.width == 1 + a % 300 && out.height == 1 + b % 300 && out.colorspace == cs);
        require(out.pixels.size() == static_cast<size_t>(out.width * out.height * img.channels));
        require(same(resize(img, w, h, filter), img));
        break;
      }
      case 1: {
        Image out = crop(img, a % 100 - 10, b % 100 - 10, c - 10, d - 10);
        for (int64_t y = 0; y < out.height; ++y) {
          for (int64_t x = 0; x < out.width; ++x) {
            for (int64_t k = 0; k < img.channels; ++k) {
              require(out.pixels[(y * out.width + x) * img.channels + k] ==
                      img.pixels[((b % 100 - 10 + y) * w + a % 100 - 10 + x) * img.channels + k]);
            }
          }
        }
        break;
      }
      case 2: {
        for (RotateOp quarter : {roRotate90, roRotate270}) {
          Image turned = img;
          for (int i = 0; i < 4; ++i) turned = rotate(turned, quarter);
          require(same(turned, img));
        }
        for (RotateOp flip : {roRotate180, roFlipHorizontal, roFlipVertical}) {
          require(same(rotate(rotate(img, flip), flip), img));
        }
        break;
      }
      default: {
        int n = 1 + op / 4 % 8;
        require(same(applyExifOrientation(stored(img, n), n), img));
        break;
      }
    }
  } catch (const kd::base::KeldraException&) {
  }
  return 0;
}
