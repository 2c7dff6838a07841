// WebP (RIFF) metadata chunks: locating the EXIF block and the XMP packet,
// and rebuilding a WebP with a new EXIF block or without metadata.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "exif/found.h"

namespace kd::exif {

// At least 12 bytes, "RIFF" at 0 and "WEBP" at 8 (the RIFF size is not checked).
bool isWebp(base::ByteView buf);
// Offset of the TIFF header inside the first "EXIF" chunk (after an "Exif"
// header when there is one); empty when there is none.
FoundOffset findExifInWebp(base::ByteView buf);
// Payload of the first "XMP " chunk, or empty.
std::string findXmpInWebp(base::ByteView buf);

// The WebP without "EXIF" and "XMP " chunks, with the VP8X EXIF and XMP flags
// cleared; empty when `buf` is not a WebP.
base::Bytes stripWebp(base::ByteView buf);
// The WebP with one "EXIF" chunk holding `block`, appended last, and the VP8X
// EXIF flag set. Empty when `buf` is not a WebP, or when the block is not
// empty and there is no VP8X chunk to announce it.
base::Bytes replaceWebpExif(base::ByteView buf, base::ByteView block);

// FourCC, little-endian size, payload, and a zero pad byte when the size is
// odd.
base::Bytes webpChunk(std::string_view fourcc, base::ByteView payload);
// "RIFF", little-endian (4 + total chunk bytes), "WEBP", the chunks.
base::Bytes assembleWebp(const std::vector<base::Bytes>& chunks);
// 4 bytes, little-endian.
base::Bytes le32w(uint32_t v);

}  // namespace kd::exif
