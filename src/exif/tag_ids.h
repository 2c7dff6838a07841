// The EXIF and TIFF tag ids the readers and writers act on (beyond naming
// them, which tags.cpp's dictionary does): pointers to sub-directories, the
// maker note, and the tags that locate image data.
#pragma once

#include <cstdint>

namespace kd::exif {

inline constexpr uint16_t kTagMake = 271;
inline constexpr uint16_t kTagModel = 272;
inline constexpr uint16_t kTagStripOffsets = 273;
inline constexpr uint16_t kTagTileOffsets = 324;
inline constexpr uint16_t kTagSubIfds = 330;
inline constexpr uint16_t kTagExifIfd = 0x8769;     // 34665, "ExifOffset"
inline constexpr uint16_t kTagGpsIfd = 0x8825;      // 34853, "GPSInfo"
inline constexpr uint16_t kTagDateTimeOriginal = 36867;
inline constexpr uint16_t kTagCreateDate = 36868;
inline constexpr uint16_t kTagOffsetTimeOriginal = 36881;
inline constexpr uint16_t kTagOffsetTimeDigitized = 36882;
inline constexpr uint16_t kTagMakerNote = 0x927C;   // 37500
inline constexpr uint16_t kTagInteropIfd = 0xA005;  // 40965

}  // namespace kd::exif
