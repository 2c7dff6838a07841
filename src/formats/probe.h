// Header probes: the format, size and channels of a file from its headers
// alone, without decoding (or allocating) its pixels; and the host's pixel
// limit, checked against what the headers declare.
#pragma once

#include <cstdint>

#include "formats/image.h"

namespace kd::formats {

// Values cross the C boundary unchanged (KD_FORMAT_*). ffAuto: detect from
// the content.
enum class FileFormat : uint8_t {
  ffAuto = 0,
  ffPng = 1,
  ffJpeg = 2,
  ffBmp = 3,
  ffQoi = 4,
  ffPnm = 5,
  ffTga = 8,
  ffWebp = 9,
  ffTiff = 10,
  ffGif = 11,
  ffPcx = 12,
};
using enum FileFormat;

// The lower-case name failure messages begin with ("png").
const char* formatName(FileFormat format);

// The decoder the first bytes select (ffAuto when none). `wide` also
// recognises PAM (P7). TGA is never detected.
FileFormat sniffFormat(ByteView data, bool wide);

struct ImageInfo {
  FileFormat format = ffAuto;
  int64_t width = 0;   // of the picture a decode gives
  int64_t height = 0;
  ColorSpace colorspace = csGray;  // of a decode with the wide flag
  // The largest width x height the headers declare for what a decode
  // allocates (a WebP canvas and its bitstream): what a pixel limit is
  // checked against.
  uint64_t declaredPixels = 0;
};

// Reads the headers of `data` as `format` (ffAuto: sniffed, PAM included).
// Fails like the decoders, with ekTruncated, ekInvalid or ekUnsupported and
// a message naming the format. Reads headers only: the cost does not grow
// with the picture.
ImageInfo probeImage(ByteView data, FileFormat format);

// Fails with ekTooLarge ("png: 268435456 pixels exceed the limit of
// 67108864") when the headers of `data`, read as `format`, declare more
// than `maxPixels` pixels. Headers the probe cannot read are left to the
// decoder, whose failure is then the one a decode without limit gives.
void checkPixelLimit(ByteView data, FileFormat format, uint64_t maxPixels);

}  // namespace kd::formats
