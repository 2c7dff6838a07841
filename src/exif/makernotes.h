// Camera maker notes: the Apple note and the per-maker parsers.
#pragma once

#include <string>
#include <vector>

#include "base/bytes.h"
#include "exif/tags.h"
#include "exif/tiff.h"

namespace kd::exif {

// Longer than 15 bytes and starting with "Apple iOS".
bool isAppleMakerNote(base::ByteView note);
// Name to text of an Apple note. Its directory's work and text count
// against `budget`; the one-argument form allows work in proportion to the
// note's size.
TagMap parseAppleMakerNote(base::ByteView note, ReadBudget& budget);
TagMap parseAppleMakerNote(base::ByteView note);
// Name to text of the MakerNote entry `note` of a file whose Make and Model
// texts are given; empty when no parser knows the maker. `buf` is the whole
// buffer, `base` the position of the EXIF block's TIFF header. The parsers
// walk their own directories and spend `budget` like the main reader.
TagMap parseMakerNote(const std::string& make, base::ByteView buf, const IfdEntry& note,
                      int64_t base, bool bigEndian, const std::string& model,
                      ReadBudget& budget);

// What a maker note addresses outside itself. Positions are relative to the
// note's first byte.
struct MakerNoteReach {
  int64_t end = 0;             // one past the last byte of the note or of a block it addresses
  bool reachesBefore = false;  // some entry addresses bytes before the note
  // The four-byte fields (in the note or the blocks it addresses) holding
  // offsets relative to the TIFF header, in the byte order `bigEndian`:
  // they change by the distance the note moves.
  std::vector<int64_t> offsetFields;
  bool bigEndian = false;
};

// Walks the maker note of `length` bytes at `at` in `buf`, inside an EXIF
// block whose TIFF header lies at `tiffBase`, by the layout the Make text and
// the note's header name.
MakerNoteReach makerNoteReach(const std::string& make, base::ByteView buf, int64_t tiffBase,
                              bool bigEndian, int64_t at, int64_t length);

}  // namespace kd::exif
