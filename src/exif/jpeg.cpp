#include "exif/jpeg.h"

#include <cstring>

#include "exif/endian.h"

namespace kd::exif {

std::pair<int64_t, int64_t> findExifAPP1(base::ByteView buf) {
  const int64_t size = static_cast<int64_t>(buf.size());
  if (size < 4 || buf[0] != 0xFF || buf[1] != 0xD8) return {0, 0};
  int64_t p = 2;
  while (p + 4 < size) {
    if (buf[static_cast<size_t>(p)] != 0xFF) break;
    uint8_t m = buf[static_cast<size_t>(p + 1)];
    if (m == 0xDA) break;
    int64_t len = readUint16(buf, p + 2, true);
    if (m == 0xE1 && len > 7 && p + 10 < size &&
        std::memcmp(buf.data() + p + 4, "Exif\0\0", 6) == 0) {
      return {p + 10, len - 8};
    }
    p += 2 + len;
  }
  return {0, 0};
}

}  // namespace kd::exif
