// ZSoft PCX: 24-bit colour as three 8-bit planes, 8-bit single plane (with
// the trailing 256-colour palette, or greyscale) and 1-bit monochrome, raw or
// run-length encoded. There is no encoder.
#include <algorithm>
#include <cstring>

#include "formats/codecs.h"

namespace kd::formats {

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kPaletteSize = 768;
constexpr uint8_t kPaletteMarker = 12;
constexpr int64_t kLongestRun = 63;

enum class PcxLayout : uint8_t { plRgb, plGray, plPalette, plMono };
using enum PcxLayout;

struct PcxHeader {
  bool rle = false;
  int64_t width = 0;
  int64_t height = 0;
  PcxLayout layout = plRgb;
  size_t planes = 0;
  size_t bytesPerLine = 0;
};

PcxHeader readHeader(ByteView d) {
  requireLen(d, kHeaderSize, "pcx: header truncated");
  base::ByteReader r(d.first(kHeaderSize), "pcx: header truncated");
  const uint8_t manufacturer = r.u8(), version = r.u8(), encoding = r.u8();
  if (manufacturer != 0x0A) fail(ekUnsupported, "pcx: not a ZSoft PCX");
  if (version > 5) fail(ekUnsupported, "pcx: unsupported version");
  if (encoding > 1) fail(ekUnsupported, "pcx: unsupported encoding");
  PcxHeader h;
  h.rle = encoding == 1;
  const uint8_t bits = r.u8();
  const uint16_t xmin = r.u16le(), ymin = r.u16le(), xmax = r.u16le(), ymax = r.u16le();
  if (xmax < xmin || ymax < ymin) fail(ekInvalid, "pcx: bad dimensions");
  h.width = int64_t{xmax} - xmin + 1;
  h.height = int64_t{ymax} - ymin + 1;
  requirePixelCount(h.width, h.height, "pcx: too many pixels");

  r.seek(65, "pcx: header truncated");  // after the resolution and the 16-colour map
  h.planes = r.u8();
  h.bytesPerLine = r.u16le();
  const uint16_t paletteInfo = r.u16le();
  if (h.planes == 3 && bits == 8) {
    h.layout = plRgb;
  } else if (h.planes == 1 && bits == 8) {
    h.layout = paletteInfo == 2 ? plGray : plPalette;
  } else if (h.planes == 1 && bits == 1) {
    h.layout = plMono;
  } else {
    fail(ekUnsupported, "pcx: unsupported pixel layout");
  }
  const size_t need = static_cast<size_t>(bits == 8 ? h.width : (h.width + 7) / 8);
  if (bits == 8 && h.bytesPerLine < need) fail(ekInvalid, "pcx: bpl smaller than width");
  if (bits == 1 && h.bytesPerLine < need) fail(ekInvalid, "pcx: bpl too small for mono");
  if (h.bytesPerLine > need + 1) fail(ekInvalid, "pcx: bpl too large for width");
  return h;
}

// Decodes one scanline of `n` bytes (all planes) from p; returns the new
// input position.
const uint8_t* decodeScanline(const uint8_t* p, const uint8_t* end, bool rle, uint8_t* line,
                              size_t n) {
  if (!rle) {
    if (static_cast<size_t>(end - p) < n) fail(ekTruncated, "pcx: pixel data truncated");
    std::memcpy(line, p, n);
    return p + n;
  }
  size_t i = 0;
  // Tokens take one or two bytes: no input test is needed while two remain.
  while (i < n && end - p >= 2) {
    const uint8_t b = *p++;
    if (b < 0xC0) {
      line[i++] = b;
      continue;
    }
    const size_t count = b & 0x3F;
    if (count > n - i) fail(ekInvalid, "pcx: RLE overruns scanline");
    std::memset(line + i, *p++, count);
    i += count;
  }
  while (i < n) {
    if (p == end) fail(ekTruncated, "pcx: pixel data truncated");
    const uint8_t b = *p++;
    if (b < 0xC0) {
      line[i++] = b;
      continue;
    }
    if (p == end) fail(ekTruncated, "pcx: RLE value truncated");
    const size_t count = b & 0x3F;
    if (count > n - i) fail(ekInvalid, "pcx: RLE overruns scanline");
    std::memset(line + i, *p++, count);
    i += count;
  }
  return p;
}

void convertRow(const PcxHeader& h, const uint8_t* line, const uint8_t* palette, uint8_t* dst) {
  const int64_t width = h.width;
  switch (h.layout) {
    case plRgb: {
      const uint8_t* r = line;
      const uint8_t* g = line + h.bytesPerLine;
      const uint8_t* b = line + 2 * h.bytesPerLine;
      for (int64_t x = 0; x < width; ++x) {
        dst[3 * x + 0] = r[x];
        dst[3 * x + 1] = g[x];
        dst[3 * x + 2] = b[x];
      }
      break;
    }
    case plGray:
      std::memcpy(dst, line, static_cast<size_t>(width));
      break;
    case plPalette:
      for (int64_t x = 0; x < width; ++x) {
        const uint8_t* e = palette + 3 * line[x];
        dst[4 * x + 0] = e[0];
        dst[4 * x + 1] = e[1];
        dst[4 * x + 2] = e[2];
        dst[4 * x + 3] = 255;
      }
      break;
    case plMono:
      // Set bits are black.
      base::unpackMsbFirst(line, static_cast<size_t>(width), 1, dst);
      for (int64_t x = 0; x < width; ++x) dst[x] = dst[x] ? 0 : 255;
      break;
  }
}

}  // namespace

Image decodePcx(ByteView d) {
  const PcxHeader h = readHeader(d);
  const size_t lineBytes = h.bytesPerLine * h.planes;
  const uint8_t* p = d.data() + kHeaderSize;
  const uint8_t* end = d.data() + d.size();
  Bytes line(lineBytes);

  // The palette sits in the last 768 bytes, after the marker byte 12.
  const bool hasPalette =
      d.size() > kPaletteSize && d[d.size() - kPaletteSize - 1] == kPaletteMarker;
  const uint8_t* palette = hasPalette ? end - kPaletteSize : nullptr;

  // A run byte pair yields at most 63 bytes. An input that cannot hold the
  // scanlines, or a palette file without its palette, is decoded into one
  // scratch scanline for its error, without allocating the picture.
  const uint64_t totalBytes = static_cast<uint64_t>(lineBytes) * static_cast<uint64_t>(h.height);
  const uint64_t available = static_cast<uint64_t>(end - p);
  const bool tooShort = h.rle ? available < totalBytes / kLongestRun : available < totalBytes;
  if (tooShort || (h.layout == plPalette && !hasPalette)) {
    for (int64_t y = 0; y < h.height; ++y) p = decodeScanline(p, end, h.rle, line.data(), lineBytes);
    fail(ekInvalid, "pcx: missing 256-color palette");
  }

  Image img = newImage(h.width, h.height,
                       h.layout == plRgb       ? csRgb
                       : h.layout == plPalette ? csRgba
                                               : csGray);
  const size_t outRow = static_cast<size_t>(h.width * img.channels);
  for (int64_t y = 0; y < h.height; ++y) {
    p = decodeScanline(p, end, h.rle, line.data(), lineBytes);
    convertRow(h, line.data(), palette, img.pixels.data() + static_cast<size_t>(y) * outRow);
  }
  return img;
}

}  // namespace kd::formats
