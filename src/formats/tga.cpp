// Truevision TGA: uncompressed and run-length-encoded colour-mapped,
// true-colour and grey files. The encoder writes uncompressed true-colour or
// grey files with rows bottom to top.
#include <algorithm>
#include <array>
#include <cstring>

#include "base/checked.h"
#include "formats/codecs.h"
#include "formats/pixels.h"

namespace kd::formats {

namespace {

constexpr size_t kHeaderSize = 18;
constexpr int64_t kLongestPacket = 128;

enum class PixelKind : uint8_t { pkIndex, pkGray, pkTrue };
using enum PixelKind;

// How stored pixels turn into output pixels.
struct TgaLayout {
  PixelKind kind = pkTrue;
  size_t storedBytes = 0;  // bytes of one stored pixel
  ColorSpace colorspace = csRgb;
  size_t outBytes = 0;
  // Colour-mapped files: output pixel for every possible index byte, and
  // whether that byte (minus the first entry index) names a map entry.
  std::array<uint8_t, 256 * 4> lut{};
  std::array<bool, 256> valid{};
};

const char* truncatedMessage(const TgaLayout& l) {
  return l.kind == pkIndex ? "tga: index truncated" : "tga: pixel truncated";
}

// Converts n stored pixels; the caller has checked that they are present.
void convertPixels(const TgaLayout& l, const uint8_t* src, int64_t n, uint8_t* dst) {
  switch (l.kind) {
    case pkGray:
      std::memcpy(dst, src, static_cast<size_t>(n));
      break;
    case pkIndex: {
      bool bad = false;
      const size_t out = l.outBytes;
      for (int64_t i = 0; i < n; ++i) {
        bad |= !l.valid[src[i]];
        std::memcpy(dst + out * i, l.lut.data() + 4 * src[i], out);
      }
      if (bad) fail(ekInvalid, "tga: palette index out of range");
      break;
    }
    case pkTrue:
      swapRedBlue(src, dst, static_cast<size_t>(n), static_cast<size_t>(l.storedBytes));
      break;
  }
}

// Converts the whole stored pixels among `available` bytes (fewer than n
// pixels' worth), then fails: an earlier bad index wins over the
// truncation.
[[noreturn]] void convertThenFailTruncated(const TgaLayout& l, const uint8_t* src,
                                           size_t available, uint8_t* scratch) {
  const int64_t whole = static_cast<int64_t>(available / l.storedBytes);
  for (int64_t i = 0; i < whole; ++i) convertPixels(l, src + i * l.storedBytes, 1, scratch);
  fail(ekTruncated, truncatedMessage(l));
}

// Packet state carried from row to row: packets may cross row boundaries.
struct RleState {
  const uint8_t* p;
  const uint8_t* end;
  int64_t pixelsLeft;     // pixels of the picture not yet produced
  int64_t packetLeft = 0;  // pixels of the current packet not yet produced
  bool repeat = false;
  uint8_t pixel[4] = {};  // converted pixel of a repeat packet
};

void decodeRleRow(const TgaLayout& l, RleState& s, int64_t width, uint8_t* dst) {
  const size_t out = l.outBytes;
  int64_t x = 0;
  while (x < width) {
    if (s.packetLeft == 0) {
      if (s.p == s.end) fail(ekTruncated, "tga: RLE stream truncated");
      const uint8_t header = *s.p++;
      const int64_t count = (header & 0x7F) + 1;
      if (count > s.pixelsLeft) fail(ekInvalid, "tga: RLE exceeds image");
      s.packetLeft = count;
      s.repeat = (header & 0x80) != 0;
      if (s.repeat) {
        if (static_cast<size_t>(s.end - s.p) < l.storedBytes) fail(ekTruncated, truncatedMessage(l));
        convertPixels(l, s.p, 1, s.pixel);
        s.p += l.storedBytes;
      }
    }
    const int64_t n = std::min(s.packetLeft, width - x);
    uint8_t* o = dst + out * static_cast<size_t>(x);
    if (s.repeat) {
      for (int64_t i = 0; i < n; ++i) std::memcpy(o + out * i, s.pixel, out);
    } else {
      const size_t bytes = static_cast<size_t>(n) * l.storedBytes;
      const size_t available = static_cast<size_t>(s.end - s.p);
      if (available < bytes) convertThenFailTruncated(l, s.p, available, o);
      convertPixels(l, s.p, n, o);
      s.p += bytes;
    }
    x += n;
    s.packetLeft -= n;
    s.pixelsLeft -= n;
  }
}

struct TgaHeader {
  uint8_t idLength;
  uint8_t colorMapType;
  uint8_t imageType;
  uint16_t firstEntry;
  uint16_t mapLength;
  uint8_t mapEntryBits;
  int64_t width;
  int64_t height;
  uint8_t depth;
  bool topDown;
};

TgaHeader readHeader(ByteView data) {
  requireLen(data, kHeaderSize, "tga: header truncated");
  base::ByteReader r(data.first(kHeaderSize), "tga: header truncated");
  TgaHeader h;
  h.idLength = r.u8();
  h.colorMapType = r.u8();
  h.imageType = r.u8();
  h.firstEntry = r.u16le();
  h.mapLength = r.u16le();
  h.mapEntryBits = r.u8();
  r.skip(4);  // x and y origin
  h.width = r.u16le();
  h.height = r.u16le();
  h.depth = r.u8();
  h.topDown = (r.u8() & 0x20) != 0;
  const uint8_t base = h.imageType & 0xF7;
  if (base != 1 && base != 2 && base != 3) fail(ekUnsupported, "tga: unsupported image type");
  if (h.width == 0 || h.height == 0) fail(ekInvalid, "tga: bad dimensions");
  requirePixelCount(h.width, h.height, "tga: too many pixels");
  return h;
}

// Validates the pixel format and reads the colour map; returns the offset
// of the pixel data.
size_t readLayout(ByteView data, const TgaHeader& h, TgaLayout& l) {
  size_t offset = kHeaderSize + h.idLength;
  switch (h.imageType & 0xF7) {
    case 1: {
      if (h.colorMapType != 1) fail(ekInvalid, "tga: color-mapped image has no color map");
      if (h.mapEntryBits != 24 && h.mapEntryBits != 32) {
        fail(ekUnsupported, "tga: palette must be 24/32-bit");
      }
      const size_t entryBytes = h.mapEntryBits / 8;
      const size_t mapBytes = entryBytes * h.mapLength;
      if (!base::fits(data, static_cast<int64_t>(offset), static_cast<int64_t>(mapBytes))) {
        fail(ekTruncated, "tga: color map truncated");
      }
      if (h.depth != 8) fail(ekUnsupported, "tga: index depth must be 8");
      l.kind = pkIndex;
      l.storedBytes = 1;
      l.colorspace = entryBytes == 3 ? csRgb : csRgba;
      l.outBytes = entryBytes;
      const uint8_t* map = data.data() + offset;
      for (int index = 0; index < 256; ++index) {
        const int entry = index - h.firstEntry;
        if (entry < 0 || entry >= h.mapLength) continue;
        const uint8_t* e = map + entryBytes * static_cast<size_t>(entry);
        uint8_t* o = l.lut.data() + 4 * index;
        o[0] = e[2];
        o[1] = e[1];
        o[2] = e[0];
        o[3] = entryBytes == 4 ? e[3] : 255;
        l.valid[static_cast<size_t>(index)] = true;
      }
      return offset + mapBytes;
    }
    case 3:
      if (h.colorMapType == 1) fail(ekInvalid, "tga: color map present but image is not color-mapped");
      if (h.depth != 8) fail(ekUnsupported, "tga: grayscale depth must be 8");
      l.kind = pkGray;
      l.storedBytes = 1;
      l.colorspace = csGray;
      l.outBytes = 1;
      return offset;
    default:
      if (h.colorMapType == 1) fail(ekInvalid, "tga: color map present but image is not color-mapped");
      if (h.depth != 24 && h.depth != 32) fail(ekUnsupported, "tga: 16-bit truecolor unsupported");
      l.kind = pkTrue;
      l.storedBytes = h.depth / 8;
      l.colorspace = h.depth == 24 ? csRgb : csRgba;
      l.outBytes = l.storedBytes;
      return offset;
  }
}

}  // namespace

Image decodeTga(ByteView data) {
  const TgaHeader h = readHeader(data);
  TgaLayout layout;
  const size_t offset = readLayout(data, h, layout);
  const uint8_t* p = data.data() + std::min(offset, data.size());
  const uint8_t* end = data.data() + data.size();
  const size_t available = static_cast<size_t>(end - p);
  const int64_t pixels = h.width * h.height;
  const size_t outRow = static_cast<size_t>(h.width) * layout.outBytes;
  auto outputRow = [&](Image& img, int64_t fileRow) {
    const int64_t y = h.topDown ? fileRow : h.height - 1 - fileRow;
    return img.pixels.data() + static_cast<size_t>(y) * outRow;
  };

  if ((h.imageType & 0x08) == 0) {
    const size_t needed = static_cast<size_t>(pixels) * layout.storedBytes;
    if (available < needed) {
      Bytes scratch(layout.outBytes);
      convertThenFailTruncated(layout, p, available, scratch.data());
    }
    Image img = newImage(h.width, h.height, layout.colorspace);
    const size_t inRow = static_cast<size_t>(h.width) * layout.storedBytes;
    for (int64_t row = 0; row < h.height; ++row, p += inRow) {
      convertPixels(layout, p, h.width, outputRow(img, row));
    }
    return img;
  }

  RleState s{p, end, pixels};
  // Every packet takes a header byte and at least one stored pixel and
  // yields at most 128 pixels. A shorter input is decoded into one scratch
  // row for its error, without allocating the announced picture.
  const int64_t packets = (pixels + kLongestPacket - 1) / kLongestPacket;
  if (static_cast<uint64_t>(available) / (layout.storedBytes + 1) < static_cast<uint64_t>(packets)) {
    Bytes scratch(outRow);
    for (int64_t row = 0; row < h.height; ++row) decodeRleRow(layout, s, h.width, scratch.data());
    fail(ekTruncated, "tga: RLE stream truncated");  // not reached
  }
  Image img = newImage(h.width, h.height, layout.colorspace);
  for (int64_t row = 0; row < h.height; ++row) {
    decodeRleRow(layout, s, h.width, outputRow(img, row));
  }
  return img;
}

void encodeTgaTo(const Image& img, base::HeapBytes& out) {
  uint8_t type, depth;
  switch (img.colorspace) {
    case csRgb: type = 2; depth = 24; break;
    case csRgba: type = 2; depth = 32; break;
    case csGray: type = 3; depth = 8; break;
    default: fail(ekUnsupported, "tga: encode needs csRgb, csRgba, or csGray");
  }
  if (img.width > 65535 || img.height > 65535) {
    fail(ekInvalid, "tga: dimensions exceed the 16-bit header fields");
  }
  out.resize(kHeaderSize + img.pixels.size());
  uint8_t* p = out.data();
  std::memset(p, 0, kHeaderSize);
  p[2] = type;
  base::storeLe16(p + 12, static_cast<uint16_t>(img.width));
  base::storeLe16(p + 14, static_cast<uint16_t>(img.height));
  p[16] = depth;

  const size_t channels = static_cast<size_t>(img.channels);
  const size_t rowBytes = static_cast<size_t>(img.width) * channels;
  const int64_t width = img.width;
  for (int64_t row = 0; row < img.height; ++row) {
    const uint8_t* src = img.pixels.data() + static_cast<size_t>(img.height - 1 - row) * rowBytes;
    uint8_t* dst = out.data() + kHeaderSize + static_cast<size_t>(row) * rowBytes;
    if (channels == 1) {
      std::memcpy(dst, src, rowBytes);
    } else {
      swapRedBlue(src, dst, static_cast<size_t>(width), channels);
    }
  }
}

Bytes encodeTga(const Image& img) {
  base::HeapBytes out;
  encodeTgaTo(img, out);
  return out.toBytes();
}

}  // namespace kd::formats
