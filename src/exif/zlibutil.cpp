#include "exif/zlibutil.h"

#include "compress/zlib.h"

namespace kd::exif {

base::Bytes zlibInflate(base::ByteView data) {
  try {
    return compress::zlibInflate(data, kMetadataInflateCap);
  } catch (const base::KeldraException&) {
    // Metadata readers report what they found; a broken text chunk is
    // simply absent. Other failures (out of memory) still propagate.
    return {};
  }
}

}  // namespace kd::exif
