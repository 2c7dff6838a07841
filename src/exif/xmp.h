// XMP packets of JPEG, PNG and WebP files, flattened into (qualified name,
// text) properties. The XML itself is read by pugixml, which stays private to
// this module.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "base/bytes.h"
#include "exif/found.h"
#include "exif/png.h"

namespace kd::exif {

class ReadBudget;

// (property name, value) pairs in document order, each name once (a later
// value replaces an earlier one in its first position); empty when there is
// no packet or it is malformed. Work and text are charged to `budget` when
// given; once it is spent, the properties found so far are returned.
TextPairs readXmpBytes(base::ByteView file, ReadBudget* budget = nullptr);

// The packet inside the first XMP APP1 segment before the image data of a
// JPEG; empty when there is none.
FoundRange findXmpApp1(base::ByteView jpeg);

// True when the 29-byte XMP APP1 signature (the XMP namespace URI and a NUL)
// starts at `pos`.
bool headerMatches(base::ByteView buf, int64_t pos);

// Flattens the rdf:Description elements of a packet. A packet that is not
// well-formed XML gives no properties.
TextPairs parseXmp(std::string_view packet, ReadBudget* budget = nullptr);

}  // namespace kd::exif
