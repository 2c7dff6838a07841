// The TIFF/IFD reader alone: the first byte picks the byte order, the next
// two the directory position; every entry of the directory and of the
// directory it links to is rendered.
#include <cstdint>

#include "exif/tags.h"
#include "exif/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  kd::base::ByteView buf(data, size);
  const bool be = (data[0] & 1) != 0;
  int64_t pos = (int64_t{data[1]} << 8 | data[2]) % static_cast<int64_t>(size);
  kd::exif::ReadBudget budget = kd::exif::ReadBudget::forInputSize(size);
  kd::exif::TagMap tags;
  for (int hop = 0; hop < 2; ++hop) {
    kd::exif::Ifd dir = kd::exif::readIFD(buf, pos, 0, be, &budget);
    for (const kd::exif::IfdEntry& e : dir.entries) {
      std::string raw = kd::exif::toString(e);
      const char* name = kd::exif::exifTagName(e.tag);
      if (name != nullptr) tags[name] = kd::exif::formatTagValue(name, raw, tags);
      kd::exif::readLongTag(e);
    }
    pos = dir.nextOffset;
  }
  return 0;
}
