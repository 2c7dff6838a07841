// The one "not found" convention of the metadata module: a finder returns
// std::optional, empty when the block is absent, so no position (not even 0,
// the start of a bare TIFF file) doubles as a sentinel.
#pragma once

#include <cstdint>
#include <optional>

namespace kd::exif {

// Where a block lies in the input: `offset` from the start of the buffer and
// `length` in bytes as its container declares it (a truncated block may
// declare more than the buffer holds; readers check before they read).
struct ByteRange {
  int64_t offset = 0;
  int64_t length = 0;
  bool operator==(const ByteRange&) const = default;
};

using FoundRange = std::optional<ByteRange>;
using FoundOffset = std::optional<int64_t>;

}  // namespace kd::exif
