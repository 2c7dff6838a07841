// The box layer shared by the HEIF item table (isobmff.cpp) and the movie
// reader (isobmff_movie.cpp): box headers checked against their container,
// walks over the boxes of one level, and a plain scan for a four-byte word.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/bytes.h"

namespace kd::exif {

// One box header inside [.., end).
struct Box {
  int64_t start = 0;
  int64_t header = 8;  // 8, or 16 with a 64-bit size
  int64_t size = 0;    // whole box, header included
  const uint8_t* type = nullptr;

  int64_t contentStart() const { return start + header; }
  int64_t end() const { return start + size; }
  bool is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
};

// The box at `pos` whose container ends at `end`, or nothing when its header
// does not fit, its size is invalid (2..7, or below its header), or it runs
// past `end`. `zeroToEnd`: size 0 means "to the end of the container"
// (otherwise it is invalid).
bool readBox(base::ByteView buf, int64_t pos, int64_t end, bool zeroToEnd, Box& box);

// Calls `visit(box)` for each box of [pos, end) until a box does not fit or
// `visit` returns false.
template <class Visit>
void walkBoxes(base::ByteView buf, int64_t pos, int64_t end, bool zeroToEnd, Visit visit) {
  Box box;
  while (readBox(buf, pos, end, zeroToEnd, box)) {
    if (!visit(box)) return;
    pos = box.end();
  }
}

// Positions of "data" in [from, to) with room for what follows, in order.
template <class Visit>
void scanFor(base::ByteView buf, const char* word, int64_t from, int64_t to, Visit visit) {
  const uint8_t* base = buf.data();
  int64_t i = from;
  while (to - i >= 4) {
    const void* hit = std::memchr(base + i, word[0], static_cast<size_t>(to - i - 3));
    if (hit == nullptr) return;
    i = static_cast<const uint8_t*>(hit) - base;
    if (std::memcmp(base + i, word, 4) == 0 && !visit(i)) return;
    ++i;
  }
}

}  // namespace kd::exif
