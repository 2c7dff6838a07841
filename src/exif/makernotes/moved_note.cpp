// Notes moved by an earlier rewrite. Some editors move the maker note
// without adjusting the offsets inside it, which stay relative to where the
// note used to lie; the values are then found by shifting the base.
#include <algorithm>
#include <limits>

#include "exif/endian.h"
#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

int64_t movedNoteShift(const NoteInput& in, const Ifd& dir) {
  const base::ByteView note = in.note.data;
  const int64_t actual = in.note.valueOffset - in.base;
  if (note.size() >= 8) {
    const base::ByteView footer = note.subspan(note.size() - 8);
    const bool little = startsWith(footer, std::string_view("II*\0", 4));
    if (little || startsWith(footer, std::string_view("MM\0*", 4))) {
      return actual - int64_t{readUint32(footer, 4, orderOf(!little))};
    }
  }
  // Without a footer: the first entry whose value does not fit the buffer
  // tells the shift, taking the lowest value offset to be the first byte
  // after the directory and its next-directory offset.
  int64_t lowest = std::numeric_limits<int64_t>::max();
  bool outOfRange = false;
  for (const IfdEntry& e : dir.entries) {
    const int64_t size = int64_t{fieldTypeSize(e.fieldType)} * e.count;
    if (size <= 4) continue;
    const int64_t stored = e.valueOffset - in.base;
    lowest = std::min(lowest, stored);
    outOfRange = outOfRange || e.data.empty();
  }
  if (!outOfRange || lowest == std::numeric_limits<int64_t>::max()) return 0;
  const int64_t count = readUint16(in.buf, in.note.valueOffset, orderOf(in.bigEndian));
  const int64_t dirEnd = actual + 2 + 12 * count + 4;
  return dirEnd - lowest;
}

}  // namespace kd::exif::makernote
