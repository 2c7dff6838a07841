#include "exif/makernotes.h"

namespace kd::exif {

// The maker parsers are not built yet: no note is recognised and every note
// yields nothing, so the reader keeps the MakerNote entry as a plain tag.
bool isAppleMakerNote(base::ByteView) { return false; }

TagMap parseAppleMakerNote(base::ByteView) { return {}; }

TagMap parseMakerNote(const std::string&, base::ByteView, const IfdEntry&, int64_t, bool,
                      const std::string&, ReadBudget&) {
  return {};
}

}  // namespace kd::exif
