#include "exif/thumbnail.h"

#include "exif/tiff.h"

namespace kd::exif {

base::Bytes extractExifThumbnailAt(base::ByteView buf, int64_t tiffBase) {
  if (!base::fits(buf, tiffBase, 8)) return {};
  const bool bigEndian = buf[static_cast<size_t>(tiffBase)] != 'I';
  const int64_t ifd0 = tiffBase + readUint32(buf, tiffBase + 4, orderOf(bigEndian));
  if (!base::fits(buf, ifd0, 2)) return {};
  const uint32_t next = readIFD(buf, ifd0, tiffBase, bigEndian).nextOffset;
  if (next == 0) return {};
  const int64_t ifd1Pos = tiffBase + next;
  if (!base::fits(buf, ifd1Pos, 2)) return {};
  const Ifd ifd1 = readIFD(buf, ifd1Pos, tiffBase, bigEndian);
  const IfdEntry* offsetTag = ifd1.find(513);
  const IfdEntry* lengthTag = ifd1.find(514);
  if (offsetTag == nullptr || lengthTag == nullptr) return {};
  const std::optional<uint32_t> offset = readLongTag(*offsetTag);
  const std::optional<uint32_t> length = readLongTag(*lengthTag);
  if (!offset || !length || *length == 0) return {};
  const int64_t start = tiffBase + *offset;
  if (!base::fits(buf, start, *length)) return {};
  const auto* p = buf.data() + start;
  return base::Bytes(p, p + *length);
}

}  // namespace kd::exif
