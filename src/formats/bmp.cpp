// Windows bitmap: uncompressed (BI_RGB) files with a BITMAPINFOHEADER or any
// larger DIB header at 1, 4, 8, 24 or 32 bits per pixel. The encoder writes
// 24-bit or 32-bit BI_RGB files with a 40-byte BITMAPINFOHEADER.
#include <algorithm>
#include <array>
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
};

BmpHeader readHeaders(ByteView data) {
  requireLen(data, 18, "bmp: header truncated");
  if (data[0] != 'B' || data[1] != 'M') fail(ekUnsupported, "bmp: not a BM container");
  ByteReader r(data, "bmp: DIB header truncated");
  r.skip(10);
  BmpHeader h;
  h.pixelOffset = r.u32le();
  h.dibSize = r.u32le();
  if (h.dibSize < kInfoHeaderSize) {
    fail(ekUnsupported, "bmp: only BITMAPINFOHEADER-and-larger DIB headers are supported");
  }
  requireLen(data, kFileHeaderSize + kInfoHeaderSize, "bmp: DIB header truncated");
  const int32_t width = static_cast<int32_t>(r.u32le());
  const int32_t height = static_cast<int32_t>(r.u32le());
  const uint16_t planes = r.u16le();
  h.bitsPerPixel = r.u16le();
  const uint32_t compression = r.u32le();
  r.skip(12);  // image size, horizontal and vertical resolution
  h.colorsUsed = r.u32le();

  if (width <= 0) fail(ekInvalid, "bmp: width must be positive");
  if (height == 0) fail(ekInvalid, "bmp: height must be non-zero");
  h.width = width;
  h.height = height < 0 ? -int64_t{height} : int64_t{height};
  h.topDown = height < 0;
  // The pixel count is capped: a 1-bit file of a few hundred megabytes must
  // not unpack into many gigabytes.
  requirePixelCount(h.width, h.height, "bmp: dimensions too large");
  if (planes != 1) fail(ekUnsupported, "bmp: planes must be 1");
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
  const uint64_t start = kFileHeaderSize + h.dibSize;
  if (!base::fits(data, static_cast<int64_t>(start), int64_t{4} * pal.size)) {
    fail(ekTruncated, "bmp: palette truncated");
  }
  // Raw loads after the one check of the whole palette.
  const uint8_t* p = data.data() + start;
  for (uint32_t i = 0; i < pal.size; ++i) {
    pal.rgba[4 * i + 0] = p[4 * i + 2];
    pal.rgba[4 * i + 1] = p[4 * i + 1];
    pal.rgba[4 * i + 2] = p[4 * i + 0];
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

}  // namespace

Image decodeBmp(ByteView data) {
  const BmpHeader h = readHeaders(data);
  const Palette pal = readPalette(data, h);

  if (h.pixelOffset < kFileHeaderSize + h.dibSize + uint64_t{4} * pal.size) {
    fail(ekInvalid, "bmp: pixel offset overlaps header or palette");
  }
  const uint64_t rowBytes = (uint64_t{h.bitsPerPixel} * static_cast<uint64_t>(h.width) + 31) / 32 * 4;
  uint64_t pixelBytes;
  if (!base::checkedMul(rowBytes, static_cast<uint64_t>(h.height), pixelBytes) ||
      pixelBytes > data.size() || h.pixelOffset > data.size() - pixelBytes) {
    fail(ekTruncated, "bmp: pixel data truncated");
  }

  // Rows are read through raw pointers: the check above covers all of them.
  Image img = newImage(h.width, h.height, h.bitsPerPixel == 24 ? csRgb : csRgba);
  const size_t outRow = static_cast<size_t>(h.width * img.channels);
  Bytes indices(h.bitsPerPixel <= 8 ? static_cast<size_t>(h.width) : 0);
  const uint8_t* pixels = data.data() + h.pixelOffset;
  for (int64_t y = 0; y < h.height; ++y) {
    const int64_t fileRow = h.topDown ? y : h.height - 1 - y;
    const uint8_t* src = pixels + static_cast<uint64_t>(fileRow) * rowBytes;
    uint8_t* dst = img.pixels.data() + static_cast<size_t>(y) * outRow;
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
