#include "process/output_image.h"

#include "base/memory.h"

namespace kd::process {

formats::Image reserveOutputImage(int64_t width, int64_t height,
                                  formats::ColorSpace colorspace) {
  formats::Image img;
  img.width = width;
  img.height = height;
  img.colorspace = colorspace;
  img.channels = formats::channelsOf(colorspace);
  const size_t len = formats::sampleCount(width, height, colorspace);
  img.pixels.reserve(len);
  base::adviseHugePages(img.pixels.data(), len);
  return img;
}

formats::Image newOutputImage(int64_t width, int64_t height, formats::ColorSpace colorspace) {
  formats::Image img = reserveOutputImage(width, height, colorspace);
  // The products were checked when the room was reserved.
  img.pixels.resize(static_cast<size_t>(img.width * img.height * img.channels));
  return img;
}

}  // namespace kd::process
