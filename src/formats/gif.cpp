// GIF decoder: header and global colour table, then a walk over the blocks
// to the first image descriptor (extensions skipped, the transparent index
// of a Graphic Control Extension kept), then that image's LZW data.
//
// The frame size comes from the file and may claim 2^30 pixels in a few
// bytes; the index buffer starts no larger than the LZW payload can fill
// (the k-th code after a clear yields at most k indices). The indices decode
// into the front of the picture's own buffer, which then expands them to
// RGBA in place, so the picture is held once: when the payload can fill the
// frame, the buffer reserves the picture's address space up front and its
// pages are touched only as indices come.
#include "formats/gif.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "base/checked.h"
#include "formats/codecs.h"
#include "formats/lzw.h"

namespace kd::formats {

namespace gif {

namespace {

constexpr size_t kHeaderSize = 13;
constexpr size_t kDescriptorSize = 10;
constexpr size_t kGceSize = 8;

// Most indices `bytes` of payload can decode to with codes of at least
// `minWidth` bits.
size_t lzwBoundForPayload(size_t bytes, unsigned minWidth) {
  const uint64_t most = lzwBound(uint64_t{bytes} * 8 / minWidth + 1);
  return most > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(most);
}

// A colour table of RGB triples as pixels R | G << 8 | B << 16 | A << 24.
struct Palette {
  std::array<uint32_t, 256> rgba{};
  size_t size = 0;
};

Palette readPalette(ByteView table) {
  Palette p;
  p.size = table.size() / 3;
  for (size_t i = 0; i < p.size; ++i) {
    p.rgba[i] = base::loadLe24(table.data() + 3 * i) | 0xFF000000u;
  }
  return p;
}

size_t tableBytes(uint8_t packed) { return 3 * (size_t{2} << (packed & 7)); }

}  // namespace

Bytes readSubBlocks(base::ByteReader& r) {
  // The blocks' total first, so the payload is allocated once; a copy of
  // the reader walks them and fails where the reading would.
  size_t total = 0;
  base::ByteReader walk = r;
  for (size_t len; (len = walk.u8()) != 0; total += len) walk.skip(len);
  Bytes out;
  out.reserve(total);
  for (size_t len; (len = r.u8()) != 0;) {
    const ByteView block = r.take(len);
    out.insert(out.end(), block.begin(), block.end());
  }
  return out;
}

// lzwDecode into a buffer whose capacity is `reserve` bytes (none when 0).
Bytes lzwDecodeReserving(unsigned minCodeSize, ByteView payload, size_t pixelCount,
                         size_t reserve) {
  if (minCodeSize < 2 || minCodeSize > 8) fail(ekInvalid, "gif: bad LZW min code size");
  const LzwRules rules = {minCodeSize,
                          /*msbFirst=*/false,
                          /*earlyChange=*/false,
                          /*failOnTruncation=*/true,
                          "gif: LZW stream truncated",
                          "gif: bad LZW code",
                          "gif: bad LZW code",
                          "gif: LZW output exceeds the frame size"};
  Bytes out;
  out.reserve(reserve);
  out.resize(std::min(pixelCount, lzwBoundForPayload(payload.size(), minCodeSize + 1)));
  out.resize(lzwDecodeInto(payload, pixelCount, out, rules));
  return out;
}

// Expands the indices at the front of `pixels` to RGBA over the whole
// buffer, from the last pixel back: pixel i's four bytes land at 4i, at or
// past its own index and beyond every earlier index.
void expandInPlace(Bytes& pixels, size_t count, const Palette& palette) {
  pixels.resize(count * 4);
  uint8_t* p = pixels.data();
  for (size_t i = count; i-- > 0;) base::storeLe32(p + 4 * i, palette.rgba[p[i]]);
}

// Moves the rows of an interlaced picture (stored pass by pass) into
// top-to-bottom order in place, one cycle of the row permutation at a time
// through a single row of scratch.
void deinterlaceInPlace(Bytes& pixels, size_t rowBytes, size_t height) {
  static constexpr std::array<std::pair<size_t, size_t>, 4> kPasses = {
      {{0, 8}, {4, 8}, {2, 4}, {1, 2}}};
  std::vector<uint32_t> storedAt(height);  // the stored row of each output row
  size_t stored = 0;
  for (auto [first, step] : kPasses) {
    for (size_t y = first; y < height; y += step) storedAt[y] = static_cast<uint32_t>(stored++);
  }
  std::vector<bool> placed(height);
  Bytes held(rowBytes);
  auto row = [&](size_t y) { return pixels.data() + y * rowBytes; };
  for (size_t start = 0; start < height; ++start) {
    if (placed[start] || storedAt[start] == start) continue;
    std::memcpy(held.data(), row(start), rowBytes);
    for (size_t y = start;;) {
      placed[y] = true;
      const size_t from = storedAt[y];
      if (from == start) {
        std::memcpy(row(y), held.data(), rowBytes);
        break;
      }
      std::memcpy(row(y), row(from), rowBytes);
      y = from;
    }
  }
}

Bytes lzwDecode(unsigned minCodeSize, ByteView payload, size_t pixelCount) {
  return lzwDecodeReserving(minCodeSize, payload, pixelCount, 0);
}

}  // namespace gif

Image decodeGif(ByteView data) {
  using namespace gif;
  requireLen(data, kHeaderSize, "gif: header truncated");
  if (std::memcmp(data.data(), "GIF", 3) != 0) fail(ekUnsupported, "gif: bad signature");
  if (data[3] != '8' || (data[4] != '7' && data[4] != '9') || data[5] != 'a') {
    fail(ekUnsupported, "gif: unsupported version");
  }
  const uint16_t screenWidth = base::loadLe16(data.data() + 6);
  const uint16_t screenHeight = base::loadLe16(data.data() + 8);
  if (screenWidth == 0 || screenHeight == 0) fail(ekInvalid, "gif: bad dimensions");
  requirePixelCount(screenWidth, screenHeight, "gif: too many pixels");
  // Data sub-blocks fail with the reader's message; every other read names
  // its own.
  base::ByteReader r(data, "gif: sub-block truncated");
  r.skip(kHeaderSize);
  Palette palette;
  if (data[10] & 0x80) {
    palette = readPalette(r.take(tableBytes(data[10]), "gif: global color table truncated"));
  }

  int transparent = -1;
  for (;;) {
    if (r.atEnd()) fail(ekTruncated, "gif: no image descriptor");
    const uint8_t marker = r.rest()[0];
    if (marker == 0x2C) break;
    if (marker == 0x3B) fail(ekInvalid, "gif: no image data");
    if (marker != 0x21) fail(ekInvalid, "gif: unknown block marker");
    r.need(2, "gif: extension truncated");
    if (r.rest()[1] == 0xF9) {
      const ByteView gce = r.take(kGceSize, "gif: GCE truncated");
      if (gce[3] & 1) transparent = gce[6];
    } else {
      r.skip(2);
      (void)readSubBlocks(r);
    }
  }

  const ByteView descriptor = r.take(kDescriptorSize, "gif: image descriptor truncated");
  const size_t width = base::loadLe16(descriptor.data() + 5);
  const size_t height = base::loadLe16(descriptor.data() + 7);
  const uint8_t packed = descriptor[9];
  if (width == 0 || height == 0) fail(ekInvalid, "gif: bad image dimensions");
  requirePixelCount(static_cast<int64_t>(width), static_cast<int64_t>(height),
                    "gif: image has too many pixels");
  if (packed & 0x80) {
    palette = readPalette(r.take(tableBytes(packed), "gif: local color table truncated"));
  }
  r.need(1, "gif: missing LZW min code size");
  const unsigned minCodeSize = r.u8();
  const Bytes payload = readSubBlocks(r);
  const size_t pixels = width * height;
  const ByteView lzw(payload.data(), payload.size());
  const bool canFill = lzwBoundForPayload(lzw.size(), minCodeSize + 1) >= pixels;
  Image img;
  img.pixels = lzwDecodeReserving(minCodeSize, lzw, pixels, canFill ? pixels * 4 : 0);
  if (img.pixels.size() < pixels) fail(ekTruncated, "gif: LZW output too short");

  const uint8_t highest = *std::max_element(img.pixels.begin(), img.pixels.begin() + pixels);
  if (highest >= palette.size) fail(ekInvalid, "gif: palette index out of range");
  if (transparent >= 0) palette.rgba[static_cast<size_t>(transparent)] &= 0x00FFFFFFu;

  img.width = static_cast<int64_t>(width);
  img.height = static_cast<int64_t>(height);
  img.colorspace = csRgba;
  img.channels = 4;
  expandInPlace(img.pixels, pixels, palette);
  if (packed & 0x40) deinterlaceInPlace(img.pixels, width * 4, height);
  return img;
}

}  // namespace kd::formats
