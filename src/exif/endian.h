// Bounds-safe integer reads for the metadata readers: a value whose bytes do
// not lie wholly inside the buffer reads as 0. These never fail.
#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace kd::exif {

using base::ByteView;

inline uint16_t readUint16(ByteView buf, int64_t pos, bool bigEndian) {
  return base::loadU16(buf, pos, !bigEndian);
}

inline uint32_t readUint32(ByteView buf, int64_t pos, bool bigEndian) {
  return base::loadU32(buf, pos, !bigEndian);
}

}  // namespace kd::exif
