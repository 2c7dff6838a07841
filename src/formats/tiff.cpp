// TIFF image decoder: classic TIFF, first directory only; strips or tiles;
// no compression, LZW, Deflate and PackBits; horizontal predictor 2; 1-, 4-,
// 8- and 16-bit samples; grey, RGB, palette, mask and CMYK pictures.
//
// Allocation follows the input, not the header: a directory may claim a
// 2^30-pixel picture in a few hundred bytes. Before the picture is allocated
// every strip or tile must be able to decode to its full size, judged by its
// byte count times the largest expansion its compression allows
// (maxDecodedSize). When one cannot, the strips and tiles are decoded without
// a picture behind them: one of them then fails with the same message the
// full decode would give, and memory stays in proportion to the input.
#include "formats/tiff.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "base/checked.h"
#include "base/cpu.h"
#include "base/memory.h"
#include "compress/deflate.h"
#include "compress/inflate.h"
#include "formats/codecs.h"
#include "formats/lzw.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::formats {

namespace tiff {

namespace {

constexpr uint64_t kMaxDimension = uint64_t{1} << 30;
constexpr uint32_t kMaxSamples = 6;

constexpr std::array<uint8_t, 13> kTypeSizes = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

// TIFF 6.0 LZW: MSB-first codes, the width growing one code early, and a
// stream that ends without EndOfInformation simply ends.
constexpr LzwRules kTiffLzw = {8,
                               /*msbFirst=*/true,
                               /*earlyChange=*/true,
                               /*failOnTruncation=*/false,
                               "",
                               "tiff: bad LZW first code",
                               "tiff: bad LZW code",
                               "tiff: LZW output exceeds expected size"};

// The same, keeping the bytes a strip needs of a stream that decodes to
// more, as libtiff does.
constexpr LzwRules kTiffLzwKeep = {8, true, true, false, "", kTiffLzw.badFirstCode, kTiffLzw.badCode,
                                   nullptr};

size_t packbitsInto(ByteView in, size_t expected, Bytes& out) {
  size_t i = 0;
  size_t pos = 0;
  while (i < in.size()) {
    const auto n = static_cast<int8_t>(in[i++]);
    if (n == -128) continue;
    if (n >= 0) {
      const size_t run = static_cast<size_t>(n) + 1;
      if (run > in.size() - i) fail(ekTruncated, "tiff: PackBits literal run truncated");
      if (run > expected - pos) fail(ekInvalid, "tiff: PackBits output exceeds expected size");
      if (run > out.size() - pos) growTo(out, pos + run, expected);
      std::memcpy(out.data() + pos, in.data() + i, run);
      i += run;
      pos += run;
    } else {
      const size_t run = static_cast<size_t>(1 - n);
      if (i == in.size()) fail(ekTruncated, "tiff: PackBits repeat run truncated");
      if (run > expected - pos) fail(ekInvalid, "tiff: PackBits output exceeds expected size");
      if (run > out.size() - pos) growTo(out, pos + run, expected);
      std::memset(out.data() + pos, in[i++], run);
      pos += run;
    }
  }
  return pos;
}

// The stored bytes of one strip or tile.
ByteView chunkBytes(ByteView data, uint64_t offset, uint64_t count) {
  if (count == 0) fail(ekTruncated, "tiff: empty strip/tile");
  if (offset > INT64_MAX || count > INT64_MAX ||
      !base::fits(data, static_cast<int64_t>(offset), static_cast<int64_t>(count))) {
    fail(ekTruncated, "tiff: strip/tile bytes out of range");
  }
  return data.subspan(static_cast<size_t>(offset), static_cast<size_t>(count));
}

// How one row of decoded samples becomes pixels of the output colour space.
struct PixelFormat {
  uint32_t photometric = 0;
  uint32_t spp = 1;
  uint32_t bits = 1;
  bool little = true;
  bool invert = false;  // WhiteIsZero and transparency mask
  bool associated = false;  // colour premultiplied by the alpha (ExtraSamples 1)
  ColorSpace cs = csGray;
  std::vector<uint8_t> palette;  // 2^bits RGB triples
};

template <uint32_t Bits>
inline uint32_t rawSample(const uint8_t* row, size_t i, bool little) {
  if constexpr (Bits == 1) return (row[i >> 3] >> (7 - (i & 7))) & 1u;
  if constexpr (Bits == 4) return (row[i >> 1] >> ((i & 1) ? 0 : 4)) & 15u;
  if constexpr (Bits == 8) return row[i];
  if constexpr (Bits == 16) {
    return little ? base::loadLe16(row + 2 * i) : base::loadBe16(row + 2 * i);
  }
}

template <uint32_t Bits>
inline uint8_t to8(uint32_t v) {
  if constexpr (Bits == 1) return static_cast<uint8_t>(v * 255);
  if constexpr (Bits == 4) return static_cast<uint8_t>(v * 17);
  if constexpr (Bits == 8) return static_cast<uint8_t>(v);
  if constexpr (Bits == 16) return static_cast<uint8_t>(v >> 8);
}

// Pixels of colour premultiplied by their last sample, alpha, made straight:
// each colour sample becomes min(max, round(c * max / a)) at the file's
// precision before the reduction to 8 bits; alpha 0 leaves the colour.
template <uint32_t Bits>
void unpremultiplyRowAs(const PixelFormat& f, const uint8_t* src, uint8_t* dst, size_t n) {
  constexpr uint32_t kMax = (uint32_t{1} << Bits) - 1;
  const size_t spp = f.spp;
  const bool grey = spp == 2;
  const uint8_t flip = f.invert ? 255 : 0;
  for (size_t x = 0; x < n; ++x) {
    const uint32_t alpha = rawSample<Bits>(src, x * spp + spp - 1, f.little);
    for (size_t c = 0; c + 1 < spp; ++c) {
      uint32_t v = rawSample<Bits>(src, x * spp + c, f.little);
      if (alpha != 0) v = std::min<uint32_t>(kMax, (v * uint64_t{kMax} + alpha / 2) / alpha);
      const uint8_t out = static_cast<uint8_t>(to8<Bits>(v) ^ (grey ? flip : 0));
      if (grey) {
        dst[4 * x] = dst[4 * x + 1] = dst[4 * x + 2] = out;
      } else {
        dst[x * spp + c] = out;
      }
    }
    dst[(grey ? 4 : spp) * x + (grey ? 3 : spp - 1)] = to8<Bits>(alpha);
  }
}

template <uint32_t Bits>
void convertRowAs(const PixelFormat& f, const uint8_t* src, uint8_t* dst, size_t n) {
  if (f.associated) return unpremultiplyRowAs<Bits>(f, src, dst, n);
  const bool little = f.little;
  const uint8_t flip = f.invert ? 255 : 0;
  if (f.photometric == 3) {
    const size_t colours = f.palette.size() / 3;
    for (size_t x = 0; x < n; ++x) {
      const uint32_t index = rawSample<Bits>(src, x, little);
      if (index >= colours) fail(ekInvalid, "tiff: palette index out of range");
      std::memcpy(dst + 3 * x, f.palette.data() + 3 * index, 3);
    }
    return;
  }
  if (f.cs == csGray) {
    for (size_t x = 0; x < n; ++x) dst[x] = to8<Bits>(rawSample<Bits>(src, x, little)) ^ flip;
    return;
  }
  if (f.spp == 2) {  // grey and alpha
    for (size_t x = 0; x < n; ++x) {
      const uint8_t g = to8<Bits>(rawSample<Bits>(src, 2 * x, little)) ^ flip;
      dst[4 * x] = dst[4 * x + 1] = dst[4 * x + 2] = g;
      dst[4 * x + 3] = to8<Bits>(rawSample<Bits>(src, 2 * x + 1, little));
    }
    return;
  }
  const size_t samples = n * f.spp;
  for (size_t i = 0; i < samples; ++i) dst[i] = to8<Bits>(rawSample<Bits>(src, i, little));
}

// 8-bit samples of these pictures are already laid out as the output
// stores them.
bool storedAsIs(const PixelFormat& f) {
  return f.photometric != 3 && !f.invert && f.spp != 2 && !f.associated;
}

void convertRow(const PixelFormat& f, const uint8_t* src, uint8_t* dst, size_t n) {
  switch (f.bits) {
    case 1: return convertRowAs<1>(f, src, dst, n);
    case 4: return convertRowAs<4>(f, src, dst, n);
    case 8:
      if (storedAsIs(f)) {
        std::memcpy(dst, src, n * f.spp);  // samples already as the output stores them
        return;
      }
      return convertRowAs<8>(f, src, dst, n);
    default: return convertRowAs<16>(f, src, dst, n);
  }
}

// Horizontal differencing undone on 8-bit samples, with the running sums
// in registers: a store-to-load dependency per byte would cost several
// cycles each.
#if KD_SSE2
// 3- and 4-byte pixels (8-bit RGB and RGBA), 16 bytes at a time: a prefix
// sum at pixel stride inside the register (shifted copies added), plus the
// last pixel of the previous step in every pixel. For 3-byte pixels a step
// covers five pixels and byte 15 is written back unchanged.
template <size_t Spp>
size_t unpredictVector(uint8_t* row, size_t rowBytes) {
  constexpr size_t step = Spp == 3 ? 15 : 16;
  const __m128i keepLast = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1);
  const __m128i pixel0 = _mm_setr_epi8(-1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  __m128i carry = _mm_setzero_si128();
  size_t i = 0;
  if (rowBytes < 16) return 0;
  // Each step's bytes are loaded before the previous step's store, which
  // overlaps them by one byte for 3-byte pixels (a load straddling a
  // pending store would wait for it).
  __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
  for (; i + 16 <= rowBytes; i += step) {
    const __m128i raw = next;
    if (i + step + 16 <= rowBytes) next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i + step));
    __m128i v = raw;
    if constexpr (Spp == 3) {
      v = _mm_add_epi8(v, _mm_slli_si128(v, 3));
      v = _mm_add_epi8(v, _mm_slli_si128(v, 6));
      v = _mm_add_epi8(v, _mm_slli_si128(v, 12));
      // The step's last pixel in every pixel, from the sums alone, so the
      // carry chain is one addition per step.
      __m128i last = _mm_and_si128(_mm_srli_si128(v, 12), pixel0);
      last = _mm_or_si128(last, _mm_slli_si128(last, 3));
      last = _mm_or_si128(last, _mm_slli_si128(last, 6));
      last = _mm_or_si128(last, _mm_slli_si128(last, 12));
      v = _mm_add_epi8(v, carry);
      carry = _mm_add_epi8(carry, last);
      v = _mm_or_si128(_mm_andnot_si128(keepLast, v), _mm_and_si128(keepLast, raw));
    } else {
      v = _mm_add_epi8(v, _mm_slli_si128(v, 4));
      v = _mm_add_epi8(v, _mm_slli_si128(v, 8));
      const __m128i last = _mm_shuffle_epi32(v, 0xFF);
      v = _mm_add_epi8(v, carry);
      carry = _mm_add_epi8(carry, last);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), v);
  }
  return i;  // bytes done, a multiple of the pixel size
}
#endif

template <size_t Spp>
void unpredict8As(uint8_t* row, size_t rowBytes) {
  if (rowBytes < Spp) return;
#if KD_SSE2
  if constexpr (Spp == 3 || Spp == 4) {
    const size_t done = unpredictVector<Spp>(row, rowBytes);
    if (done > 0) {
      for (size_t i = done; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - Spp]);
      return;
    }
  }
#endif
  std::array<uint8_t, Spp> sum;
  std::memcpy(sum.data(), row, Spp);
  for (size_t i = Spp; i + Spp <= rowBytes; i += Spp) {
    for (size_t c = 0; c < Spp; ++c) row[i + c] = sum[c] = static_cast<uint8_t>(sum[c] + row[i + c]);
  }
  for (size_t i = rowBytes - rowBytes % Spp; i < rowBytes; ++i) {
    row[i] = static_cast<uint8_t>(row[i] + row[i - Spp]);
  }
}

void unpredict8(uint8_t* row, size_t rowBytes, uint32_t spp) {
  switch (spp) {
    case 1: return unpredict8As<1>(row, rowBytes);
    case 2: return unpredict8As<2>(row, rowBytes);
    case 3: return unpredict8As<3>(row, rowBytes);
    case 4: return unpredict8As<4>(row, rowBytes);
    default:
      for (size_t i = spp; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - spp]);
  }
}

std::string numbered(const char* head, uint64_t value, const char* tail) {
  return std::string(head) + std::to_string(value) + tail;
}

// The checks on the fields that describe the samples, in a fixed order; the
// first that fails gives the message.
PixelFormat readPixelFormat(const Ifd& ifd, bool little) {
  const uint64_t compression = ifd.getU32(kCompression, 1);
  const uint64_t photometric = ifd.getU32(kPhotometric, 0);
  const uint64_t spp = ifd.getU32(kSamplesPerPixel, 1);
  const uint64_t planar = ifd.getU32(kPlanarConfiguration, 1);
  const uint64_t predictor = ifd.getU32(kPredictor, 1);
  const uint64_t bits = ifd.getU32(kBitsPerSample, 1);
  const uint64_t sampleFormat = ifd.getU32(kSampleFormat, 1);

  if (planar != 1) fail(ekUnsupported, "tiff: planar configuration 2 unsupported");
  if (photometric == 6) fail(ekUnsupported, "tiff: YCbCr unsupported");
  if (sampleFormat == 3) fail(ekUnsupported, "tiff: floating-point samples unsupported");
  if (compression != kNone && compression != kLzw && compression != kDeflate &&
      compression != kPackBits && compression != kAdobeDeflate) {
    fail(ekUnsupported, numbered("tiff: compression ", compression, " unsupported"));
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16) {
    fail(ekUnsupported, numbered("tiff: ", bits, "-bit samples unsupported"));
  }
  if (bits < 8 && spp != 1) fail(ekUnsupported, "tiff: sub-byte samples need spp=1");
  if (predictor != 1 && predictor != 2) {
    fail(ekUnsupported, numbered("tiff: predictor ", predictor, " unsupported"));
  }
  if (predictor == 2 && bits != 8 && bits != 16) {
    fail(ekUnsupported, "tiff: predictor 2 needs 8/16-bit samples");
  }

  PixelFormat f;
  f.photometric = static_cast<uint32_t>(std::min<uint64_t>(photometric, UINT32_MAX));
  f.bits = static_cast<uint32_t>(bits);
  f.little = little;
  switch (photometric) {
    case 0:
    case 1:
      if (spp != 1 && spp != 2) fail(ekUnsupported, numbered("tiff: gray with spp=", spp, " unsupported"));
      f.cs = spp == 1 ? csGray : csRgba;
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
      f.cs = csGray;
      f.invert = true;
      break;
    case 5:
      if (spp != 4) fail(ekUnsupported, "tiff: CMYK needs spp=4");
      f.cs = csCmyk;
      break;
    default: fail(ekUnsupported, numbered("tiff: photometric ", photometric, " unsupported"));
  }
  f.spp = static_cast<uint32_t>(spp);
  f.associated = f.cs == csRgba && ifd.getU32(kExtraSamples, 0) == 1;
  if (photometric == 3) {
    const std::vector<uint64_t> map = ifd.getSeq(kColorMap);
    const size_t colours = size_t{1} << bits;
    if (map.size() < 3 * colours) fail(ekInvalid, "tiff: ColorMap too small");
    f.palette.resize(3 * colours);
    for (size_t i = 0; i < colours; ++i) {
      for (size_t c = 0; c < 3; ++c) {
        f.palette[3 * i + c] = static_cast<uint8_t>(map[c * colours + i] >> 8);
      }
    }
  }
  return f;
}

// Decodes every strip or tile in order into `img`, or only checks them when
// `img` is null.
void decodeChunks(ByteView data, const Ifd& ifd, const PixelFormat& f, const Layout& l,
                  uint64_t width, uint64_t height, bool keepLzwExcess, Image* img) {
  const uint32_t compression = static_cast<uint32_t>(ifd.getU32(kCompression, 1));
  const uint64_t predictor = ifd.getU32(kPredictor, 1);
  const size_t rowBytes = rowBytesFor(l.chunkWidth, f.spp, f.bits);
  const size_t channels = static_cast<size_t>(channelsOf(f.cs));
  Bytes scratch;
  Bytes predicted;
  // LZW and Deflate strips of 8-bit samples the picture stores as they are
  // decode straight into the picture, with the checks and messages of the
  // decode into `scratch`.
  const bool direct = img != nullptr && !l.tiled && f.bits == 8 && storedAsIs(f) &&
                      (compression == kLzw || compression == kDeflate || compression == kAdobeDeflate);
  for (uint64_t i = 0; i < l.count; ++i) {
    const uint64_t rows = decodedRows(l, i, height);
    const size_t expected = toSize(base::saturatingMul<uint64_t>(rows, rowBytes));
    if (direct) {
      const ByteView in = chunkBytes(data, l.offsets[i], l.byteCounts[i]);
      const size_t at = static_cast<size_t>(i * l.chunkRows) * rowBytes;
      img->pixels.resize(at + expected);
      uint8_t* dst = img->pixels.data() + at;
      const size_t produced = compression == kLzw ? lzwDecodeTo(in, dst, expected, keepLzwExcess)
                                                  : compress::zlibInflateTo(in, dst, expected);
      if (produced < expected) fail(ekTruncated, "tiff: decoded strip/tile too short");
      if (predictor == 2) {
        for (size_t r = 0; r < rows; ++r) unpredict8(dst + r * rowBytes, rowBytes, f.spp);
      }
      continue;
    }
    ByteView chunk =
        decodeChunkInto(data, l.offsets[i], l.byteCounts[i], expected, compression, scratch,
                        keepLzwExcess);
    if (chunk.size() < expected) fail(ekTruncated, "tiff: decoded strip/tile too short");
    if (img == nullptr) continue;
    const uint64_t x0 = l.tiled ? (i % l.across) * l.chunkWidth : 0;
    const uint64_t y0 = l.tiled ? (i / l.across) * l.chunkRows : i * l.chunkRows;
    const size_t cols = static_cast<size_t>(std::min(l.chunkWidth, width - x0));
    const size_t keepRows = static_cast<size_t>(std::min(rows, height - y0));
    // 8-bit samples the picture stores as they are undo their differences
    // row by row in the picture itself, while the row is in cache.
    const bool inPlace = predictor == 2 && f.bits == 8 && storedAsIs(f);
    if (predictor == 2 && !inPlace) {
      if (chunk.data() != scratch.data()) {
        predicted.assign(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(expected));
        chunk = ByteView(predicted.data(), predicted.size());
      }
      applyPredictor(const_cast<uint8_t*>(chunk.data()), keepRows, rowBytes, f.spp, f.bits,
                     f.little);
    }
    // Strips come in order, so the picture grows strip by strip and each
    // stretch is zeroed while it is about to be written anyway.
    if (!l.tiled) img->pixels.resize((y0 + keepRows) * width * channels);
    uint8_t* out = img->pixels.data();
    for (size_t r = 0; r < keepRows; ++r) {
      uint8_t* dst = out + ((y0 + r) * width + x0) * channels;
      if (inPlace) {
        std::memcpy(dst, chunk.data() + r * rowBytes, cols * f.spp);
        unpredict8(dst, cols * f.spp, f.spp);
      } else {
        convertRow(f, chunk.data() + r * rowBytes, dst, cols);
      }
    }
  }
}

}  // namespace

ByteView decodeChunkInto(ByteView data, uint64_t offset, uint64_t count, size_t expected,
                         uint32_t compression, Bytes& scratch, bool keepLzwExcess) {
  const ByteView in = chunkBytes(data, offset, count);
  if (compression == kLzw || compression == kPackBits) {
    const uint64_t most = std::min<uint64_t>(expected, maxDecodedSize(compression, count));
    if (scratch.size() < most) scratch.resize(toSize(most));
  }
  // Each decoder may grow `scratch`: the view is taken only once it has
  // returned, so it never points at the block a growth released.
  size_t produced = 0;
  switch (compression) {
    case kLzw: produced = lzwDecodeInto(in, expected, scratch, keepLzwExcess ? kTiffLzwKeep : kTiffLzw); break;
    case kPackBits: produced = packbitsInto(in, expected, scratch); break;
    case kDeflate:
    case kAdobeDeflate: produced = compress::zlibInflateInto(in, expected, scratch); break;
    default: return in;
  }
  return ByteView(scratch.data(), produced);
}

Layout readLayout(const Ifd& ifd, uint64_t width, uint64_t height) {
  Layout l;
  if (ifd.has(kTileWidth)) {
    l.tiled = true;
    l.chunkWidth = ifd.getU32(kTileWidth, 0);
    l.chunkRows = ifd.getU32(kTileLength, 0);
    if (l.chunkWidth == 0 || l.chunkRows == 0) fail(ekInvalid, "tiff: bad tile dimensions");
    l.across = width / l.chunkWidth + (width % l.chunkWidth != 0);
    const uint64_t down = height / l.chunkRows + (height % l.chunkRows != 0);
    l.count = l.across * down;  // both at most 2^30
    l.offsets = ifd.getSeq(kTileOffsets);
    l.byteCounts = ifd.getSeq(kTileByteCounts);
    if (l.offsets.size() < l.count || l.byteCounts.size() < l.count) {
      fail(ekTruncated, "tiff: tile offset/count table truncated");
    }
  } else {
    l.chunkWidth = width;
    // A RowsPerStrip of 0 would describe no strips at all; like an absent
    // field it means one strip for the whole picture.
    l.chunkRows = ifd.getU32(kRowsPerStrip, height);
    if (l.chunkRows == 0 || l.chunkRows > height) l.chunkRows = height;
    l.count = height / l.chunkRows + (height % l.chunkRows != 0);
    l.offsets = ifd.getSeq(kStripOffsets);
    l.byteCounts = ifd.getSeq(kStripByteCounts);
    if (l.offsets.size() < l.count || l.byteCounts.size() < l.count) {
      fail(ekTruncated, "tiff: strip offset/count table truncated");
    }
  }
  return l;
}

uint64_t decodedRows(const Layout& l, uint64_t index, uint64_t height) {
  if (l.tiled) return l.chunkRows;
  return std::min(l.chunkRows, height - index * l.chunkRows);
}

uint32_t typeSize(uint32_t type) { return type < kTypeSizes.size() ? kTypeSizes[type] : 0; }

uint64_t Ifd::element(const Field& f, uint32_t i) const {
  const uint32_t size = typeSize(f.type);
  const int64_t at = static_cast<int64_t>(f.pos + uint64_t{i} * size);
  switch (size) {
    case 1: return data_[static_cast<size_t>(at)];
    case 2: return base::loadU16(data_, at, order_);
    case 4: return base::loadU32(data_, at, order_);
    default:
      return uint64_t{base::loadU32(data_, at, order_)} << 32 | base::loadU32(data_, at + 4, order_);
  }
}

uint64_t Ifd::getU32(uint16_t tag, uint64_t fallback) const {
  auto it = fields_.find(tag);
  if (it == fields_.end() || it->second.count == 0) return fallback;
  return element(it->second, 0);
}

std::vector<uint64_t> Ifd::getSeq(uint16_t tag) const {
  std::vector<uint64_t> out;
  auto it = fields_.find(tag);
  if (it == fields_.end()) return out;
  out.resize(it->second.count);  // the values lie inside the file
  for (uint32_t i = 0; i < it->second.count; ++i) out[i] = element(it->second, i);
  return out;
}

Ifd parseIfd(ByteView data, uint64_t offset, base::ByteOrder order) {
  if (offset > INT64_MAX || !base::fits(data, static_cast<int64_t>(offset), 2)) {
    fail(ekTruncated, "tiff: IFD offset out of range");
  }
  const auto at = static_cast<size_t>(offset);
  const uint16_t entries = base::loadU16(data, static_cast<int64_t>(at), order);
  if (!base::fits(data, static_cast<int64_t>(at) + 2, int64_t{entries} * 12)) {
    fail(ekTruncated, "tiff: IFD entries truncated");
  }
  Ifd ifd(data, order);
  for (size_t e = 0; e < entries; ++e) {
    const auto entry = static_cast<int64_t>(at + 2 + 12 * e);
    Ifd::Field f;
    const uint16_t tag = base::loadU16(data, entry, order);
    f.type = base::loadU16(data, entry + 2, order);
    f.count = base::loadU32(data, entry + 4, order);
    const uint32_t size = typeSize(f.type);
    if (size == 0) continue;
    const uint64_t total = uint64_t{f.count} * size;
    if (total <= 4) {
      f.pos = static_cast<size_t>(entry + 8);
    } else {
      const uint32_t valueAt = base::loadU32(data, entry + 8, order);
      if (!base::fits(data, valueAt, static_cast<int64_t>(total))) {
        fail(ekTruncated, "tiff: field value out of range");
      }
      f.pos = valueAt;
    }
    ifd.add(tag, f);
  }
  return ifd;
}

size_t rowBytesFor(uint64_t width, uint32_t spp, uint32_t bits) {
  const uint64_t bitCount = base::saturatingMul<uint64_t>(base::saturatingMul<uint64_t>(width, spp), bits);
  return toSize(bitCount == UINT64_MAX ? bitCount : bitCount / 8 + (bitCount % 8 != 0));
}

uint64_t maxDecodedSize(uint32_t compression, uint64_t count) {
  switch (compression) {
    case kLzw: return lzwBound(base::saturatingAdd<uint64_t>(count / 9 * 8, 8));  // at least 9 bits a code
    case kPackBits: return base::saturatingMul<uint64_t>(count / 2 + 1, 128);     // two bytes repeat one 128 times
    case kDeflate:
    case kAdobeDeflate: return base::saturatingMul<uint64_t>(count, compress::kDeflateMaxExpansion);
    default: return count;
  }
}

Bytes lzwDecode(ByteView in, size_t expected) {
  Bytes out(toSize(std::min<uint64_t>(expected, maxDecodedSize(kLzw, in.size()))));
  out.resize(lzwDecodeInto(in, expected, out, kTiffLzw));
  return out;
}

size_t lzwDecodeTo(ByteView in, uint8_t* out, size_t expected, bool keepExcess) {
  return formats::lzwDecodeTo(in, out, expected, keepExcess ? kTiffLzwKeep : kTiffLzw);
}

void applyPredictor(uint8_t* chunk, size_t rows, size_t rowBytes, uint32_t spp, uint32_t bits,
                    bool littleEndian) {
  for (size_t r = 0; r < rows; ++r) {
    uint8_t* row = chunk + r * rowBytes;
    if (bits == 8) {
      unpredict8(row, rowBytes, spp);
      continue;
    }
    // rowBytes / 2 whole samples lie in the row.
    const size_t samples = rowBytes / 2;
    for (size_t i = spp; i < samples; ++i) {
      uint8_t* sample = row + 2 * i;
      const uint8_t* before = row + 2 * (i - spp);
      if (littleEndian) {
        base::storeLe16(sample, static_cast<uint16_t>(base::loadLe16(sample) + base::loadLe16(before)));
      } else {
        base::storeBe16(sample, static_cast<uint16_t>(base::loadBe16(sample) + base::loadBe16(before)));
      }
    }
  }
}

namespace {

// The classic header and the first directory.
Ifd readHeader(ByteView data, base::ByteOrder& order) {
  requireLen(data, 8, "tiff: header truncated");
  if (data[0] == 'I' && data[1] == 'I') {
    order = base::ByteOrder::kLittle;
  } else if (data[0] == 'M' && data[1] == 'M') {
    order = base::ByteOrder::kBig;
  } else {
    fail(ekUnsupported, "tiff: bad byte order");
  }
  if (base::loadU16(data, 2, order) != 42) fail(ekUnsupported, "tiff: bad magic (not classic TIFF)");
  return parseIfd(data, base::loadU32(data, 4, order), order);
}

// Whether the plain decoder takes the samples this directory describes (it
// then also gives the failures of the picture it declares).
bool plainReads(const Ifd& ifd) {
  const uint64_t compression = ifd.getU32(kCompression, 1);
  const uint64_t bits = ifd.getU32(kBitsPerSample, 1);
  const uint64_t predictor = ifd.getU32(kPredictor, 1);
  const bool knownCompression = compression == kNone || compression == kLzw ||
                                compression == kDeflate || compression == kPackBits ||
                                compression == kAdobeDeflate;
  return ifd.getU32(kPlanarConfiguration, 1) == 1 && ifd.getU32(kPhotometric, 0) <= 5 &&
         ifd.getU32(kSampleFormat, 1) != 3 && knownCompression &&
         (bits == 1 || bits == 4 || bits == 8 || bits == 16) &&
         (bits >= 8 || ifd.getU32(kSamplesPerPixel, 1) == 1) &&
         (predictor == 1 || (predictor == 2 && bits >= 8));
}

Image decodePlain(ByteView data, const Ifd& ifd, bool little, uint64_t width, uint64_t height,
                  bool keepLzwExcess) {
  const PixelFormat f = readPixelFormat(ifd, little);
  const Layout l = readLayout(ifd, width, height);
  if (f.spp > kMaxSamples) fail(ekUnsupported, "tiff: sample count exceeds decoder capacity");

  // Allocate only when every strip or tile can fill its share.
  const uint32_t compression = static_cast<uint32_t>(ifd.getU32(kCompression, 1));
  const size_t rowBytes = rowBytesFor(l.chunkWidth, f.spp, f.bits);
  bool canFill = true;
  for (uint64_t i = 0; i < l.count && canFill; ++i) {
    const uint64_t offset = l.offsets[i], count = l.byteCounts[i];
    const bool inFile = offset <= INT64_MAX && count <= INT64_MAX &&
                        base::fits(data, static_cast<int64_t>(offset), static_cast<int64_t>(count));
    const uint64_t most = inFile ? maxDecodedSize(compression, count) : 0;
    canFill = most >= base::saturatingMul<uint64_t>(decodedRows(l, i, height), rowBytes);
  }
  if (!canFill) decodeChunks(data, ifd, f, l, width, height, keepLzwExcess, nullptr);

  Image img;
  img.width = static_cast<int64_t>(width);
  img.height = static_cast<int64_t>(height);
  img.colorspace = f.cs;
  img.channels = channelsOf(f.cs);
  const size_t size = sampleCount(img.width, img.height, f.cs);
  img.pixels.reserve(size);
  base::adviseHugePages(img.pixels.data(), size);
  if (l.tiled) img.pixels.resize(size);
  decodeChunks(data, ifd, f, l, width, height, keepLzwExcess, &img);
  return img;
}

}  // namespace

}  // namespace tiff

Image decodeTiff(ByteView data) { return decodeTiff(data, DecodeOptions{}); }

Image decodeTiff(ByteView data, const DecodeOptions& opts) {
  using namespace tiff;
  base::ByteOrder order;
  const Ifd ifd = readHeader(data, order);
  const uint64_t width = ifd.getU32(kImageWidth, 0);
  const uint64_t height = ifd.getU32(kImageLength, 0);
  if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) {
    fail(ekInvalid, "tiff: bad image dimensions");
  }
  requirePixelCount(static_cast<int64_t>(width), static_cast<int64_t>(height),
                    "tiff: image has too many pixels");
  if (opts.wide && !plainReads(ifd)) return decodeWide(data, ifd, order, width, height);
  return decodePlain(data, ifd, order == base::ByteOrder::kLittle, width, height, opts.wide);
}

}  // namespace kd::formats
