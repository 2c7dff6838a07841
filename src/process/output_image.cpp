#include "process/output_image.h"

#include "base/checked.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kd::process {

namespace {

// Below this a buffer gains little from huge pages.
constexpr size_t kHugePageThreshold = size_t{8} << 20;
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

// A hint only: failure (no transparent huge pages, old kernel) changes
// nothing but speed.
void adviseHugePages([[maybe_unused]] const uint8_t* data, [[maybe_unused]] size_t len) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t last = (begin + len) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace

formats::Image reserveOutputImage(int64_t width, int64_t height,
                                  formats::ColorSpace colorspace) {
  formats::Image img;
  img.width = width;
  img.height = height;
  img.colorspace = colorspace;
  img.channels = formats::channelsOf(colorspace);
  int64_t area = base::mulOrFail<int64_t>(width, height, "newImage: size overflow");
  int64_t samples = base::mulOrFail<int64_t>(area, img.channels, "newImage: size overflow");
  if (samples < 0) base::fail(base::ekInvalid, "newImage: negative size");
  const size_t len = static_cast<size_t>(samples);
  img.pixels.reserve(len);
  if (len >= kHugePageThreshold) adviseHugePages(img.pixels.data(), len);
  return img;
}

formats::Image newOutputImage(int64_t width, int64_t height, formats::ColorSpace colorspace) {
  formats::Image img = reserveOutputImage(width, height, colorspace);
  // The products were checked when the room was reserved.
  img.pixels.resize(static_cast<size_t>(img.width * img.height * img.channels));
  return img;
}

}  // namespace kd::process
