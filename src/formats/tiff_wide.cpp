// TIFF variants the plain decoder refuses, decoded under the wide option:
// separate planes (PlanarConfiguration 2) of every photometric type, integer
// samples of every depth from 1 to 32 bits, floating-point samples of 16, 32
// and 64 bits (also with the floating-point predictor 3), YCbCr with its
// subsampling, CCITT fax (tiff_ccitt.cpp) and JPEG strips and tiles
// (tiff_jpeg.cpp).
//
// Samples become 8 bits by the plain decoder's rule: depths above 8 keep
// their high bits, depths below are scaled to the full range (v * 255 / max,
// rounded), floating-point values are clamped to [0, 1] and scaled. Each
// chunk's samples go straight to their channel of the picture; one pass at
// the end turns palette indices, inverted grey, grey with alpha and
// premultiplied colour into the output colour space.
//
// As in the plain decoder, the picture is allocated only once every strip or
// tile can fill its share; otherwise the chunks are decoded without a
// picture behind them until one fails.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "base/checked.h"
#include "formats/tiff.h"

namespace kd::formats::tiff {

namespace {

constexpr uint16_t kFillOrder = 266;
constexpr uint16_t kT4Options = 292;
constexpr uint16_t kT6Options = 293;
constexpr uint16_t kJpegTables = 347;
constexpr uint16_t kYCbCrCoefficients = 529;
constexpr uint16_t kYCbCrSubsampling = 530;
constexpr uint16_t kReferenceBlackWhite = 532;

// What the samples of the directory are and how they become the picture.
struct Format {
  uint32_t compression = kNone;
  uint32_t photometric = 1;
  uint32_t spp = 1;
  uint32_t bits = 1;
  uint32_t predictor = 1;
  bool planar = false;  // one plane per sample (PlanarConfiguration 2)
  bool isFloat = false;
  bool little = true;
  bool invert = false;      // WhiteIsZero and transparency mask
  bool greyAlpha = false;   // grey and alpha, given as RGBA
  bool associated = false;  // colour premultiplied by the alpha (ExtraSamples 1)
  ColorSpace cs = csGray;
  std::vector<uint8_t> palette;  // RGB triples
  FaxOptions fax;
  Bytes jpegTables;
  uint32_t subH = 1, subV = 1;  // YCbCr subsampling
  // YCbCr to RGB: Y' = (Y - yBlack) * yScale, Cb' and Cr' likewise, then
  // R = Y' + crToR * Cr', B = Y' + cbToB * Cb', G = (Y' - lumaB * B - lumaR * R) / lumaG.
  float yBlack = 0, yScale = 1, cbBlack = 128, cbScale = 1, crBlack = 128, crScale = 1;
  float lumaR = 0.299f, lumaG = 0.587f, lumaB = 0.114f;
};

std::string numbered(const char* head, uint64_t value, const char* tail) {
  return std::string(head) + std::to_string(value) + tail;
}

bool isFax(uint32_t compression) {
  return compression == kCcittRle || compression == kCcittT4 || compression == kCcittT6;
}

// A RATIONAL as the directory gives it (numerator * 2^32 + denominator).
float rational(uint64_t v) {
  const auto den = static_cast<uint32_t>(v);
  if (den == 0) fail(ekInvalid, "tiff: bad YCbCr field");
  return static_cast<float>(static_cast<double>(v >> 32) / den);
}

void readYCbCr(const Ifd& ifd, Format& f) {
  const std::vector<uint64_t> sub = ifd.getSeq(kYCbCrSubsampling);
  f.subH = sub.size() >= 1 ? static_cast<uint32_t>(std::min<uint64_t>(sub[0], 8)) : 2;
  f.subV = sub.size() >= 2 ? static_cast<uint32_t>(std::min<uint64_t>(sub[1], 8)) : 2;
  const auto valid = [](uint32_t s) { return s == 1 || s == 2 || s == 4; };
  if (!valid(f.subH) || !valid(f.subV)) fail(ekUnsupported, "tiff: YCbCr subsampling unsupported");
  const std::vector<uint64_t> luma = ifd.getSeq(kYCbCrCoefficients);
  if (luma.size() >= 3) {
    f.lumaR = rational(luma[0]);
    f.lumaG = rational(luma[1]);
    f.lumaB = rational(luma[2]);
  }
  const std::vector<uint64_t> ref = ifd.getSeq(kReferenceBlackWhite);
  std::array<float, 6> rb = {0, 255, 128, 255, 128, 255};
  if (ref.size() >= 6) {
    for (size_t i = 0; i < 6; ++i) rb[i] = rational(ref[i]);
  }
  if (rb[1] == rb[0] || rb[3] == rb[2] || rb[5] == rb[4] || !(f.lumaG > 0)) {
    fail(ekInvalid, "tiff: bad YCbCr field");
  }
  f.yBlack = rb[0];
  f.yScale = 255.0f / (rb[1] - rb[0]);
  f.cbBlack = rb[2];
  f.cbScale = 127.0f / (rb[3] - rb[2]);
  f.crBlack = rb[4];
  f.crScale = 127.0f / (rb[5] - rb[4]);
}

void readPalette(const Ifd& ifd, Format& f) {
  if (f.bits > 16 || f.isFloat) fail(ekUnsupported, "tiff: palette needs integer samples of at most 16 bits");
  const std::vector<uint64_t> map = ifd.getSeq(kColorMap);
  const size_t colours = size_t{1} << f.bits;
  if (map.size() < 3 * colours) fail(ekInvalid, "tiff: ColorMap too small");
  f.palette.resize(3 * colours);
  for (size_t i = 0; i < colours; ++i) {
    for (size_t c = 0; c < 3; ++c) f.palette[3 * i + c] = static_cast<uint8_t>(map[c * colours + i] >> 8);
  }
}

// The checks on the fields that describe the samples, in a fixed order; the
// first that fails gives the message.
Format readFormat(const Ifd& ifd, base::ByteOrder order) {
  Format f;
  const uint64_t compression = ifd.getU32(kCompression, 1);
  const uint64_t photometric = ifd.getU32(kPhotometric, 0);
  const uint64_t spp = ifd.getU32(kSamplesPerPixel, 1);
  const uint64_t planar = ifd.getU32(kPlanarConfiguration, 1);
  const uint64_t predictor = ifd.getU32(kPredictor, 1);
  const uint64_t sampleFormat = ifd.getU32(kSampleFormat, 1);
  const std::vector<uint64_t> depths = ifd.getSeq(kBitsPerSample);
  const uint64_t bits = depths.empty() ? 1 : depths[0];
  for (uint64_t d : depths) {
    if (d != bits) fail(ekUnsupported, "tiff: mixed sample depths unsupported");
  }
  switch (compression) {
    case kNone: case kLzw: case kDeflate: case kAdobeDeflate: case kPackBits:
    case kCcittRle: case kCcittT4: case kCcittT6: case kJpeg: break;
    default: fail(ekUnsupported, numbered("tiff: compression ", compression, " unsupported"));
  }
  if (planar != 1 && planar != 2) fail(ekUnsupported, numbered("tiff: planar configuration ", planar, " unsupported"));
  if (sampleFormat == 0 || sampleFormat > 4) {
    fail(ekUnsupported, numbered("tiff: sample format ", sampleFormat, " unsupported"));
  }
  f.isFloat = sampleFormat == 3;
  if (f.isFloat && bits != 16 && bits != 32 && bits != 64) {
    fail(ekUnsupported, numbered("tiff: ", bits, "-bit floating-point samples unsupported"));
  }
  if (!f.isFloat && (bits == 0 || bits > 32)) fail(ekUnsupported, numbered("tiff: ", bits, "-bit samples unsupported"));
  if (predictor == 0 || predictor > 3) fail(ekUnsupported, numbered("tiff: predictor ", predictor, " unsupported"));
  if (predictor == 2 && (f.isFloat || (bits != 8 && bits != 16 && bits != 32))) {
    fail(ekUnsupported, "tiff: predictor 2 needs 8/16/32-bit integer samples");
  }
  if (predictor == 3 && !f.isFloat) fail(ekUnsupported, "tiff: predictor 3 needs floating-point samples");
  if (isFax(static_cast<uint32_t>(compression)) && (bits != 1 || spp != 1)) {
    fail(ekUnsupported, "tiff: fax needs 1-bit samples");
  }
  if (compression == kJpeg && (bits != 8 || f.isFloat || planar != 1)) {
    fail(ekUnsupported, "tiff: JPEG needs 8-bit contiguous samples");
  }
  f.compression = static_cast<uint32_t>(compression);
  f.photometric = static_cast<uint32_t>(std::min<uint64_t>(photometric, UINT32_MAX));
  f.bits = static_cast<uint32_t>(bits);
  f.predictor = static_cast<uint32_t>(predictor);
  f.planar = planar == 2;
  f.little = order == base::ByteOrder::kLittle;
  switch (photometric) {
    case 0:
    case 1:
      if (spp != 1 && spp != 2) fail(ekUnsupported, numbered("tiff: gray with spp=", spp, " unsupported"));
      f.cs = spp == 1 ? csGray : csRgba;
      f.greyAlpha = spp == 2;
      f.invert = photometric == 0;
      break;
    case 2:
      if (spp != 3 && spp != 4) fail(ekUnsupported, numbered("tiff: RGB with spp=", spp, " unsupported"));
      f.cs = spp == 3 ? csRgb : csRgba;
      break;
    case 3:
      if (spp != 1) fail(ekUnsupported, "tiff: palette needs spp=1");
      f.cs = csRgb;
      break;
    case 4:
      if (spp != 1) fail(ekUnsupported, "tiff: mask needs spp=1");
      f.invert = true;
      break;
    case 5:
      if (spp != 4) fail(ekUnsupported, "tiff: CMYK needs spp=4");
      f.cs = csCmyk;
      break;
    case 6:
      if (spp != 3) fail(ekUnsupported, "tiff: YCbCr needs spp=3");
      f.cs = csRgb;
      if (compression != kJpeg) {
        if (bits != 8 || planar != 1 || predictor != 1) {
          fail(ekUnsupported, "tiff: YCbCr needs 8-bit contiguous samples");
        }
        readYCbCr(ifd, f);
      }
      break;
    default: fail(ekUnsupported, numbered("tiff: photometric ", photometric, " unsupported"));
  }
  f.spp = static_cast<uint32_t>(spp);
  if (compression == kJpeg && photometric != 1 && photometric != 6) {
    fail(ekUnsupported, "tiff: JPEG needs grey or YCbCr samples");
  }
  f.associated = f.cs == csRgba && ifd.getU32(kExtraSamples, 0) == 1;
  if (photometric == 3) readPalette(ifd, f);
  if (isFax(f.compression)) {
    const uint64_t options = ifd.getU32(f.compression == kCcittT6 ? kT6Options : kT4Options, 0);
    if (options & 2) fail(ekUnsupported, "tiff: fax uncompressed mode unsupported");
    f.fax.compression = f.compression;
    f.fax.twoDimensional = f.compression == kCcittT4 && (options & 1) != 0;
    f.fax.lsbFirst = ifd.getU32(kFillOrder, 1) == 2;
  }
  if (f.compression == kJpeg) {
    const std::vector<uint64_t> tables = ifd.getSeq(kJpegTables);
    f.jpegTables.assign(tables.begin(), tables.end());
  }
  return f;
}

bool subsampledYCbCr(const Format& f) { return f.photometric == 6 && f.compression != kJpeg; }

// Bytes of one stored row of `cols` pixels, and stored rows of `rows`
// pixel rows: YCbCr data units hold subH x subV luma samples and one Cb and
// one Cr sample each.
size_t storedRowBytes(const Format& f, uint64_t cols) {
  if (subsampledYCbCr(f)) {
    const uint64_t units = cols / f.subH + (cols % f.subH != 0);
    return toSize(base::saturatingMul<uint64_t>(units, f.subH * f.subV + 2));
  }
  return rowBytesFor(cols, f.planar ? 1 : f.spp, f.bits);
}
uint64_t storedRows(const Format& f, uint64_t rows) {
  return subsampledYCbCr(f) ? rows / f.subV + (rows % f.subV != 0) : rows;
}

// An integer sample: 8, 16, 24 and 32 bits in the file's byte order, other
// depths packed most significant bit first. The caller has checked that the
// sample lies in the row.
uint32_t rawInt(const uint8_t* row, size_t i, uint32_t bits, bool little) {
  switch (bits) {
    case 8: return row[i];
    case 16: return little ? base::loadLe16(row + 2 * i) : base::loadBe16(row + 2 * i);
    case 24: {
      const uint8_t* p = row + 3 * i;
      return little ? base::loadLe24(p) : uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    }
    case 32: return little ? base::loadLe32(row + 4 * i) : base::loadBe32(row + 4 * i);
    default: break;
  }
  const uint64_t first = uint64_t{i} * bits;
  const size_t at = static_cast<size_t>(first >> 3);
  const unsigned skip = static_cast<unsigned>(first & 7);
  const unsigned bytes = (skip + bits + 7) / 8;
  uint64_t acc = 0;
  for (unsigned k = 0; k < bytes; ++k) acc = acc << 8 | row[at + k];
  return static_cast<uint32_t>(acc >> (8 * bytes - skip - bits)) & static_cast<uint32_t>((uint64_t{1} << bits) - 1);
}

uint8_t reduce8(uint32_t v, uint32_t bits) {
  if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
  const uint32_t max = (1u << bits) - 1;
  return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

float halfToFloat(uint16_t h) {
  const int exponent = h >> 10 & 31;
  const int mantissa = h & 1023;
  float v;
  if (exponent == 0) {
    v = std::ldexp(static_cast<float>(mantissa), -24);
  } else if (exponent == 31) {
    v = mantissa != 0 ? NAN : INFINITY;
  } else {
    v = std::ldexp(static_cast<float>(mantissa + 1024), exponent - 25);
  }
  return (h & 0x8000) ? -v : v;
}

// A floating-point sample; `little` is the byte order of the samples (big
// after the floating-point predictor, which stores bytes most significant
// first).
double rawFloat(const uint8_t* row, size_t i, uint32_t bits, bool little) {
  switch (bits) {
    case 16: return halfToFloat(little ? base::loadLe16(row + 2 * i) : base::loadBe16(row + 2 * i));
    case 32: return std::bit_cast<float>(little ? base::loadLe32(row + 4 * i) : base::loadBe32(row + 4 * i));
    default: {
      const uint8_t* p = row + 8 * i;
      const uint64_t lo = little ? base::loadLe32(p) : base::loadBe32(p + 4);
      const uint64_t hi = little ? base::loadLe32(p + 4) : base::loadBe32(p);
      return std::bit_cast<double>(hi << 32 | lo);
    }
  }
}

uint8_t floatTo8(double v) {
  if (!(v > 0)) return 0;  // also NaN
  if (v >= 1) return 255;
  return static_cast<uint8_t>(v * 255 + 0.5);
}

// Horizontal differencing of 32-bit samples undone in place.
void unpredict32(uint8_t* row, size_t samples, uint32_t stride, bool little) {
  for (size_t i = stride; i < samples; ++i) {
    uint8_t* p = row + 4 * i;
    const uint8_t* before = row + 4 * (i - stride);
    if (little) {
      base::storeLe32(p, base::loadLe32(p) + base::loadLe32(before));
    } else {
      base::storeBe32(p, base::loadBe32(p) + base::loadBe32(before));
    }
  }
}

// The floating-point predictor undone on one row of `samples` samples of
// `size` bytes: the row holds the samples' most significant bytes first,
// then the next bytes and so on, each byte differenced from the one
// `stride` before it. Afterwards the samples are big-endian.
void unpredictFloatRow(uint8_t* row, size_t samples, size_t size, uint32_t stride, Bytes& tmp) {
  const size_t n = samples * size;
  for (size_t i = stride; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - stride]);
  tmp.assign(row, row + n);
  for (size_t i = 0; i < samples; ++i) {
    for (size_t b = 0; b < size; ++b) row[i * size + b] = tmp[b * samples + i];
  }
}

// Where one chunk goes: plane, top-left pixel and the part inside the picture.
struct Place {
  uint32_t plane = 0;
  size_t x0 = 0, y0 = 0, cols = 0, rows = 0;
};

void placeSamples(const Format& f, const uint8_t* chunk, size_t rowBytes, const Place& p, Image& img) {
  const size_t channels = static_cast<size_t>(img.channels);
  const size_t sppChunk = f.planar ? 1 : f.spp;
  const bool floatLittle = f.little && f.predictor != 3;
  for (size_t r = 0; r < p.rows; ++r) {
    const uint8_t* row = chunk + r * rowBytes;
    uint8_t* dst = img.pixels.data() + ((p.y0 + r) * static_cast<size_t>(img.width) + p.x0) * channels;
    for (size_t x = 0; x < p.cols; ++x, dst += channels) {
      for (size_t s = 0; s < sppChunk; ++s) {
        const size_t i = x * sppChunk + s;
        const size_t sample = f.planar ? p.plane : s;
        if (f.photometric == 3) {  // the index, in two bytes, for the last pass
          const uint32_t index = rawInt(row, i, f.bits, f.little);
          dst[0] = static_cast<uint8_t>(index);
          dst[1] = static_cast<uint8_t>(index >> 8);
          continue;
        }
        const uint8_t v = f.isFloat ? floatTo8(rawFloat(row, i, f.bits, floatLittle))
                                    : reduce8(rawInt(row, i, f.bits, f.little), f.bits);
        dst[f.greyAlpha && sample == 1 ? 3 : sample] = v;
      }
    }
  }
}

uint8_t clampRound(float v) {
  if (!(v > 0)) return 0;
  if (v >= 255) return 255;
  return static_cast<uint8_t>(v + 0.5f);
}

void placeYCbCr(const Format& f, const uint8_t* chunk, size_t rowBytes, const Place& p, Image& img) {
  const size_t unitSize = f.subH * f.subV + 2;
  const size_t width = static_cast<size_t>(img.width);
  for (size_t y = 0; y < p.rows; ++y) {
    const uint8_t* units = chunk + (y / f.subV) * rowBytes;
    uint8_t* dst = img.pixels.data() + ((p.y0 + y) * width + p.x0) * 3;
    for (size_t x = 0; x < p.cols; ++x, dst += 3) {
      const uint8_t* unit = units + (x / f.subH) * unitSize;
      const float luma = (unit[(y % f.subV) * f.subH + x % f.subH] - f.yBlack) * f.yScale;
      const float cb = (unit[unitSize - 2] - f.cbBlack) * f.cbScale;
      const float cr = (unit[unitSize - 1] - f.crBlack) * f.crScale;
      const float r = luma + cr * (2 - 2 * f.lumaR);
      const float b = luma + cb * (2 - 2 * f.lumaB);
      const float g = (luma - f.lumaB * b - f.lumaR * r) / f.lumaG;
      dst[0] = clampRound(r);
      dst[1] = clampRound(g);
      dst[2] = clampRound(b);
    }
  }
}

// The last pass: palette indices, premultiplied colour, inverted and
// grey-with-alpha samples become the output colour space.
void finish(const Format& f, Image& img) {
  const size_t n = static_cast<size_t>(img.width * img.height);
  uint8_t* px = img.pixels.data();
  if (f.photometric == 3) {
    const size_t colours = f.palette.size() / 3;
    for (size_t i = 0; i < n; ++i, px += 3) {
      const size_t index = px[0] | size_t{px[1]} << 8;
      if (index >= colours) fail(ekInvalid, "tiff: palette index out of range");
      std::memcpy(px, f.palette.data() + 3 * index, 3);
    }
    return;
  }
  const size_t channels = static_cast<size_t>(img.channels);
  for (size_t i = 0; i < n; ++i, px += channels) {
    if (f.associated && px[3] != 0) {
      for (size_t c = 0; c < (f.greyAlpha ? 1u : 3u); ++c) {
        px[c] = static_cast<uint8_t>(std::min<uint32_t>(255, (px[c] * 255u + px[3] / 2u) / px[3]));
      }
    }
    if (f.invert) px[0] = static_cast<uint8_t>(255 - px[0]);
    if (f.greyAlpha) px[1] = px[2] = px[0];
  }
}

// Most bytes a chunk of `count` input bytes can give, or for fax the most
// rows (every row costs at least one bit).
bool chunkCanFill(const Format& f, uint64_t count, uint64_t rows, uint64_t expected) {
  if (isFax(f.compression)) return base::saturatingMul<uint64_t>(count, 8) >= rows;
  if (f.compression == kJpeg) return base::saturatingMul<uint64_t>(count, kJpegMaxExpansion) >= expected;
  return maxDecodedSize(f.compression, count) >= expected;
}

// Decodes every strip or tile, plane by plane, into `img`, or only checks
// them when `img` is null.
void decodeChunks(ByteView data, const Format& f, const Layout& l, uint64_t width, uint64_t height,
                  Image* img) {
  const uint32_t planes = f.planar ? f.spp : 1;
  const size_t rowBytes = storedRowBytes(f, l.chunkWidth);
  Bytes scratch, work, tmp;
  for (uint64_t k = 0; k < l.count * planes; ++k) {
    const uint64_t i = k % l.count;
    const uint64_t rows = decodedRows(l, i, height);
    const size_t expected = toSize(base::saturatingMul<uint64_t>(storedRows(f, rows), rowBytes));
    Place p;
    p.plane = static_cast<uint32_t>(k / l.count);
    p.x0 = static_cast<size_t>(l.tiled ? (i % l.across) * l.chunkWidth : 0);
    p.y0 = static_cast<size_t>(l.tiled ? (i / l.across) * l.chunkRows : i * l.chunkRows);
    p.cols = static_cast<size_t>(std::min<uint64_t>(l.chunkWidth, width - p.x0));
    p.rows = static_cast<size_t>(std::min<uint64_t>(rows, height - p.y0));
    if (f.compression == kJpeg) {
      const ByteView in = decodeChunkInto(data, l.offsets[k], l.byteCounts[k], 0, kNone, scratch, true);
      decodeJpegChunk(f.jpegTables, in, l.chunkWidth, rows, p.x0, p.y0, p.cols, p.rows, img);
      continue;
    }
    ByteView chunk;
    if (isFax(f.compression)) {
      const ByteView in = decodeChunkInto(data, l.offsets[k], l.byteCounts[k], 0, kNone, scratch, true);
      ccittDecodeInto(in, static_cast<size_t>(l.chunkWidth), static_cast<size_t>(rows), f.fax, scratch);
      chunk = ByteView(scratch.data(), expected);
    } else {
      chunk = decodeChunkInto(data, l.offsets[k], l.byteCounts[k], expected, f.compression, scratch, true);
    }
    if (chunk.size() < expected) fail(ekTruncated, "tiff: decoded strip/tile too short");
    if (img == nullptr) continue;
    if (f.predictor != 1) {
      work.assign(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(expected));
      const uint32_t stride = f.planar ? 1 : f.spp;
      const size_t samples = static_cast<size_t>(l.chunkWidth) * stride;
      for (size_t r = 0; r < p.rows; ++r) {
        uint8_t* row = work.data() + r * rowBytes;
        if (f.predictor == 3) {
          unpredictFloatRow(row, samples, f.bits / 8, stride, tmp);
        } else if (f.bits == 32) {
          unpredict32(row, samples, stride, f.little);
        } else {
          applyPredictor(row, 1, rowBytes, stride, f.bits, f.little);
        }
      }
      chunk = ByteView(work.data(), work.size());
    }
    if (subsampledYCbCr(f)) {
      placeYCbCr(f, chunk.data(), rowBytes, p, *img);
    } else {
      placeSamples(f, chunk.data(), rowBytes, p, *img);
    }
  }
}

}  // namespace

Image decodeWide(ByteView data, const Ifd& ifd, base::ByteOrder order, uint64_t width, uint64_t height) {
  const Format f = readFormat(ifd, order);
  Layout l = readLayout(ifd, width, height);
  const uint32_t planes = f.planar ? f.spp : 1;
  if (l.offsets.size() / planes < l.count || l.byteCounts.size() / planes < l.count) {
    fail(ekTruncated, l.tiled ? "tiff: tile offset/count table truncated" : "tiff: strip offset/count table truncated");
  }
  if (subsampledYCbCr(f) && !l.tiled && l.chunkRows < height && l.chunkRows % f.subV != 0) {
    fail(ekInvalid, "tiff: YCbCr strips must hold whole data units");
  }
  if (subsampledYCbCr(f) && l.tiled && (l.chunkRows % f.subV != 0 || l.chunkWidth % f.subH != 0)) {
    fail(ekInvalid, "tiff: YCbCr tiles must hold whole data units");
  }

  // Allocate only when every strip or tile can fill its share.
  const size_t rowBytes = storedRowBytes(f, l.chunkWidth);
  bool canFill = true;
  for (uint64_t k = 0; k < l.count * planes && canFill; ++k) {
    const uint64_t offset = l.offsets[k], count = l.byteCounts[k];
    const bool inFile = offset <= INT64_MAX && count <= INT64_MAX &&
                        base::fits(data, static_cast<int64_t>(offset), static_cast<int64_t>(count));
    const uint64_t rows = decodedRows(l, k % l.count, height);
    canFill = inFile && chunkCanFill(f, count, rows, base::saturatingMul<uint64_t>(storedRows(f, rows), rowBytes));
  }
  if (!canFill) decodeChunks(data, f, l, width, height, nullptr);

  Image img = newImage(static_cast<int64_t>(width), static_cast<int64_t>(height), f.cs);
  decodeChunks(data, f, l, width, height, &img);
  finish(f, img);
  return img;
}

}  // namespace kd::formats::tiff
