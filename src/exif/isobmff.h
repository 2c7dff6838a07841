// ISO base media files (HEIF/AVIF, MP4/QuickTime): the HEIF item table, the
// Exif item and the movie metadata of "moov".
//
// Boxes are a 32-bit big-endian size and a 4-byte type; size 1 means a
// 64-bit size follows the type, size 0 that the box runs to the end of its
// container. All sizes are untrusted. Nothing here fails on malformed input:
// a box that does not fit ends the walk of its level.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "exif/found.h"

namespace kd::exif {

// One HEIF item, merged from "iinf" and "iloc". Offsets are absolute file
// positions; the field positions and sizes let a writer patch the first
// extent in place.
struct ItemRecord {
  std::string itemType;     // "Exif", "mime", ...
  std::string contentType;  // MIME type of "mime" items
  bool located = false;     // "iloc" gave the item an extent
  int64_t offset = 0;       // base offset + first extent offset
  int64_t length = 0;       // length of the first extent
  int64_t offsetFieldPos = 0;  // file position of the first extent's offset field
  int64_t lengthFieldPos = 0;  // file position of the first extent's length field
  int offsetSize = 0;          // byte size of the offset field (0, 4 or 8)
  int lengthSize = 0;          // byte size of the length field (0, 4 or 8)
  int64_t baseOffset = 0;
  int64_t extentCount = 0;
  int constructionMethod = 0;  // 0 file, 1 idat, 2 item
};

using ItemRecords = std::map<uint32_t, ItemRecord>;

// Most items a table is read with: the 16-bit item IDs of the ordinary box
// versions. Entries for further IDs are ignored, so a crafted table of
// millions of tiny entries cannot make a read hold hundreds of megabytes.
inline constexpr size_t kMaxItems = size_t{1} << 16;

// Movie information of a "moov" box. `creationDate` is tagged text:
// "MP4-Time-V0:<seconds>", "MP4-Time-V1:<seconds>" (since 1904, UTC) or
// "String:<date text>"; empty when unknown.
struct VideoMeta {
  std::string creationDate;
  std::string make;
  std::string model;
  std::string software;
  int64_t maxTrackWidth = 0;
  int64_t maxTrackHeight = 0;
  std::vector<std::string> keys;  // names of the "keys" box, in order
};

// At least 12 bytes and "ftyp" at 4.
bool isIsobmff(base::ByteView buf);
// Item ID to item record, from the first top-level "meta" box (empty when
// the file is not HEIF-like).
ItemRecords parseItemRecords(base::ByteView buf);
// The item of type "Exif" with the lowest item ID (not located when none).
ItemRecord locateExifItem(base::ByteView buf);
// Offset of the TIFF header inside a file-stored, single-extent Exif item;
// empty when there is none.
FoundOffset findExifTiffInIsobmff(base::ByteView buf);
// Offset of a TIFF header found by scanning for "Exif"; empty when none.
FoundOffset findExifInHEIC(base::ByteView buf);
// The Exif item's TIFF header, else the one the scan finds.
FoundOffset findIsobmffExif(base::ByteView buf);
// Movie information from the payload of a "moov" box.
VideoMeta parseIsobmff(base::ByteView moovPayload);
// The first UTF-8 "data" value among the children of one "ilst" item, or
// empty.
std::string readStringData(base::ByteView item);
// Text from `start` up to a NUL (exclusive) or `limit`, and the position
// after the NUL (`limit` when there is none).
std::pair<std::string, int64_t> readCString(base::ByteView buf, int64_t start, int64_t limit);
// Big-endian unsigned value of `size` (0..8) bytes at `pos`; 0 for size 0;
// -1 when the size exceeds 8, the field does not lie inside the buffer, or
// the value does not fit a signed 64-bit number.
int64_t beInt(base::ByteView buf, int64_t pos, int size);

}  // namespace kd::exif
