// Bounds-safe integer reads for the metadata readers: a value whose bytes do
// not lie wholly inside the buffer reads as 0. These never fail.
//
// The byte order is a base::ByteOrder at every call, never a bare bool. The
// TIFF layer keeps its own flag as `bigEndian` (true for "MM"), turned into
// an order by orderOf() where it is read.
#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace kd::exif {

using base::ByteOrder;
using base::ByteView;
inline constexpr ByteOrder kBigEndian = ByteOrder::kBig;
inline constexpr ByteOrder kLittleEndian = ByteOrder::kLittle;

constexpr ByteOrder orderOf(bool bigEndian) { return bigEndian ? kBigEndian : kLittleEndian; }

inline uint16_t readUint16(ByteView buf, int64_t pos, ByteOrder order) {
  return base::loadU16(buf, pos, order);
}

inline uint32_t readUint32(ByteView buf, int64_t pos, ByteOrder order) {
  return base::loadU32(buf, pos, order);
}

}  // namespace kd::exif
