// Output images of the pixel operations.
#pragma once

#include <cstdint>

#include "formats/image.h"

namespace kd::process {

// Same result and checks as formats::newImage (a zero-filled width x height
// image, sizes overflow-checked), for outputs that are about to be
// overwritten whole. Large buffers are offered to the kernel as huge-page
// candidates before they are first touched: faulting in a multi-megabyte
// picture 4 KiB at a time costs more than the operation that fills it.
formats::Image newOutputImage(int64_t width, int64_t height, formats::ColorSpace colorspace);

// The same record with no pixels yet but room for all of them, for outputs
// produced in order: appending the rows (pixels.insert at the end) writes
// each byte once, where a zero-filled buffer would be written twice.
formats::Image reserveOutputImage(int64_t width, int64_t height,
                                  formats::ColorSpace colorspace);

}  // namespace kd::process
