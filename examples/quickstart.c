#include <keldra/keldra.h>
#include <stdio.h>

int main(void) {
  kd_exif_init();

  /* A 2x1 RGB image from raw samples: one red pixel, one blue. */
  const uint8_t pixels[6] = {255, 0, 0, 0, 0, 255};
  KdImage* img = NULL;
  int st = kd_image_from_pixels(2, 1, KD_CS_RGB, pixels, sizeof pixels, &img);
  if (st != KD_IMAGE_OK) {
    fprintf(stderr, "from_pixels: %s\n", kd_image_strerror(st));
    return 1;
  }
  printf("%dx%d, %d channels\n", kd_image_width(img), kd_image_height(img),
         kd_image_channels(img));

  /* Samples are borrowed from the handle: no copy, valid until it is freed. */
  const uint8_t* samples = NULL;
  size_t len = 0;
  st = kd_image_pixels(img, &samples, &len);
  printf("%zu samples, first pixel %u,%u,%u\n", len, samples[0], samples[1], samples[2]);

  kd_image_free(img);
  return st == KD_IMAGE_OK ? 0 : 1;
}
