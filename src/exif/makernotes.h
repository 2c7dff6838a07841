// Camera maker notes: the Apple note and the per-maker parsers.
#pragma once

#include <string>

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

}  // namespace kd::exif
