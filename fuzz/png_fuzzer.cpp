// PNG (and whatever else the sniffer picks) through the public decode call.
// A decoded image must survive a PNG round trip unchanged.
#include <keldra/keldra.h>

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KdImage* img = nullptr;
  if (kd_image_decode_buffer(data, size, KD_FORMAT_AUTO, &img) != KD_IMAGE_OK) {
    if (img != nullptr) std::abort();  // failures leave the out-parameter NULL
    return 0;
  }
  const uint8_t* pixels = nullptr;
  size_t len = 0;
  if (kd_image_pixels(img, &pixels, &len) != KD_IMAGE_OK) std::abort();
  const int cs = kd_image_get_colorspace(img);
  if (cs == KD_CS_GRAY || cs == KD_CS_RGB || cs == KD_CS_RGBA) {
    uint8_t* png = nullptr;
    size_t pngLen = 0;
    if (kd_image_encode(img, KD_FORMAT_PNG, 90, &png, &pngLen) != KD_IMAGE_OK) std::abort();
    KdImage* back = nullptr;
    if (kd_image_decode_buffer(png, pngLen, KD_FORMAT_PNG, &back) != KD_IMAGE_OK) std::abort();
    const uint8_t* again = nullptr;
    size_t againLen = 0;
    if (kd_image_pixels(back, &again, &againLen) != KD_IMAGE_OK || againLen != len ||
        std::memcmp(again, pixels, len) != 0 || kd_image_get_colorspace(back) != cs) {
      std::abort();
    }
    kd_image_free(back);
    kd_image_buffer_free(png);
  }
  kd_image_free(img);
  return 0;
}
