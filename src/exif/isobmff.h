// ISO base media files (HEIF/AVIF, MP4/QuickTime): the Exif item and the
// movie metadata of "moov".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace kd::exif {

// One HEIF item, merged from "iinf" and "iloc".
struct ItemRecord {
  std::string itemType;     // "Exif", "mime", ...
  std::string contentType;  // MIME type of "mime" items
  bool located = false;     // "iloc" gave the item an extent
  int64_t offset = 0;       // absolute offset of the first extent
  int64_t length = 0;       // length of the first extent
  int64_t offsetFieldPos = 0;
  int64_t lengthFieldPos = 0;
  int offsetSize = 0;
  int lengthSize = 0;
  int64_t baseOffset = 0;
  int64_t extentCount = 0;
  int constructionMethod = 0;  // 0 file, 1 idat, 2 item
};

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
  std::vector<std::string> keys;
};

// At least 12 bytes and "ftyp" at 4.
bool isIsobmff(base::ByteView buf);
// The item of type "Exif" (not located when none).
ItemRecord locateExifItem(base::ByteView buf);
// Offset of the TIFF header inside the Exif item, or -1.
int64_t findExifTiffInIsobmff(base::ByteView buf);
// Offset of a TIFF header found by scanning, or -1.
int64_t findExifInHEIC(base::ByteView buf);
// Movie information from the payload of a "moov" box.
VideoMeta parseIsobmff(base::ByteView moovPayload);

}  // namespace kd::exif
