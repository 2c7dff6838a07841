// Header probes, one per format, reading only what a decoder reads before
// its pixel data. TIFF goes through the decoder's own directory reader; the
// other formats' header readers are private to their decoders and demand
// what only a decode needs (CRCs, palettes, the supported subset), so the
// probes here read the few fields themselves, with the decoders' messages
// where the two meet the same fault.
#include "formats/probe.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "base/jpeg_segments.h"
#include "formats/codecs.h"
#include "formats/tiff.h"

namespace kd::formats {

namespace {

using base::ByteReader;

bool startsWith(ByteView d, const char* sig, size_t n) {
  return d.size() >= n && std::memcmp(d.data(), sig, n) == 0;
}

ImageInfo info(FileFormat format, int64_t width, int64_t height, ColorSpace cs) {
  ImageInfo i;
  i.format = format;
  i.width = width;
  i.height = height;
  i.colorspace = cs;
  i.declaredPixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  return i;
}

// Sides of at most 2^31 - 1, so that they fit the C record.
void requireSides(int64_t width, int64_t height, const char* message) {
  if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
    fail(ekInvalid, message);
  }
}

ImageInfo probePng(ByteView d) {
  ByteReader r(d, "png: chunk truncated");
  r.need(8, "png: signature truncated");
  if (!startsWith(d, "\x89PNG\r\n\x1a\n", 8)) fail(ekUnsupported, "png: bad signature");
  r.skip(8);
  // The decoder takes IHDR wherever it stands; the standard puts it first.
  for (;;) {
    if (r.atEnd()) fail(ekInvalid, "png: missing IHDR");
    r.need(8, "png: chunk header truncated");
    const uint32_t length = r.u32be();
    const ByteView type = r.take(4);
    if (std::memcmp(type.data(), "IHDR", 4) != 0) {
      if (length > 0x7FFFFFFFu) fail(ekInvalid, "png: chunk length exceeds the 2^31-1 limit");
      r.skip(size_t{length} + 4);
      continue;
    }
    if (length != 13) fail(ekInvalid, "png: bad IHDR length");
    ByteReader h = r.sub(13);
    const int64_t width = h.u32be(), height = h.u32be();
    const unsigned depth = h.u8(), colorType = h.u8();
    if (h.u8() != 0) fail(ekUnsupported, "png: unsupported compression");
    if (h.u8() != 0) fail(ekUnsupported, "png: unsupported filter");
    if (h.u8() > 1) fail(ekInvalid, "png: unknown interlace method");
    constexpr int64_t kMaxSide = int64_t{1} << 30;
    if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide) {
      fail(ekInvalid, "png: bad dimensions");
    }
    const bool lowDepth = depth == 1 || depth == 2 || depth == 4;
    const bool highDepth = depth == 8 || depth == 16;
    ColorSpace cs;
    if (colorType == 0 && (lowDepth || highDepth)) {
      cs = csGray;
    } else if (colorType == 2 && highDepth) {
      cs = csRgb;
    } else if ((colorType == 3 && (lowDepth || depth == 8)) ||
               ((colorType == 4 || colorType == 6) && highDepth)) {
      cs = csRgba;
    } else {
      fail(ekUnsupported, "png: unsupported color type/depth");
    }
    return info(ffPng, width, height, cs);
  }
}

// The first frame header (SOF0..SOF15 but DHT, JPG and DAC).
ImageInfo probeJpeg(ByteView d) {
  if (d.size() < 2) fail(ekTruncated, "jpeg: missing SOI");
  if (!base::isJpeg(d)) fail(ekUnsupported, "jpeg: missing SOI");
  base::JpegSegmentWalk walk(d);
  base::JpegSegment seg;
  while (walk.next(seg)) {
    if (seg.marker == 0xD9 || seg.marker == 0xDA) fail(ekInvalid, "jpeg: no frame header");
    if (base::JpegSegmentWalk::standalone(seg.marker)) continue;
    if (seg.truncated) fail(ekTruncated, "jpeg: segment truncated");
    const uint8_t marker = seg.marker;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (!frame) continue;
    ByteReader s(seg.payload(d), "jpeg: segment truncated");
    s.u8();  // precision
    const int64_t height = s.u16be(), width = s.u16be();
    const unsigned components = s.u8();
    if (width == 0 || height == 0) fail(ekInvalid, "jpeg: bad dimensions");
    if (components != 1 && components != 3 && components != 4) {
      fail(ekUnsupported, "jpeg: unsupported component count");
    }
    return info(ffJpeg, width, height, components == 1 ? csGray : csRgb);
  }
  switch (walk.stop()) {
    case base::JpegWalkStop::jwNotMarker:
      fail(ekInvalid, "jpeg: expected a marker");
    case base::JpegWalkStop::jwBadLength:
      fail(ekInvalid, "jpeg: bad segment length");
    default:
      fail(ekTruncated, "jpeg: segment truncated");
  }
}

ImageInfo probeBmp(ByteView d) {
  ByteReader r(d, "bmp: DIB header truncated");
  r.need(18, "bmp: header truncated");
  if (d[0] != 'B' || d[1] != 'M') fail(ekUnsupported, "bmp: not a BM container");
  r.skip(14);
  const uint32_t dibSize = r.u32le();
  int64_t width, height;
  uint32_t bits, compression = 0;
  if (dibSize == 12) {  // OS/2 BITMAPCOREHEADER: unsigned 16-bit sides
    width = r.u16le();
    height = r.u16le();
    r.skip(2);
    bits = r.u16le();
  } else if (dibSize >= 16) {
    width = static_cast<int32_t>(r.u32le());
    height = static_cast<int32_t>(r.u32le());
    r.skip(2);
    bits = r.u16le();
    if (dibSize >= 20) compression = r.u32le();
  } else {
    fail(ekUnsupported, "bmp: unknown DIB header");
  }
  if (width <= 0) fail(ekInvalid, "bmp: width must be positive");
  if (height == 0 || height == INT32_MIN) fail(ekInvalid, "bmp: height must be non-zero");
  height = std::abs(height);
  // 24-bit uncompressed pixels give RGB; palettes, bit fields and RLE RGBA.
  return info(ffBmp, width, height, bits == 24 && compression == 0 ? csRgb : csRgba);
}

ImageInfo probeQoi(ByteView d) {
  ByteReader r(d, "qoi: header truncated");
  r.need(14);
  if (!startsWith(d, "qoif", 4)) fail(ekUnsupported, "qoi: not a qoif container");
  r.skip(4);
  const int64_t width = r.u32be(), height = r.u32be();
  const unsigned channels = r.u8();
  requireSides(width, height, "qoi: bad dimensions");
  if (channels != 3 && channels != 4) fail(ekUnsupported, "qoi: channels must be 3 or 4");
  return info(ffQoi, width, height, channels == 3 ? csRgb : csRgba);
}

// A decimal after whitespace and comments, as the PNM decoder reads it.
int64_t pnmField(ByteView d, size_t& pos) {
  for (;;) {
    if (pos >= d.size()) fail(ekTruncated, "pnm: expected an integer");
    const uint8_t c = d[pos];
    if (c == '#') {
      while (pos < d.size() && d[pos] != '\n' && d[pos] != '\r') ++pos;
    } else if (c == ' ' || (c >= '\t' && c <= '\r')) {
      ++pos;
    } else {
      break;
    }
  }
  if (d[pos] < '0' || d[pos] > '9') fail(ekTruncated, "pnm: expected an integer");
  int64_t v = 0;
  for (; pos < d.size() && d[pos] >= '0' && d[pos] <= '9'; ++pos) {
    if (v > (INT64_MAX - 9) / 10) fail(ekInvalid, "pnm: integer exceeds the platform range");
    v = v * 10 + (d[pos] - '0');
  }
  return v;
}

// The PAM header, read as the decoder reads it.
ImageInfo probePam(ByteView d) {
  const PamHeader h = readPamHeader(d);
  const int64_t width = h.width, height = h.height, depth = h.depth;
  requireSides(width, height, "pnm: PAM bad dimensions");
  if (depth < 1 || depth > 4) fail(ekUnsupported, "pnm: PAM depth must be 1 to 4");
  return info(ffPnm, width, height, depth == 1 ? csGray : depth == 3 ? csRgb : csRgba);
}

ImageInfo probePnm(ByteView d) {
  if (d.size() < 2 || d[0] != 'P') fail(ekUnsupported, "pnm: unsupported type");
  if (d[1] == '7') return probePam(d);
  if (d[1] < '1' || d[1] > '6') fail(ekUnsupported, "pnm: unsupported type");
  size_t pos = 2;
  const int64_t width = pnmField(d, pos);
  const int64_t height = pnmField(d, pos);
  requireSides(width, height, "pnm: bad dimensions");
  return info(ffPnm, width, height, d[1] == '3' || d[1] == '6' ? csRgb : csGray);
}

ImageInfo probeTga(ByteView d) {
  ByteReader r(d, "tga: header truncated");
  r.need(18);
  r.skip(1);
  const uint8_t mapType = r.u8(), imageType = r.u8() & 0xF7;
  r.skip(4);
  const uint8_t entryBits = r.u8();
  r.skip(4);
  const int64_t width = r.u16le(), height = r.u16le();
  const uint8_t depth = r.u8();
  if (imageType != 1 && imageType != 2 && imageType != 3) {
    fail(ekUnsupported, "tga: unsupported image type");
  }
  if (width == 0 || height == 0) fail(ekInvalid, "tga: bad dimensions");
  ColorSpace cs = imageType == 3 ? csGray : depth == 24 ? csRgb : csRgba;
  if (imageType == 1 && mapType == 1) cs = entryBits == 24 ? csRgb : csRgba;
  return info(ffTga, width, height, cs);
}

// The first image descriptor, behind the extensions before it: the picture
// the decoder gives (the logical screen is never allocated).
ImageInfo probeGif(ByteView d) {
  ByteReader r(d, "gif: header truncated");
  r.need(13);
  if (!startsWith(d, "GIF8", 4) || (d[4] != '7' && d[4] != '9') || d[5] != 'a') {
    fail(ekUnsupported, "gif: bad signature");
  }
  r.skip(6);
  const uint16_t screenWidth = r.u16le(), screenHeight = r.u16le();
  const uint8_t packed = r.u8();
  r.skip(2);
  if (screenWidth == 0 || screenHeight == 0) fail(ekInvalid, "gif: bad dimensions");
  if (packed & 0x80) r.skip(size_t{3} << ((packed & 7) + 1), "gif: global color table truncated");
  for (;;) {
    const uint8_t marker = r.u8();
    if (marker == 0x2C) break;
    if (marker != 0x21) fail(ekInvalid, "gif: no image descriptor");
    r.skip(1, "gif: extension truncated");
    for (uint8_t n = r.u8(); n != 0; n = r.u8()) r.skip(n, "gif: sub-block truncated");
  }
  r.need(9, "gif: image descriptor truncated");
  r.skip(4);
  const int64_t width = r.u16le(), height = r.u16le();
  if (width == 0 || height == 0) fail(ekInvalid, "gif: bad image dimensions");
  return info(ffGif, width, height, csRgba);
}

struct RiffChunk {
  ByteView code;
  ByteView payload;
};

// The bitstream's own size and alpha bit (VP8L) or frame header (VP8).
ImageInfo probeWebpBitstream(const RiffChunk& c) {
  ByteReader r(c.payload, "webp: bitstream header truncated");
  if (std::memcmp(c.code.data(), "VP8L", 4) == 0) {
    r.need(5);
    if (r.u8() != 0x2F) fail(ekUnsupported, "webp: missing VP8L sig");
    const uint32_t bits = r.u32le();
    const int64_t width = (bits & 0x3FFF) + 1, height = ((bits >> 14) & 0x3FFF) + 1;
    return info(ffWebp, width, height, (bits >> 28) & 1 ? csRgba : csRgb);
  }
  r.need(10);
  r.skip(3);  // frame tag
  if (r.u8() != 0x9D || r.u8() != 0x01 || r.u8() != 0x2A) {
    fail(ekInvalid, "webp: bad VP8 start code");
  }
  const int64_t width = r.u16le() & 0x3FFF, height = r.u16le() & 0x3FFF;
  if (width == 0 || height == 0) fail(ekInvalid, "webp: bad dimensions");
  return info(ffWebp, width, height, csRgb);
}

ImageInfo probeWebp(ByteView d) {
  ByteReader riff(d, "webp: container truncated");
  riff.need(12);
  if (!startsWith(d, "RIFF", 4)) fail(ekUnsupported, "webp: not a RIFF");
  if (std::memcmp(d.data() + 8, "WEBP", 4) != 0) fail(ekUnsupported, "webp: not a WEBP");
  riff.skip(4);
  const uint32_t riffSize = riff.u32le();
  if (riffSize < 4 || d.size() - 8 < riffSize) fail(ekTruncated, "webp: bad RIFF size");
  ByteReader r(d.subspan(12, riffSize - 4), "webp: chunk exceeds RIFF payload");
  auto next = [&r] {
    r.need(8, "webp: chunk header short");
    RiffChunk c;
    c.code = r.take(4);
    const uint32_t size = r.u32le();
    c.payload = r.take(size);
    if (size & 1 && !r.atEnd()) r.skip(1);
    return c;
  };
  const RiffChunk first = next();
  auto is = [](const RiffChunk& c, const char* code) {
    return std::memcmp(c.code.data(), code, 4) == 0;
  };
  if (is(first, "VP8L") || is(first, "VP8 ")) return probeWebpBitstream(first);
  if (!is(first, "VP8X")) {
    fail(ekUnsupported, "webp: unknown chunk " +
                            std::string(reinterpret_cast<const char*>(first.code.data()), 4));
  }
  if (first.payload.size() != 10) fail(ekInvalid, "webp: VP8X chunk must be 10 bytes");
  const uint8_t* p = first.payload.data();
  const uint64_t canvas = (uint64_t{base::loadLe32(p + 4) & 0xFFFFFF} + 1) *
                          (uint64_t{base::loadLe32(p + 6) >> 8} + 1);
  if (p[0] & 0x02) {
    // An animation: the wide decode gives its first frame.
    while (!r.atEnd()) {
      const RiffChunk c = next();
      if (!is(c, "ANMF")) continue;
      ByteReader frame(c.payload, "webp: ANMF header truncated");
      frame.need(16);
      frame.skip(6);
      const uint8_t* size = frame.take(6).data();
      const int64_t width = int64_t{size[0] | size[1] << 8 | size[2] << 16} + 1;
      const int64_t height = int64_t{size[3] | size[4] << 8 | size[5] << 16} + 1;
      frame.skip(4);
      bool frameAlpha = false;
      while (!frame.atEnd()) {
        frame.need(8, "webp: chunk header short");
        RiffChunk f;
        f.code = frame.take(4);
        const uint32_t fsize = frame.u32le();
        f.payload = frame.take(fsize);
        if (fsize & 1 && !frame.atEnd()) frame.skip(1);
        frameAlpha = frameAlpha || is(f, "ALPH");
        if (!is(f, "VP8L") && !is(f, "VP8 ")) continue;
        ImageInfo i = probeWebpBitstream(f);
        i.width = width;
        i.height = height;
        if (frameAlpha && is(f, "VP8 ")) i.colorspace = csRgba;
        i.declaredPixels = std::max(i.declaredPixels, canvas);
        return i;
      }
      fail(ekInvalid, "webp: ANMF frame without an image");
    }
    fail(ekInvalid, "webp: animation without frames");
  }
  bool alph = false;
  while (!r.atEnd()) {
    const RiffChunk c = next();
    alph = alph || is(c, "ALPH");
    if (!is(c, "VP8L") && !is(c, "VP8 ")) continue;
    ImageInfo i = probeWebpBitstream(c);
    if (p[0] & 0x10 && alph) i.colorspace = csRgba;
    i.declaredPixels = std::max(i.declaredPixels, canvas);
    return i;
  }
  fail(ekInvalid, "webp: VP8X without an image bitstream");
}

ImageInfo probeTiff(ByteView d) {
  ByteReader r(d, "tiff: header truncated");
  r.need(8);
  base::ByteOrder order;
  if (startsWith(d, "II", 2)) {
    order = base::ByteOrder::kLittle;
  } else if (startsWith(d, "MM", 2)) {
    order = base::ByteOrder::kBig;
  } else {
    fail(ekUnsupported, "tiff: bad byte order");
  }
  if (base::loadU16(d, 2, order) != 42) fail(ekUnsupported, "tiff: bad magic (not classic TIFF)");
  const tiff::Ifd ifd = tiff::parseIfd(d, base::loadU32(d, 4, order), order);
  const uint64_t width = ifd.getU32(256, 0), height = ifd.getU32(257, 0);
  if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) {
    fail(ekInvalid, "tiff: bad image dimensions");
  }
  const uint64_t spp = ifd.getU32(277, 1), photometric = ifd.getU32(262, 1);
  ColorSpace cs;
  switch (photometric) {
    case 0: case 1: cs = spp == 1 ? csGray : csRgba; break;
    case 2: cs = spp == 3 ? csRgb : csRgba; break;
    case 3: case 6: cs = csRgb; break;  // palette; YCbCr
    case 4: cs = csGray; break;
    case 5: cs = csCmyk; break;
    default: fail(ekUnsupported, "tiff: photometric " + std::to_string(photometric) + " unsupported");
  }
  return info(ffTiff, static_cast<int64_t>(width), static_cast<int64_t>(height), cs);
}

ImageInfo probePcx(ByteView d) {
  ByteReader r(d, "pcx: header truncated");
  r.need(128);
  if (r.u8() != 0x0A) fail(ekUnsupported, "pcx: not a ZSoft PCX");
  r.skip(2);
  const uint8_t bits = r.u8();
  const uint16_t xmin = r.u16le(), ymin = r.u16le(), xmax = r.u16le(), ymax = r.u16le();
  if (xmax < xmin || ymax < ymin) fail(ekInvalid, "pcx: bad dimensions");
  r.seek(65, "pcx: header truncated");
  const uint8_t planes = r.u8();
  r.skip(2);
  const uint16_t paletteInfo = r.u16le();
  ColorSpace cs;
  if (planes == 3 && bits == 8) {
    cs = csRgb;
  } else if (planes == 1 && bits == 8) {
    cs = paletteInfo == 2 ? csGray : csRgba;
  } else if (planes == 1 && bits == 1) {
    cs = csGray;
  } else {
    fail(ekUnsupported, "pcx: unsupported pixel layout");
  }
  return info(ffPcx, int64_t{xmax} - xmin + 1, int64_t{ymax} - ymin + 1, cs);
}

}  // namespace

const char* formatName(FileFormat format) {
  switch (format) {
    case ffPng: return "png";
    case ffJpeg: return "jpeg";
    case ffBmp: return "bmp";
    case ffQoi: return "qoi";
    case ffPnm: return "pnm";
    case ffTga: return "tga";
    case ffWebp: return "webp";
    case ffTiff: return "tiff";
    case ffGif: return "gif";
    case ffPcx: return "pcx";
    case ffAuto: break;
  }
  return "image";
}

FileFormat sniffFormat(ByteView d, bool wide) {
  const size_t n = d.size();
  if (n < 2) return ffAuto;
  if (startsWith(d, "BM", 2)) return ffBmp;
  if (startsWith(d, "qoif", 4)) return ffQoi;
  if (d[0] == 'P' && d[1] >= '1' && d[1] <= (wide ? '7' : '6')) return ffPnm;
  if (n >= 8 && startsWith(d, "\x89PNG", 4)) return ffPng;
  if (d[0] == 0xFF && d[1] == 0xD8) return ffJpeg;
  if (startsWith(d, "GIF8", 4) && n >= 6 && (d[4] == '7' || d[4] == '9') && d[5] == 'a') {
    return ffGif;
  }
  if (n >= 12 && startsWith(d, "RIFF", 4) && std::memcmp(d.data() + 8, "WEBP", 4) == 0) {
    return ffWebp;
  }
  if (startsWith(d, "II\x2A\x00", 4) || startsWith(d, "MM\x00\x2A", 4)) return ffTiff;
  if (n >= 3 && d[0] == 0x0A && d[1] <= 5 && d[1] != 1 && d[2] <= 1) return ffPcx;
  return ffAuto;
}

ImageInfo probeImage(ByteView data, FileFormat format) {
  if (format == ffAuto) format = sniffFormat(data, true);
  switch (format) {
    case ffPng: return probePng(data);
    case ffJpeg: return probeJpeg(data);
    case ffBmp: return probeBmp(data);
    case ffQoi: return probeQoi(data);
    case ffPnm: return probePnm(data);
    case ffTga: return probeTga(data);
    case ffWebp: return probeWebp(data);
    case ffTiff: return probeTiff(data);
    case ffGif: return probeGif(data);
    case ffPcx: return probePcx(data);
    case ffAuto: break;
  }
  fail(ekUnsupported, "probe: unrecognized format");
}

void checkPixelLimit(ByteView data, FileFormat format, uint64_t maxPixels) {
  if (maxPixels == 0) return;
  ImageInfo i;
  try {
    i = probeImage(data, format);
  } catch (const KeldraException&) {
    // Swallowed on purpose: a header the probe cannot read is the
    // decoder's to refuse, with the message a decode without limit gives.
    return;
  }
  requirePixelLimit(formatName(i.format), i.declaredPixels, maxPixels);
}

}  // namespace kd::formats
