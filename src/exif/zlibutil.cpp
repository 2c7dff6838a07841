#include "exif/zlibutil.h"

#include <algorithm>

#include "base/checked.h"
#include "compress/deflate.h"
#include "compress/zlib.h"
#include "exif/tiff.h"

namespace kd::exif {

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
    // A stream that failed is charged what its input could have produced.
    const int64_t couldProduce = static_cast<int64_t>(std::min<uint64_t>(
        base::saturatingMul<uint64_t>(data.size(), compress::kDeflateMaxExpansion), INT64_MAX));
    budget->spendText(std::min(cap, couldProduce));
  }
  return out;
}

}  // namespace kd::exif
