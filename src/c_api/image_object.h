// The object behind a KdImage handle, shared by every image-producing
// function of the boundary.
#pragma once

#include <memory>

#include "c_api/guard.h"
#include "c_api/registry.h"
#include "formats/image.h"

struct KdImageObj {
  kd::formats::Image image;
};

namespace kd::c_api {

// The object behind a live image handle with a temporary reference, or null.
inline std::shared_ptr<KdImageObj> imgOf(const KdImageObj* handle) {
  return imageHandles().find(handle);
}

// Registers a new image handle holding `image` and returns it.
inline KdImageObj* registerImage(formats::Image&& image) {
  auto obj = std::make_shared<KdImageObj>();
  obj->image = std::move(image);
  return imageHandles().add(std::move(obj));
}

// Shared shape of functions deriving a new image from a live one: `out` has
// been checked and cleared; an invalid handle or `argumentsOk` false gives
// 2; the lookup and `op`, which maps the source image to the new one, run
// inside the image guard.
template <class Op>
int deriveImage(KdImageObj* img, KdImageObj** out, bool argumentsOk, Op&& op) noexcept {
  return imageCall([&] {
    auto src = imgOf(img);
    if (!src || !argumentsOk) return kImageBadArgument;
    *out = registerImage(op(src->image));
    return kStatusOk;
  });
}

}  // namespace kd::c_api
