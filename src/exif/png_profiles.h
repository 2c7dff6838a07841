// ImageMagick's raw profiles: EXIF, XMP and IPTC blocks that ImageMagick (and
// older exiftool versions) store in PNG text chunks keyed "Raw profile type
// NAME". The text is a line break, NAME, a line break, the byte count in
// decimal (space padded), a line break, then the bytes in hexadecimal,
// broken into lines.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/bytes.h"

namespace kd::exif {

class ReadBudget;
struct Metadata;

enum class RawProfile : uint8_t { none, exif, xmp, iptc, app1, photoshop };

// The profile a text chunk keyword names ("Raw profile type exif", "...
// xmp", "... iptc", "... APP1", "... 8bim"); none for any other keyword.
RawProfile rawProfileOf(std::string_view keyword);

// The bytes of a raw profile text, or empty when it is malformed (no header,
// a character other than a hex digit or white space, fewer digits than the
// count). `text` is untrusted.
base::Bytes decodeRawProfile(std::string_view text);

// The decoded bytes of the first raw profile holding EXIF ("exif", or
// "APP1" starting "Exif\0\0"), as a bare TIFF structure; empty when none.
base::Bytes rawExifProfile(base::ByteView png, ReadBudget* budget = nullptr);

// The tags of a PNG's eXIf chunk (the first, wherever it stands) and text
// chunks, with the raw profiles decoded into EXIF (when there is no eXIf
// chunk), XMP and IPTC tags instead of being listed as text. The IPTC of a
// Photoshop profile ("8bim") is read too, and the profile stays listed.
void readPngMetadata(Metadata& md, base::ByteView png, ReadBudget& budget);

// The PNG with `block` as its only EXIF: replacePngExif, less the raw
// profiles that held EXIF. Empty when `png` is not a PNG.
base::Bytes replacePngExifAndProfiles(base::ByteView png, base::ByteView block);

}  // namespace kd::exif
