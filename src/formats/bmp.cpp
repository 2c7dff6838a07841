// Windows bitmap: uncompressed (BI_RGB) files with a BITMAPINFOHEADER or any
// larger DIB header at 1, 4, 8, 24 or 32 bits per pixel; under the wide
// option also OS/2 headers, 2- and 16-bit pixels, bit fields (BI_BITFIELDS,
// BI_ALPHABITFIELDS) with any contiguous masks, and RLE8 and RLE4. The
// encoder writes 24-bit or 32-bit BI_RGB files with a 40-byte
// BITMAPINFOHEADER.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "base/checked.h"
#include "formats/codecs.h"
#include "formats/pixels.h"

namespace kd::formats {

namespace {

using base::ByteReader;

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;

struct BmpHeader {
  uint64_t pixelOffset = 0;
  uint64_t dibSize = 0;
  int64_t width = 0;
  int64_t height = 0;  // absolute value; topDown tells the row order
  bool topDown = false;
  uint32_t bitsPerPixel = 0;
  uint32_t colorsUsed = 0;
  uint32_t compression = 0;
  uint32_t paletteEntryBytes = 4;  // 3 in OS/2 1.x files
  uint64_t paletteStart = 0;       // after the DIB header and any masks behind it
  std::array<uint32_t, 4> masks{};  // R, G, B, A of bit-field pixels; A 0: opaque
};

constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6;
constexpr uint32_t kOs2CoreSize = 12;
constexpr uint32_t kV3Size = 52;  // BITMAPINFOHEADER with the three colour masks
constexpr uint32_t kV3AlphaSize = 56;

// The bit-field masks: in the header from the V3 size on, else right
// behind it; 16-bit BI_RGB pixels have the fixed 5-5-5 layout.
void readMasks(ByteView data, BmpHeader& h) {
  if (h.compression != kBitFields && h.compression != kAlphaBitFields) {
    if (h.bitsPerPixel == 16) h.masks = {0x7C00, 0x03E0, 0x001F, 0};
    return;
  }
  const bool alpha = h.compression == kAlphaBitFields || h.dibSize >= kV3AlphaSize;
  const uint64_t inHeader = h.dibSize >= kV3Size ? kFileHeaderSize + kInfoHeaderSize : 0;
  const uint64_t at = inHeader != 0 ? inHeader : kFileHeaderSize + h.dibSize;
  const uint64_t count = alpha ? 4 : 3;
  if (!base::fits(data, static_cast<int64_t>(at), static_cast<int64_t>(4 * count))) {
    fail(ekTruncated, "bmp: bit-field masks truncated");
  }
  for (uint64_t i = 0; i < count; ++i) h.masks[i] = base::loadLe32(data.data() + at + 4 * i);
  if (inHeader == 0) h.paletteStart = at + 4 * count;
  for (uint32_t mask : h.masks) {
    const uint32_t shifted = mask == 0 ? 0 : mask >> std::countr_zero(mask);
    if ((shifted & (shifted + 1)) != 0) fail(ekUnsupported, "bmp: bit-field mask not contiguous");
  }
}

// The pixel formats only the wide option reads: bit fields, RLE, 2- and
// 16-bit pixels.
void checkWideFormat(const BmpHeader& h, bool os2) {
  switch (h.bitsPerPixel) {
    case 1: case 2: case 4: case 8: case 16: case 24: case 32: break;
    default: fail(ekUnsupported, "bmp: unsupported bpp");
  }
  // OS/2 2.x gives compression 3 and 4 other meanings (Huffman, RLE24).
  if (os2 && h.compression > kRle4) fail(ekUnsupported, "bmp: OS/2 compression unsupported");
  const uint32_t bits = h.bitsPerPixel;
  switch (h.compression) {
    case kRgb: return;
    case kRle8:
      if (bits != 8) fail(ekInvalid, "bmp: RLE8 needs 8 bpp");
      return;
    case kRle4:
      if (bits != 4) fail(ekInvalid, "bmp: RLE4 needs 4 bpp");
      return;
    case kBitFields:
    case kAlphaBitFields:
      if (bits != 16 && bits != 32) fail(ekInvalid, "bmp: bit fields need 16 or 32 bpp");
      return;
    default: fail(ekUnsupported, "bmp: compression unsupported");
  }
}

// `wide` also reads OS/2 headers, bit fields, RLE and 2- and 16-bit pixels.
BmpHeader readHeaders(ByteView data, bool wide) {
  requireLen(data, 18, "bmp: header truncated");
  if (data[0] != 'B' || data[1] != 'M') fail(ekUnsupported, "bmp: not a BM container");
  ByteReader r(data, "bmp: DIB header truncated");
  r.skip(10);
  BmpHeader h;
  h.pixelOffset = r.u32le();
  h.dibSize = r.u32le();
  const bool core = wide && h.dibSize == kOs2CoreSize;
  const bool shortOs2 = wide && h.dibSize >= 16 && h.dibSize < kInfoHeaderSize;
  if (h.dibSize < kInfoHeaderSize && !core && !shortOs2) {
    fail(ekUnsupported, "bmp: only BITMAPINFOHEADER-and-larger DIB headers are supported");
  }
  requireLen(data, kFileHeaderSize + std::min<uint64_t>(h.dibSize, kInfoHeaderSize),
             "bmp: DIB header truncated");
  int32_t width, height;
  uint16_t planes;
  uint32_t compression = 0;
  if (core) {
    width = r.u16le();
    height = r.u16le();
    planes = r.u16le();
    h.bitsPerPixel = r.u16le();
    h.paletteEntryBytes = 3;
  } else {
    width = static_cast<int32_t>(r.u32le());
    height = static_cast<int32_t>(r.u32le());
    planes = r.u16le();
    h.bitsPerPixel = r.u16le();
    if (h.dibSize >= 20) compression = r.u32le();
    if (h.dibSize >= 36) {
      r.skip(12);  // image size, horizontal and vertical resolution
      h.colorsUsed = r.u32le();
    }
  }
  h.compression = compression;
  h.paletteStart = kFileHeaderSize + h.dibSize;

  if (width <= 0) fail(ekInvalid, "bmp: width must be positive");
  if (height == 0) fail(ekInvalid, "bmp: height must be non-zero");
  h.width = width;
  h.height = height < 0 ? -int64_t{height} : int64_t{height};
  h.topDown = height < 0;
  // The pixel count is capped: a 1-bit file of a few hundred megabytes must
  // not unpack into many gigabytes.
  requirePixelCount(h.width, h.height, "bmp: dimensions too large");
  if (planes != 1) fail(ekUnsupported, "bmp: planes must be 1");
  if (wide) {
    checkWideFormat(h, core || shortOs2 || h.dibSize == 64);
    readMasks(data, h);
    return h;
  }
  if (compression != 0) fail(ekUnsupported, "bmp: only BI_RGB (uncompressed) is supported");
  switch (h.bitsPerPixel) {
    case 1: case 4: case 8: case 24: case 32: break;
    default: fail(ekUnsupported, "bmp: unsupported bpp");
  }
  return h;
}

// Palette entries as R, G, B, 255; `size` entries are valid.
struct Palette {
  std::array<uint8_t, 256 * 4> rgba{};
  uint32_t size = 0;
};

Palette readPalette(ByteView data, const BmpHeader& h) {
  Palette pal;
  if (h.bitsPerPixel > 8) return pal;
  pal.size = uint32_t{1} << h.bitsPerPixel;
  if (h.colorsUsed != 0 && h.colorsUsed < pal.size) pal.size = h.colorsUsed;
  const uint64_t start = h.paletteStart;
  const uint32_t entry = h.paletteEntryBytes;
  if (!base::fits(data, static_cast<int64_t>(start), int64_t{entry} * pal.size)) {
    fail(ekTruncated, "bmp: palette truncated");
  }
  // Raw loads after the one check of the whole palette.
  const uint8_t* p = data.data() + start;
  for (uint32_t i = 0; i < pal.size; ++i) {
    pal.rgba[4 * i + 0] = p[entry * i + 2];
    pal.rgba[4 * i + 1] = p[entry * i + 1];
    pal.rgba[4 * i + 2] = p[entry * i + 0];
    pal.rgba[4 * i + 3] = 255;
  }
  return pal;
}

// Unpacks one row of 1-, 4- or 8-bit indices (most significant first) into
// `indices`, then maps them through the palette. The whole row is checked
// against the palette size before any pixel is written.
void decodeIndexedRow(const uint8_t* src, uint32_t bits, int64_t width, const Palette& pal,
                      uint8_t* indices, uint8_t* dst) {
  base::unpackMsbFirst(src, static_cast<size_t>(width), bits, indices);
  uint8_t maxIndex = 0;
  for (int64_t x = 0; x < width; ++x) maxIndex = std::max(maxIndex, indices[x]);
  if (maxIndex >= pal.size) fail(ekInvalid, "bmp: palette index out of range");
  const uint8_t* table = pal.rgba.data();
  for (int64_t x = 0; x < width; ++x) std::memcpy(dst + 4 * x, table + 4 * indices[x], 4);
}

// One channel of a bit-field pixel scaled to 8 bits with rounding
// (v * 255 / max); an empty mask gives `absent`.
struct Field {
  uint32_t mask = 0;
  unsigned shift = 0;
  uint32_t max = 0;
  uint8_t absent = 0;

  Field(uint32_t m, uint8_t absentValue) : mask(m), absent(absentValue) {
    if (m == 0) return;
    shift = static_cast<unsigned>(std::countr_zero(m));
    max = m >> shift;
  }
  uint8_t operator()(uint32_t pixel) const {
    if (mask == 0) return absent;
    const uint64_t v = (pixel & mask) >> shift;
    return static_cast<uint8_t>((v * 255 + max / 2) / max);
  }
};

void decodeBitFieldRow(const uint8_t* src, const BmpHeader& h, const std::array<Field, 4>& f,
                       uint8_t* dst) {
  const bool wide = h.bitsPerPixel == 32;
  for (int64_t x = 0; x < h.width; ++x, dst += 4) {
    const uint32_t pixel = wide ? base::loadLe32(src + 4 * x) : base::loadLe16(src + 2 * x);
    for (size_t c = 0; c < 4; ++c) dst[c] = f[c](pixel);
  }
}

// Run-length coded pixels (RLE8, or RLE4 with two alternating indices per
// run byte) in file row order into `img`, whose rows grow as the runs reach
// them. Pixels the stream skips (delta, end of line or of the picture) take
// palette entry 0, as ImageMagick gives them; runs past the row end are
// dropped. The stream must reach the end of the picture or an
// end-of-picture code.
void decodeRle(ByteView data, const BmpHeader& h, const Palette& pal, Image& img) {
  const size_t width = static_cast<size_t>(h.width);
  const size_t height = static_cast<size_t>(h.height);
  const size_t rowBytes = width * 4;
  const uint8_t* skipped = pal.rgba.data();
  auto rowAt = [&](size_t y) {
    while (img.pixels.size() <= y * rowBytes) {
      const size_t from = img.pixels.size();
      img.pixels.resize(from + rowBytes);
      for (size_t i = from; i < img.pixels.size(); i += 4) std::memcpy(&img.pixels[i], skipped, 4);
    }
    return img.pixels.data() + y * rowBytes;
  };
  auto put = [&](size_t x, size_t y, unsigned index) {
    if (index >= pal.size) fail(ekInvalid, "bmp: palette index out of range");
    if (x < width) std::memcpy(rowAt(y) + 4 * x, &pal.rgba[4 * index], 4);
  };
  const bool four = h.compression == kRle4;
  ByteReader r(data.subspan(static_cast<size_t>(h.pixelOffset)), "bmp: RLE data truncated");
  size_t x = 0, y = 0;
  while (y < height) {
    const unsigned count = r.u8(), value = r.u8();
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i, ++x) {
        put(x, y, four ? (i % 2 == 0 ? value >> 4 : value & 15) : value);
      }
    } else if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      x += r.u8();
      y += r.u8();
    } else {
      const ByteView run = r.take(four ? (value + 1) / 2 : value);
      for (unsigned i = 0; i < value; ++i, ++x) {
        put(x, y, four ? (i % 2 == 0 ? run[i / 2] >> 4 : run[i / 2] & 15) : run[i]);
      }
      if (run.size() % 2 != 0) r.skip(1);  // runs end on a 16-bit boundary
    }
  }
  rowAt(height - 1);
}

// Reverses the order of the rows in place.
void flipRows(Image& img) {
  const size_t row = static_cast<size_t>(img.width * img.channels);
  uint8_t* top = img.pixels.data();
  uint8_t* bottom = top + img.pixels.size() - row;
  for (; top < bottom; top += row, bottom -= row) std::swap_ranges(top, top + row, bottom);
}

Image decodeBmpWith(ByteView data, const DecodeOptions& opts) {
  const BmpHeader h = readHeaders(data, opts.wide);
  requirePixelLimit("bmp", static_cast<uint64_t>(h.width * h.height), opts.maxPixels);
  const Palette pal = readPalette(data, h);

  if (h.pixelOffset < h.paletteStart + uint64_t{h.paletteEntryBytes} * pal.size) {
    fail(ekInvalid, "bmp: pixel offset overlaps header or palette");
  }
  const bool rgb = h.bitsPerPixel == 24 && h.compression == kRgb;
  if (h.compression == kRle4 || h.compression == kRle8) {
    if (h.pixelOffset >= data.size()) fail(ekTruncated, "bmp: RLE data truncated");
    Image img;
    img.width = h.width;
    img.height = h.height;
    img.colorspace = csRgba;
    img.channels = 4;
    // Address space for the whole picture; pages are touched as rows come.
    img.pixels.reserve(sampleCount(h.width, h.height, csRgba));
    decodeRle(data, h, pal, img);
    if (!h.topDown) flipRows(img);
    return img;
  }
  const uint64_t rowBytes = (uint64_t{h.bitsPerPixel} * static_cast<uint64_t>(h.width) + 31) / 32 * 4;
  uint64_t pixelBytes;
  if (!base::checkedMul(rowBytes, static_cast<uint64_t>(h.height), pixelBytes) ||
      pixelBytes > data.size() || h.pixelOffset > data.size() - pixelBytes) {
    fail(ekTruncated, "bmp: pixel data truncated");
  }

  // Rows are read through raw pointers: the check above covers all of them.
  Image img = newImage(h.width, h.height, rgb ? csRgb : csRgba);
  const size_t outRow = static_cast<size_t>(h.width * img.channels);
  Bytes indices(h.bitsPerPixel <= 8 ? static_cast<size_t>(h.width) : 0);
  const std::array<Field, 4> fields = {Field(h.masks[0], 0), Field(h.masks[1], 0),
                                       Field(h.masks[2], 0), Field(h.masks[3], 255)};
  const bool bitFields = h.bitsPerPixel == 16 || h.compression != kRgb;
  const uint8_t* pixels = data.data() + h.pixelOffset;
  for (int64_t y = 0; y < h.height; ++y) {
    const int64_t fileRow = h.topDown ? y : h.height - 1 - y;
    const uint8_t* src = pixels + static_cast<uint64_t>(fileRow) * rowBytes;
    uint8_t* dst = img.pixels.data() + static_cast<size_t>(y) * outRow;
    if (bitFields) {
      decodeBitFieldRow(src, h, fields, dst);
      continue;
    }
    switch (h.bitsPerPixel) {
      case 24:
        swapRedBlue(src, dst, static_cast<size_t>(h.width), 3);
        break;
      case 32:
        // The fourth byte is padding in BI_RGB files: alpha is always opaque.
        for (int64_t x = 0; x < h.width; ++x) {
          dst[4 * x + 0] = src[4 * x + 2];
          dst[4 * x + 1] = src[4 * x + 1];
          dst[4 * x + 2] = src[4 * x + 0];
          dst[4 * x + 3] = 255;
        }
        break;
      default:
        decodeIndexedRow(src, h.bitsPerPixel, h.width, pal, indices.data(), dst);
        break;
    }
  }
  return img;
}

}  // namespace

Image decodeBmp(ByteView data) { return decodeBmpWith(data, DecodeOptions{}); }

Image decodeBmp(ByteView data, const DecodeOptions& opts) { return decodeBmpWith(data, opts); }

void encodeBmpTo(const Image& img, base::HeapBytes& out) {
  if (img.colorspace != csRgb && img.colorspace != csRgba) {
    fail(ekUnsupported, "bmp: encode needs csRgb or csRgba");
  }
  const uint64_t bytesPerPixel = img.colorspace == csRgb ? 3 : 4;
  const uint64_t width = static_cast<uint64_t>(img.width);
  const uint64_t height = static_cast<uint64_t>(img.height);
  constexpr uint64_t kFieldMax = 0xFFFFFFFF;
  const char* tooLarge = "bmp: encoded size exceeds the 32-bit BMP fields";
  uint64_t rowBytes, imageSize;
  if (!base::checkedMul(bytesPerPixel, width, rowBytes) || rowBytes > kFieldMax) {
    fail(ekTooLarge, tooLarge);
  }
  rowBytes = (rowBytes + 3) / 4 * 4;
  if (!base::checkedMul(rowBytes, height, imageSize) || imageSize > kFieldMax - 54) {
    fail(ekTooLarge, tooLarge);
  }
  const uint64_t fileSize = imageSize + 54;

  out.resize(static_cast<size_t>(fileSize));
  uint8_t* p = out.data();
  auto put16 = [&p](uint16_t v) {
    base::storeLe16(p, v);
    p += 2;
  };
  auto put32 = [&p](uint32_t v) {
    base::storeLe32(p, v);
    p += 4;
  };
  *p++ = 'B';
  *p++ = 'M';
  put32(static_cast<uint32_t>(fileSize));
  put32(0);
  put32(54);
  put32(kInfoHeaderSize);
  put32(static_cast<uint32_t>(width));
  put32(static_cast<uint32_t>(height));
  put16(1);
  put16(static_cast<uint16_t>(bytesPerPixel * 8));
  put32(0);
  put32(static_cast<uint32_t>(imageSize));
  put32(2835);
  put32(2835);
  put32(0);
  put32(0);

  const size_t srcRow = static_cast<size_t>(width * bytesPerPixel);
  for (uint64_t row = 0; row < height; ++row) {
    const uint8_t* src = img.pixels.data() + static_cast<size_t>(height - 1 - row) * srcRow;
    uint8_t* dst = out.data() + 54 + static_cast<size_t>(row * rowBytes);
    swapRedBlue(src, dst, static_cast<size_t>(width), static_cast<size_t>(bytesPerPixel));
    std::memset(dst + srcRow, 0, static_cast<size_t>(rowBytes) - srcRow);  // row padding
  }
}

Bytes encodeBmp(const Image& img) {
  base::HeapBytes out;
  encodeBmpTo(img, out);
  return out.toBytes();
}

}  // namespace kd::formats
