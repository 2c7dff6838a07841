// GIF decoder: header and global colour table, then a walk over the blocks
// to the first image descriptor (extensions skipped, the transparent index
// of a Graphic Control Extension kept), then that image's LZW data.
//
// The frame size comes from the file and may claim 2^30 pixels in a few
// bytes; the index buffer starts no larger than the LZW payload can fill
// (the k-th code after a clear yields at most k indices), and the RGBA
// picture is allocated only once every index has been decoded.
#include "formats/gif.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "base/checked.h"
#include "formats/codecs.h"
#include "formats/lzw.h"

namespace kd::formats {

namespace gif {

namespace {

constexpr size_t kHeaderSize = 13;
constexpr size_t kDescriptorSize = 10;
constexpr size_t kGceSize = 8;
constexpr uint64_t kMaxCodes = 4096;

uint16_t le16(ByteView d, size_t pos) { return static_cast<uint16_t>(d[pos] | d[pos + 1] << 8); }

// Most indices `bytes` of payload can decode to with codes of at least
// `minWidth` bits.
size_t lzwBoundForPayload(size_t bytes, unsigned minWidth) {
  const uint64_t most = lzwBound(uint64_t{bytes} * 8 / minWidth + 1);
  return most > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(most);
}

// Pixels are R | G << 8 | B << 16 | A << 24, their byte order in memory here.
static_assert(std::endian::native == std::endian::little);

// A colour table of `entries` RGB triples as 32-bit RGBA pixels.
struct Palette {
  std::array<uint32_t, 256> rgba{};
  size_t size = 0;
};

Palette readPalette(ByteView table) {
  Palette p;
  p.size = table.size() / 3;
  for (size_t i = 0; i < p.size; ++i) {
    p.rgba[i] = uint32_t{table[3 * i]} | uint32_t{table[3 * i + 1]} << 8 |
                uint32_t{table[3 * i + 2]} << 16 | 0xFF000000u;
  }
  return p;
}

size_t tableBytes(uint8_t packed) { return 3 * (size_t{2} << (packed & 7)); }

}  // namespace

Bytes readSubBlocks(ByteView data, size_t& pos) {
  Bytes out;
  for (;;) {
    if (pos >= data.size()) fail(ekTruncated, "gif: sub-block truncated");
    const size_t len = data[pos++];
    if (len == 0) return out;
    if (len > data.size() - pos) fail(ekTruncated, "gif: sub-block truncated");
    out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(pos),
               data.begin() + static_cast<ptrdiff_t>(pos + len));
    pos += len;
  }
}

unsigned readCode(ByteView payload, BitState& state, unsigned width) {
  if (width > payload.size() * 8 - std::min(state.bit, payload.size() * 8)) {
    fail(ekTruncated, "gif: LZW stream truncated");
  }
  unsigned code = 0;
  for (unsigned i = 0; i < width; ++i, ++state.bit) {
    code |= ((payload[state.bit >> 3] >> (state.bit & 7)) & 1u) << i;
  }
  return code;
}

// Table entries point at the first occurrence of their string in the
// output, so each string is written once, by a copy of an earlier stretch.
// Long on purpose: the bit buffer and the table stay in locals.
Bytes lzwDecode(unsigned minCodeSize, ByteView payload, size_t pixelCount) {
  if (minCodeSize < 2 || minCodeSize > 8) fail(ekInvalid, "gif: bad LZW min code size");
  const unsigned clear = 1u << minCodeSize;
  const unsigned endCode = clear + 1;
  std::array<size_t, kMaxCodes> start{};
  std::array<uint16_t, kMaxCodes> length{};
  Bytes out(std::min(pixelCount, lzwBoundForPayload(payload.size(), minCodeSize + 1)));
  const uint8_t* p = payload.data();
  const uint8_t* const end = p + payload.size();
  uint64_t bits = 0;  // LSB-first: the next code sits in the low bits
  unsigned held = 0;
  unsigned width = minCodeSize + 1;
  unsigned next = clear + 2;
  bool havePrev = false;
  size_t prevStart = 0;
  size_t prevLen = 0;
  size_t pos = 0;
  for (;;) {
    while (held <= 56 && p < end) {
      bits |= uint64_t{*p++} << held;
      held += 8;
    }
    if (held < width) fail(ekTruncated, "gif: LZW stream truncated");
    const unsigned code = static_cast<unsigned>(bits) & ((1u << width) - 1);
    bits >>= width;
    held -= width;
    if (code == clear) {
      next = clear + 2;
      width = minCodeSize + 1;
      havePrev = false;
      continue;
    }
    if (code == endCode) break;
    size_t len;
    if (code < clear) {
      len = 1;
    } else if (code < next) {
      len = length[code];
    } else if (code == next && havePrev) {
      len = prevLen + 1;
    } else {
      fail(ekInvalid, "gif: bad LZW code");
    }
    if (len > pixelCount - pos) fail(ekInvalid, "gif: LZW output exceeds the frame size");
    if (len > out.size() - pos) {
      out.resize(std::max(pos + len, std::min(pixelCount, 2 * out.size())));
    }
    uint8_t* o = out.data() + pos;
    if (code < clear) {
      *o = static_cast<uint8_t>(code);
    } else if (code < next) {
      copyEarlierString(o, out.data() + start[code], len, out.size() - pos);
    } else {
      // The previous string and its own first byte; the previous string
      // ends exactly where this one starts.
      copyEarlierString(o, out.data() + prevStart, prevLen, out.size() - pos);
      o[prevLen] = out[prevStart];
    }
    if (havePrev && next < kMaxCodes) {
      start[next] = prevStart;
      length[next] = static_cast<uint16_t>(prevLen + 1);
      ++next;
      if (next == (1u << width) && width < 12) ++width;
    }
    havePrev = true;
    prevStart = pos;
    prevLen = len;
    pos += len;
  }
  out.resize(pos);
  return out;
}

Bytes deinterlace(ByteView indices, size_t width, size_t height) {
  static constexpr std::array<std::pair<size_t, size_t>, 4> kPasses = {
      {{0, 8}, {4, 8}, {2, 4}, {1, 2}}};
  Bytes out(indices.size());
  size_t stored = 0;
  for (auto [first, step] : kPasses) {
    for (size_t y = first; y < height; y += step, ++stored) {
      std::memcpy(out.data() + y * width, indices.data() + stored * width, width);
    }
  }
  return out;
}

}  // namespace gif

Image decodeGif(ByteView data) {
  using namespace gif;
  requireLen(data, kHeaderSize, "gif: header truncated");
  if (std::memcmp(data.data(), "GIF", 3) != 0) fail(ekUnsupported, "gif: bad signature");
  if (data[3] != '8' || (data[4] != '7' && data[4] != '9') || data[5] != 'a') {
    fail(ekUnsupported, "gif: unsupported version");
  }
  const uint16_t screenWidth = le16(data, 6);
  const uint16_t screenHeight = le16(data, 8);
  if (screenWidth == 0 || screenHeight == 0) fail(ekInvalid, "gif: bad dimensions");
  if (uint64_t{screenWidth} * screenHeight > static_cast<uint64_t>(kMaxPixels)) {
    fail(ekInvalid, "gif: too many pixels");
  }
  size_t pos = kHeaderSize;
  Palette palette;
  if (data[10] & 0x80) {
    const size_t n = tableBytes(data[10]);
    if (n > data.size() - pos) fail(ekTruncated, "gif: global color table truncated");
    palette = readPalette(data.subspan(pos, n));
    pos += n;
  }

  int transparent = -1;
  for (;;) {
    if (pos >= data.size()) fail(ekTruncated, "gif: no image descriptor");
    const uint8_t marker = data[pos];
    if (marker == 0x2C) break;
    if (marker == 0x3B) fail(ekInvalid, "gif: no image data");
    if (marker != 0x21) fail(ekInvalid, "gif: unknown block marker");
    if (data.size() - pos < 2) fail(ekTruncated, "gif: extension truncated");
    if (data[pos + 1] == 0xF9) {
      if (data.size() - pos < kGceSize) fail(ekTruncated, "gif: GCE truncated");
      if (data[pos + 3] & 1) transparent = data[pos + 6];
      pos += kGceSize;
    } else {
      pos += 2;
      (void)readSubBlocks(data, pos);
    }
  }

  if (data.size() - pos < kDescriptorSize) fail(ekTruncated, "gif: image descriptor truncated");
  const size_t width = le16(data, pos + 5);
  const size_t height = le16(data, pos + 7);
  const uint8_t packed = data[pos + 9];
  pos += kDescriptorSize;
  if (width == 0 || height == 0) fail(ekInvalid, "gif: bad image dimensions");
  if (uint64_t{width} * height > static_cast<uint64_t>(kMaxPixels)) {
    fail(ekInvalid, "gif: image has too many pixels");
  }
  if (packed & 0x80) {
    const size_t n = tableBytes(packed);
    if (n > data.size() - pos) fail(ekTruncated, "gif: local color table truncated");
    palette = readPalette(data.subspan(pos, n));
    pos += n;
  }
  if (pos >= data.size()) fail(ekTruncated, "gif: missing LZW min code size");
  const unsigned minCodeSize = data[pos++];
  const Bytes payload = readSubBlocks(data, pos);
  const size_t pixels = width * height;
  Bytes indices = lzwDecode(minCodeSize, ByteView(payload.data(), payload.size()), pixels);
  if (indices.size() < pixels) fail(ekTruncated, "gif: LZW output too short");
  if (packed & 0x40) indices = deinterlace(ByteView(indices.data(), indices.size()), width, height);

  const uint8_t highest = *std::max_element(indices.begin(), indices.end());
  if (highest >= palette.size) fail(ekInvalid, "gif: palette index out of range");
  if (transparent >= 0) palette.rgba[static_cast<size_t>(transparent)] &= 0x00FFFFFFu;

  Image img;
  img.width = static_cast<int64_t>(width);
  img.height = static_cast<int64_t>(height);
  img.colorspace = csRgba;
  img.channels = 4;
  img.pixels.resize(pixels * 4);
  uint8_t* o = img.pixels.data();
  const uint8_t* in = indices.data();
  for (size_t i = 0; i < pixels; ++i) std::memcpy(o + 4 * i, &palette.rgba[in[i]], 4);
  return img;
}

}  // namespace kd::formats
