// kd_image_resize, kd_image_crop, kd_image_rotate, kd_image_apply_orientation:
// each derives a new image handle and leaves its source untouched.
#include "c_api/image_object.h"
#include "keldra/keldra.h"
#include "process/crop.h"
#include "process/resize.h"
#include "process/rotate.h"

using namespace kd::c_api;
using kd::formats::Image;
using kd::process::ResizeFilter;
using kd::process::RotateOp;

namespace {

ResizeFilter filterFromCint(int filter) {
  switch (filter) {
    case KD_FILTER_NEAREST: return kd::process::rfNearest;
    case KD_FILTER_BILINEAR: return kd::process::rfBilinear;
    case KD_FILTER_BOX: return kd::process::rfBox;
    default: kd::base::fail(kd::base::ekInvalid, "kd_image: bad filter");
  }
}

RotateOp rotateOpFromCint(int op) {
  switch (op) {
    case KD_ROTATE_90: return kd::process::roRotate90;
    case KD_ROTATE_180: return kd::process::roRotate180;
    case KD_ROTATE_270: return kd::process::roRotate270;
    case KD_FLIP_HORIZONTAL: return kd::process::roFlipHorizontal;
    case KD_FLIP_VERTICAL: return kd::process::roFlipVertical;
    default: kd::base::fail(kd::base::ekInvalid, "kd_image: bad rotate op");
  }
}

}  // namespace

extern "C" {

int kd_image_resize(KdImage* img, int width, int height, int filter, KdImage** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  return deriveImage(img, out, width > 0 && height > 0, [&](const Image& src) {
    return kd::process::resize(src, width, height, filterFromCint(filter));
  });
}

int kd_image_crop(KdImage* img, int x, int y, int width, int height, KdImage** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  return deriveImage(img, out, true, [&](const Image& src) {
    return kd::process::crop(src, x, y, width, height);
  });
}

int kd_image_rotate(KdImage* img, int op, KdImage** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  return deriveImage(img, out, true, [&](const Image& src) {
    return kd::process::rotate(src, rotateOpFromCint(op));
  });
}

int kd_image_apply_orientation(KdImage* img, int orientation, KdImage** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  return deriveImage(img, out, orientation > 0 && orientation <= 8, [&](const Image& src) {
    return kd::process::applyExifOrientation(src, orientation);
  });
}

}  // extern "C"
