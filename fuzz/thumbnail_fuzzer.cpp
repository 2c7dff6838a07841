// Thumbnail extraction from any container through the public call: a
// preview, when found, is a live image; failures leave no handle.
#include <keldra/keldra.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KdImage* img = nullptr;
  const int st = kd_image_thumbnail(data, size, &img);
  if (st != KD_IMAGE_OK) {
    if (img != nullptr || (st != KD_IMAGE_EARG && st != KD_IMAGE_EUNSUPPORTED)) std::abort();
    return 0;
  }
  if (kd_image_width(img) <= 0 || kd_image_height(img) <= 0) std::abort();
  kd_image_free(img);
  return 0;
}
