/* Compiled as C99 with -pedantic -Werror: the public header must stay plain C. */
#include "keldra/keldra.h"

int keldra_header_c99_check(void) {
  KdQuantizeOpts opts = {0, 20, 0, 0, 0};
  KdColor color = {0.0f, 0.0f, 0.0f, 1.0f, KD_SPACE_OKLAB};
  return (int)(opts.max_iter + color.space);
}
