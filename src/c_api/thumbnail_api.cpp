// kd_image_thumbnail: the embedded EXIF preview of a file as a new image.
#include "c_api/image_object.h"
#include "keldra.h"
#include "keldra/keldra.h"

using namespace kd::c_api;

extern "C" {

int kd_image_thumbnail(const uint8_t* data, size_t len, KdImage** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  if (data == nullptr || badLength(len)) return kImageBadArgument;
  return imageCall([&] {
    // The caller's bytes are read in place, not copied or kept.
    *out = registerImage(kd::loadThumbnail(kd::base::ByteView(data, len)));
    return kStatusOk;
  });
}

}  // extern "C"
