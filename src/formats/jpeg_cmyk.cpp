// Four-component JPEG to RGB. The samples are first brought to bytes by the
// baseline decoder's own colour kernels, so they are what libjpeg-turbo
// hands out for such a file:
//   - CMYK (APP14 transform 0, or no APP14): each component as grey is,
//     clamp(x + 128.5);
//   - YCCK (APP14 transform 2): C, M, Y are 255 minus the R, G, B the
//     YCbCr kernel gives for the first three components; K as grey is.
// The bytes follow Adobe's convention, which Photoshop writes: 0 is full
// ink, 255 none. They become RGB by the rule ImageMagick and Pillow apply,
//   R = C * K / 255, G = M * K / 255, B = Y * K / 255,
// rounded to the nearest integer ((x + 127) / 255 is exact rounding: x / 255
// is never an odd multiple of one half). Four-component files without
// APP14 are taken as Adobe CMYK too, as Pillow does; no ICC profile is
// applied.
#include "formats/jpeg_cmyk.h"

namespace kd::formats::jpeg {

void convertCmykRow(const DecodeKernels& kernels, const float* const planes[4], bool ycck,
                    uint8_t* scratch, uint8_t* out, size_t width) {
  uint8_t* cmy = scratch;
  uint8_t* k = scratch + 3 * width;
  if (ycck) {
    kernels.rgb(planes[0], planes[1], planes[2], cmy, width);
    for (size_t i = 0; i < 3 * width; ++i) cmy[i] = static_cast<uint8_t>(255 - cmy[i]);
  } else {
    // Interleaved C, M, Y from three grey rows.
    uint8_t* row = out;  // the output row serves as room for one plane
    for (size_t c = 0; c < 3; ++c) {
      kernels.grey(planes[c], row, width);
      for (size_t x = 0; x < width; ++x) cmy[3 * x + c] = row[x];
    }
  }
  kernels.grey(planes[3], k, width);
  for (size_t x = 0; x < width; ++x) {
    const unsigned key = k[x];
    for (size_t c = 0; c < 3; ++c) {
      out[3 * x + c] = static_cast<uint8_t>((cmy[3 * x + c] * key + 127) / 255);
    }
  }
}

}  // namespace kd::formats::jpeg
