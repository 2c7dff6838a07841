#include "exif/zlibutil.h"

#include <algorithm>

#include "compress/zlib.h"
#include "exif/tiff.h"

namespace kd::exif {

namespace {

// The most output one byte of a DEFLATE stream can produce: a 258-byte match
// coded in two bits.
constexpr int64_t kDeflateMaxRatio = 1032;

}  // namespace

base::Bytes zlibInflate(base::ByteView data, size_t cap) {
  try {
    return compress::zlibInflate(data, cap);
  } catch (const base::KeldraException&) {
    // Metadata readers report what they found; a broken text chunk is
    // simply absent. Other failures (out of memory) still propagate.
    return {};
  }
}

base::Bytes inflateText(base::ByteView data, ReadBudget* budget) {
  if (budget == nullptr) return zlibInflate(data);
  const int64_t cap = std::min<int64_t>(budget->textLeft(), int64_t{kMetadataInflateCap});
  if (cap <= 0) return {};
  base::Bytes out = zlibInflate(data, static_cast<size_t>(cap));
  if (!out.empty()) {
    budget->spendText(static_cast<int64_t>(out.size()));
  } else {
    int64_t produced = static_cast<int64_t>(std::min<uint64_t>(data.size(), INT64_MAX / kDeflateMaxRatio));
    budget->spendText(std::min(cap, produced * kDeflateMaxRatio));
  }
  return out;
}

}  // namespace kd::exif
