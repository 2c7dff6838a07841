#include "exif/jpeg.h"

#include <cstring>

#include "base/jpeg_segments.h"

namespace kd::exif {

FoundRange findExifAPP1(base::ByteView buf) {
  const auto size = static_cast<int64_t>(buf.size());
  if (size < 4 || !base::isJpeg(buf)) return std::nullopt;
  base::JpegSegmentWalk walk(buf);
  base::JpegSegment s;
  while (walk.next(s) && s.marker != 0xDA && s.marker != 0xD9) {
    const auto body = static_cast<int64_t>(s.body);
    const auto length = static_cast<int64_t>(s.length);
    if (s.marker == 0xE1 && length > 7 && body + 6 < size &&
        std::memcmp(buf.data() + body, "Exif\0\0", 6) == 0) {
      return ByteRange{body + 6, length - 8};
    }
  }
  return std::nullopt;
}

}  // namespace kd::exif
