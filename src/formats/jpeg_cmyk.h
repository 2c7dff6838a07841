// Four-component JPEG (Adobe CMYK and YCCK) to RGB, for the wide decode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/jpeg_kernels.h"

namespace kd::formats::jpeg {

// One RGB output row of `width` pixels from the four component rows
// (expanded to the picture width). `ycck`: the first three components are
// YCbCr of inverted CMY (APP14 transform 2). `scratch` holds 4 * width bytes.
void convertCmykRow(const DecodeKernels& kernels, const float* const planes[4], bool ycck,
                    uint8_t* scratch, uint8_t* out, size_t width);

}  // namespace kd::formats::jpeg
