// Entry of the palette subsystem from the image side: an 8-bit Image becomes
// a ColorImage and then a Palette.
#pragma once

#include <string_view>

#include "formats/image.h"
#include "prismel/image/color_image.h"
#include "prismel/image/quantizer.h"

namespace kd::process {

// Lifts every pixel of a Gray, RGB or RGBA image into an sRGB Color (each
// sample v becomes v / 255 in single precision; alpha from RGBA, else 1).
// Errors are ceInvalidImage, where "Keldra.extractPalette".
prismel::Result<prismel::ColorImage> toColorImage(const formats::Image& img8);

// toColorImage, then the named quantizer in workSpace (15 = OKLab).
prismel::Result<prismel::Palette> extractPalette(const formats::Image& img8, int64_t n,
                                                 std::string_view algorithm,
                                                 prismel::SpaceTag workSpace,
                                                 const prismel::QuantizeOpts& opts);

}  // namespace kd::process
