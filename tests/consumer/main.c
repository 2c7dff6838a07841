#include <keldra/keldra.h>
#include <stdio.h>

int main(void) {
  kd_exif_init();
  printf("keldra %s\n", kd_version());
  return kd_image_abi_version() == 1 ? 0 : 1;
}
