// PNG codec: every colour type and bit depth in, 8-bit samples out
// (Adam7-interlaced files only under the wide option); the encoder writes
// 8-bit, filter-free, single-IDAT files.
#include "formats/png.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "base/checked.h"
#include "base/cpu.h"
#include "compress/crc32.h"
#include "compress/deflate.h"
#include "compress/inflate.h"
#include "compress/zlib.h"
#include "formats/codecs.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::formats {

namespace {

constexpr std::array<uint8_t, 8> PngSig = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

constexpr char cIHDR[4] = {'I', 'H', 'D', 'R'};
constexpr char cPLTE[4] = {'P', 'L', 'T', 'E'};
constexpr char cTRNS[4] = {'t', 'R', 'N', 'S'};
constexpr char cIDAT[4] = {'I', 'D', 'A', 'T'};
constexpr char cIEND[4] = {'I', 'E', 'N', 'D'};

constexpr int64_t kMaxDimension = int64_t{1} << 30;
// Chunk lengths are 31-bit.
constexpr size_t kMaxChunkData = 0x7FFFFFFF;

bool isType(ByteView type, const char (&name)[4]) {
  return std::memcmp(type.data(), name, 4) == 0;
}

struct Header {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t depth = 0;
  uint8_t colorType = 0;
  uint8_t interlace = 0;  // 0 none, 1 Adam7
};

// What the chunk walk collects. Views point into the caller's buffer.
struct Chunks {
  bool haveHeader = false;
  Header header;
  ByteView palette;  // RGB triples
  ByteView trns;     // raw tRNS bytes
  std::vector<ByteView> idat;
};

// Samples per pixel in the file, or 0 for an unsupported type/depth pair.
unsigned samplesPerPixel(unsigned colorType, unsigned depth) {
  switch (colorType) {
    case 0: return (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16) ? 1 : 0;
    case 2: return (depth == 8 || depth == 16) ? 3 : 0;
    case 3: return (depth == 1 || depth == 2 || depth == 4 || depth == 8) ? 1 : 0;
    case 4: return (depth == 8 || depth == 16) ? 2 : 0;
    case 6: return (depth == 8 || depth == 16) ? 4 : 0;
    default: return 0;
  }
}

// `wide` accepts Adam7 interlacing.
void readHeader(ByteView data, Chunks& chunks, bool wide) {
  if (data.size() != 13) fail(ekInvalid, "png: bad IHDR length");
  if (data[10] != 0) fail(ekUnsupported, "png: unsupported compression");
  if (data[11] != 0) fail(ekUnsupported, "png: unsupported filter");
  if (data[12] != 0 && !wide) fail(ekUnsupported, "png: Adam7 interlace unsupported");
  if (data[12] > 1) fail(ekInvalid, "png: unknown interlace method");
  chunks.haveHeader = true;
  chunks.header = {base::loadBe32(data.data()), base::loadBe32(data.data() + 4), data[8],
                   data[9], data[12]};
}

// Walks the chunks after the signature, checking every CRC. Stops after IEND
// (anything after it is ignored) or at the end of the input.
Chunks readChunks(ByteView file, bool wide) {
  Chunks chunks;
  base::ByteReader in(file, "png: chunk truncated");
  in.skip(PngSig.size());
  bool ended = false;
  for (;;) {
    if (in.atEnd() || ended) {
      if (chunks.haveHeader && ended) break;
      if (chunks.haveHeader) fail(ekTruncated, "png: missing IEND");
      fail(ekInvalid, "png: missing IHDR");
    }
    in.need(8, "png: chunk header truncated");
    const uint32_t length = in.u32be();
    if (length > 0x7FFFFFFFu) fail(ekInvalid, "png: chunk length exceeds the 2^31-1 limit");
    in.need(size_t{length} + 8, "png: chunk truncated");
    ByteView typeAndData = in.take(size_t{length} + 4);
    const uint32_t crc = in.u32be();
    if (compress::crc32(typeAndData) != crc) fail(ekInvalid, "png: chunk CRC mismatch");
    ByteView type = typeAndData.first(4);
    ByteView data = typeAndData.subspan(4);
    if (isType(type, cIHDR)) {
      readHeader(data, chunks, wide);
    } else if (isType(type, cPLTE)) {
      if (data.empty() || data.size() % 3 != 0) fail(ekInvalid, "png: bad PLTE");
      chunks.palette = data;
    } else if (isType(type, cTRNS)) {
      chunks.trns = data;
    } else if (isType(type, cIDAT)) {
      chunks.idat.push_back(data);
    } else if (isType(type, cIEND)) {
      ended = true;
    }
  }
  return chunks;
}

// The Paeth predictor of PNG: whichever of left, above and upper-left is
// closest to left + above - upper-left (ties to left, then above). Written
// without branches: photographs make the choice unpredictable.
inline uint8_t paeth(int a, int b, int c) {
  const int pa = std::abs(b - c);
  const int pb = std::abs(a - c);
  const int pc = std::abs(a + b - 2 * c);
  const int bc = pb <= pc ? b : c;
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : bc);
}

#if KD_SSE2
// Pixel-at-a-time unfiltering for 3- and 4-byte pixels (8-bit RGB and RGBA,
// the common photographic case): the channels of one pixel are computed
// together in 16-bit lanes. Same arithmetic as the scalar loops.
// Pixels are assembled in registers (a 3-byte memcpy would bounce through
// the stack and stall the store-to-load forwarding).
template <size_t Bpp>
uint32_t loadBytes(const uint8_t* p) {
  if constexpr (Bpp == 4) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  } else {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  }
}

template <size_t Bpp>
__m128i loadPixel(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(loadBytes<Bpp>(p))),
                           _mm_setzero_si128());
}

template <size_t Bpp>
void storePixel(uint8_t* p, __m128i bytes) {
  const uint32_t v = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
  if constexpr (Bpp == 4) {
    std::memcpy(p, &v, 4);
  } else {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
  }
}

inline __m128i absolute16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// Adds the 16-bit predictions to the filtered bytes at `src`, modulo 256.
template <size_t Bpp>
__m128i addFiltered(__m128i prediction, const uint8_t* src) {
  return _mm_add_epi8(_mm_packus_epi16(prediction, prediction),
                      _mm_cvtsi32_si128(static_cast<int>(loadBytes<Bpp>(src))));
}

template <size_t Bpp>
void unfilterPixels(unsigned filter, uint8_t* dst, const uint8_t* src, const uint8_t* prior,
                    size_t rowBytes) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero;  // left, unfiltered
  __m128i c = zero;  // upper-left
  for (size_t i = 0; i < rowBytes; i += Bpp) {
    __m128i out;
    if (filter == 1) {
      out = addFiltered<Bpp>(a, src + i);
    } else if (filter == 3) {
      const __m128i b = loadPixel<Bpp>(prior + i);
      out = addFiltered<Bpp>(_mm_srli_epi16(_mm_add_epi16(a, b), 1), src + i);
    } else {
      const __m128i b = loadPixel<Bpp>(prior + i);
      const __m128i pa = _mm_sub_epi16(b, c);
      const __m128i pb = _mm_sub_epi16(a, c);
      const __m128i absA = absolute16(pa);
      const __m128i absB = absolute16(pb);
      const __m128i absC = absolute16(_mm_add_epi16(pa, pb));
      const __m128i least = _mm_min_epi16(absC, _mm_min_epi16(absA, absB));
      const __m128i nearest = select(_mm_cmpeq_epi16(absA, least), a,
                                     select(_mm_cmpeq_epi16(absB, least), b, c));
      out = addFiltered<Bpp>(nearest, src + i);
      c = b;
    }
    storePixel<Bpp>(dst + i, out);
    a = _mm_unpacklo_epi8(out, zero);
  }
}
#endif

// Reverses one row's filter. `src` holds the filtered bytes, `dst` receives
// the result and may alias `src` or lie before it (each byte is written
// after the source bytes at or before it have been read); `prior` is the
// unfiltered row above (all zeros for the first row).
void unfilterRow(unsigned filter, uint8_t* dst, const uint8_t* src, const uint8_t* prior,
                 size_t rowBytes, size_t bpp) {
  if (filter > 4) fail(ekInvalid, "png: bad filter type");
  const size_t lead = std::min(bpp, rowBytes);
  if (filter == 0) {
    if (dst != src) std::memmove(dst, src, rowBytes);
    return;
  }
  if (filter == 2) {
    size_t i = 0;
#if KD_SSE2
    // Load before store: with dst at or before src no unread byte is hit.
    for (; i + 16 <= rowBytes; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_add_epi8(x, b));
    }
#endif
    for (; i < rowBytes; ++i) dst[i] = static_cast<uint8_t>(src[i] + prior[i]);
    return;
  }
#if KD_SSE2
  if (bpp == 3 && rowBytes % 3 == 0) return unfilterPixels<3>(filter, dst, src, prior, rowBytes);
  if (bpp == 4 && rowBytes % 4 == 0) return unfilterPixels<4>(filter, dst, src, prior, rowBytes);
#endif
  switch (filter) {
    case 1:
      if (dst != src) std::memmove(dst, src, lead);
      for (size_t i = bpp; i < rowBytes; ++i) dst[i] = static_cast<uint8_t>(src[i] + dst[i - bpp]);
      return;
    case 3:
      for (size_t i = 0; i < lead; ++i) dst[i] = static_cast<uint8_t>(src[i] + (prior[i] >> 1));
      for (size_t i = bpp; i < rowBytes; ++i) {
        dst[i] = static_cast<uint8_t>(src[i] + ((dst[i - bpp] + prior[i]) >> 1));
      }
      return;
    default:
      for (size_t i = 0; i < lead; ++i) dst[i] = static_cast<uint8_t>(src[i] + prior[i]);
      for (size_t i = bpp; i < rowBytes; ++i) {
        dst[i] = static_cast<uint8_t>(src[i] + paeth(dst[i - bpp], prior[i], prior[i - bpp]));
      }
      return;
  }
}

struct Layout {
  int64_t width;
  int64_t height;
  unsigned depth;
  unsigned colorType;
  unsigned samples;   // per pixel in the file
  size_t bpp;         // bytes per pixel for filtering, at least 1
  size_t rowBytes;    // unfiltered bytes per row
};

Layout checkLayout(const Chunks& chunks) {
  const Header& h = chunks.header;
  Layout l{};
  l.width = h.width;
  l.height = h.height;
  if (l.width < 1 || l.width > kMaxDimension || l.height < 1 || l.height > kMaxDimension) {
    fail(ekInvalid, "png: bad dimensions");
  }
  requirePixelCount(l.width, l.height, "png: too many pixels");
  l.depth = h.depth;
  l.colorType = h.colorType;
  l.samples = samplesPerPixel(l.colorType, l.depth);
  if (l.samples == 0) fail(ekUnsupported, "png: unsupported color type/depth");
  if (l.colorType == 3 && chunks.palette.empty()) {
    fail(ekInvalid, "png: indexed image missing PLTE");
  }
  const size_t bitsPerPixel = size_t{l.depth} * l.samples;
  l.bpp = std::max<size_t>(1, bitsPerPixel / 8);
  // width <= 2^30 and bitsPerPixel <= 64: no overflow in 64 bits.
  l.rowBytes = (bitsPerPixel * static_cast<size_t>(l.width) + 7) / 8;
  return l;
}

// The palette as RGBA, for indexed images.
struct PaletteTable {
  std::array<uint8_t, 256 * 4> rgba{};
  size_t size = 0;  // entries in PLTE (may exceed 256)
};

PaletteTable paletteTable(const Layout& l, const Chunks& chunks) {
  PaletteTable t;
  if (l.colorType != 3) return t;
  t.size = chunks.palette.size() / 3;
  for (size_t i = 0; i < std::min<size_t>(t.size, 256); ++i) {
    t.rgba[4 * i] = chunks.palette[3 * i];
    t.rgba[4 * i + 1] = chunks.palette[3 * i + 1];
    t.rgba[4 * i + 2] = chunks.palette[3 * i + 2];
    t.rgba[4 * i + 3] = i < chunks.trns.size() ? chunks.trns[i] : 255;
  }
  return t;
}

// Converts one unfiltered row into `out`. False when a palette index is out
// of range.
bool convertRow(const Layout& l, const PaletteTable& palette, const uint8_t* row, uint8_t* out) {
  const size_t w = static_cast<size_t>(l.width);
  const size_t step = l.depth == 16 ? 2 : 1;
  switch (l.colorType) {
    case 0:
      if (l.depth < 8) {
        const unsigned scale = l.depth == 1 ? 255 : (l.depth == 2 ? 85 : 17);
        for (size_t x = 0; x < w; ++x) {
          out[x] = static_cast<uint8_t>(sampleBits(row, x, l.depth) * scale);
        }
        return true;
      }
      [[fallthrough]];
    case 2:
    case 6: {
      const size_t n = w * l.samples;
      for (size_t i = 0; i < n; ++i) out[i] = row[i * step];
      return true;
    }
    case 4:
      for (size_t x = 0; x < w; ++x, out += 4) {
        const uint8_t g = row[2 * x * step];
        out[0] = out[1] = out[2] = g;
        out[3] = row[(2 * x + 1) * step];
      }
      return true;
    default:
      for (size_t x = 0; x < w; ++x, out += 4) {
        const unsigned index = sampleBits(row, x, l.depth);
        if (index >= palette.size) return false;
        std::memcpy(out, &palette.rgba[4 * index], 4);
      }
      return true;
  }
}

// Unfilters and converts the image rows as inflate completes them, straight
// into the output image. 8-bit grey, RGB and RGBA rows are unfiltered into
// their final place, the row above read back from the image; other rows
// are unfiltered into a two-row ring and converted from there.
// Failures are only noted: they are reported after the whole stream has
// been inflated and checked, in the order a decode of the whole filtered
// data would meet them (any bad filter type before any palette index).
class RowSink final : public compress::InflateSink {
 public:
  RowSink(const Layout& l, const Chunks& chunks, Image& img)
      : l_(l), stride_(l.rowBytes + 1), palette_(paletteTable(l, chunks)), img_(img),
        direct_(l.depth == 8 && (l.colorType == 0 || l.colorType == 2 || l.colorType == 6)),
        zeros_(l.rowBytes, 0), ring_(direct_ ? 0 : 2 * l.rowBytes),
        outRow_(static_cast<size_t>(l.width) * channelsOf(img.colorspace)) {}

  size_t take(const uint8_t* data, size_t n) override {
    const size_t rows = n / stride_;
    for (size_t r = 0; r < rows; ++r, ++y_) {
      if (badFilter_) continue;
      const uint8_t* src = data + r * stride_;
      if (src[0] > 4) {
        badFilter_ = true;
        continue;
      }
      img_.pixels.resize(img_.pixels.size() + outRow_);
      uint8_t* out = img_.pixels.data() + y_ * outRow_;
      if (direct_) {
        const uint8_t* prior = y_ == 0 ? zeros_.data() : out - outRow_;
        unfilterRow(src[0], out, src + 1, prior, l_.rowBytes, l_.bpp);
        continue;
      }
      uint8_t* row = ring_.data() + (y_ & 1) * l_.rowBytes;
      const uint8_t* prior = y_ == 0 ? zeros_.data() : ring_.data() + ((y_ + 1) & 1) * l_.rowBytes;
      unfilterRow(src[0], row, src + 1, prior, l_.rowBytes, l_.bpp);
      if (!badPalette_ && !convertRow(l_, palette_, row, out)) badPalette_ = true;
    }
    return rows * stride_;
  }

  // Reports what the rows met.
  void finish() const {
    if (badFilter_) fail(ekInvalid, "png: bad filter type");
    if (badPalette_) fail(ekInvalid, "png: palette index out of range");
  }

 private:
  const Layout& l_;
  const size_t stride_;
  const PaletteTable palette_;
  Image& img_;
  const bool direct_;
  const Bytes zeros_;
  Bytes ring_;
  const size_t outRow_;
  size_t y_ = 0;
  bool badFilter_ = false;
  bool badPalette_ = false;
};

// One Adam7 pass: the pixels at (x0 + i * dx, y0 + j * dy).
struct Pass {
  size_t x0, y0, dx, dy;
};
constexpr std::array<Pass, 7> kAdam7 = {
    {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}};

// Pixels of a pass along a side of `size` pixels starting at `first`.
size_t passSide(int64_t size, size_t first, size_t step) {
  const size_t n = static_cast<size_t>(size);
  return n > first ? (n - first + step - 1) / step : 0;
}

// The layout of one pass's reduced image (width 0 when the pass is empty).
Layout passLayout(const Layout& l, const Pass& p) {
  Layout pass = l;
  pass.width = static_cast<int64_t>(passSide(l.width, p.x0, p.dx));
  pass.height = static_cast<int64_t>(passSide(l.height, p.y0, p.dy));
  if (pass.width == 0 || pass.height == 0) pass.width = pass.height = 0;
  pass.rowBytes = (size_t{l.depth} * l.samples * static_cast<size_t>(pass.width) + 7) / 8;
  return pass;
}

// Filtered bytes of an interlaced image: every non-empty pass's rows, each
// with its filter byte.
size_t interlacedSize(const Layout& l) {
  size_t total = 0;
  for (const Pass& p : kAdam7) {
    const Layout pass = passLayout(l, p);
    const size_t rows = static_cast<size_t>(pass.height);
    total = base::addOrFail<size_t>(
        total, base::mulOrFail<size_t>(rows, pass.rowBytes + 1, "png: too many pixels"),
        "png: too many pixels");
  }
  return total;
}

// The rows of an Adam7 image as inflate completes them, pass by pass: each
// is unfiltered against the row above it in its pass (a two-row ring of the
// widest pass), converted, and its pixels spread into the image, which is
// allocated whole (every pass reaches every part of it). Failures are
// noted and reported as RowSink reports them.
class InterlacedSink final : public compress::InflateSink {
 public:
  InterlacedSink(const Layout& l, const Chunks& chunks, Image& img)
      : l_(l), palette_(paletteTable(l, chunks)), img_(img), zeros_(l.rowBytes, 0),
        ring_(2 * l.rowBytes), converted_(static_cast<size_t>(l.width) * channelsOf(img.colorspace)) {
    startPass(0);
  }

  size_t take(const uint8_t* data, size_t n) override {
    size_t used = 0;
    while (pass_ < kAdam7.size() && n - used >= layout_.rowBytes + 1) {
      const uint8_t* src = data + used;
      used += layout_.rowBytes + 1;
      if (!badFilter_ && src[0] > 4) badFilter_ = true;
      if (!badFilter_) takeRow(src);
      if (++row_ == static_cast<size_t>(layout_.height)) startPass(pass_ + 1);
    }
    return used;
  }

  void finish() const {
    if (badFilter_) fail(ekInvalid, "png: bad filter type");
    if (badPalette_) fail(ekInvalid, "png: palette index out of range");
  }

 private:
  // Moves to the next non-empty pass from `index` on.
  void startPass(size_t index) {
    for (pass_ = index; pass_ < kAdam7.size(); ++pass_) {
      layout_ = passLayout(l_, kAdam7[pass_]);
      if (layout_.width != 0) break;
    }
    row_ = 0;
  }

  void takeRow(const uint8_t* src) {
    uint8_t* row = ring_.data() + (row_ & 1) * l_.rowBytes;
    const uint8_t* prior = row_ == 0 ? zeros_.data() : ring_.data() + ((row_ + 1) & 1) * l_.rowBytes;
    unfilterRow(src[0], row, src + 1, prior, layout_.rowBytes, l_.bpp);
    if (badPalette_) return;
    if (!convertRow(layout_, palette_, row, converted_.data())) {
      badPalette_ = true;
      return;
    }
    const Pass& p = kAdam7[pass_];
    const size_t channels = static_cast<size_t>(img_.channels);
    const size_t y = p.y0 + row_ * p.dy;
    uint8_t* out = img_.pixels.data() + (y * static_cast<size_t>(l_.width) + p.x0) * channels;
    const size_t step = p.dx * channels;
    for (size_t i = 0; i < static_cast<size_t>(layout_.width); ++i) {
      std::memcpy(out + i * step, converted_.data() + i * channels, channels);
    }
  }

  const Layout& l_;
  const PaletteTable palette_;
  Image& img_;
  const Bytes zeros_;
  Bytes ring_;
  Bytes converted_;
  Layout layout_{};  // of the current pass
  size_t pass_ = 0;
  size_t row_ = 0;
  bool badFilter_ = false;
  bool badPalette_ = false;
};

// Takes and forgets every byte: for streams that cannot fill the image,
// whose decode can only fail, so nothing is kept.
class DiscardSink final : public compress::InflateSink {
 public:
  size_t take(const uint8_t*, size_t n) override { return n; }
};

// Wraps the zlib stream that is being appended to `out` in IDAT chunks: the
// CRC follows the new bytes after each write while they are still in cache,
// and the length is filled in when the chunk closes. Data reaching past
// `maxData` is moved on by 12 bytes to make room for closing the chunk and
// opening the next; the stream itself never sees chunk boundaries.
class IdatWriter {
 public:
  IdatWriter(base::HeapBytes& out, size_t maxData) : out_(out), maxData_(maxData) {
    out_.growTo(out_.size() + 8);
    open(out_.size() - 8);
  }

  // Takes in the bytes appended since the last call.
  void update() {
    while (out_.size() - dataStart_ > maxData_) {
      const size_t cut = dataStart_ + maxData_;
      const size_t tail = out_.size() - cut;
      checksumTo(cut);
      out_.growTo(out_.size() + 12);
      std::memmove(out_.data() + cut + 12, out_.data() + cut, tail);
      closeAt(cut);
      open(cut + 4);
    }
    checksumTo(out_.size());
  }

  void close() {
    update();
    const size_t end = out_.size();
    out_.growTo(end + 4);
    closeAt(end);
  }

 private:
  // Writes a chunk header with the length still open at `at`.
  void open(size_t at) {
    std::memcpy(out_.data() + at + 4, cIDAT, 4);
    lengthAt_ = at;
    dataStart_ = at + 8;
    crcDone_ = dataStart_;
    crc_ = compress::crc32(ByteView(out_.data() + at + 4, 4));
  }
  void checksumTo(size_t end) {
    crc_ = compress::crc32(ByteView(out_.data() + crcDone_, end - crcDone_), crc_);
    crcDone_ = end;
  }
  // Ends the open chunk's data at `end`, where its CRC goes.
  void closeAt(size_t end) {
    base::storeBe32(out_.data() + lengthAt_, static_cast<uint32_t>(end - dataStart_));
    base::storeBe32(out_.data() + end, crc_);
  }

  base::HeapBytes& out_;
  const size_t maxData_;
  size_t lengthAt_ = 0;
  size_t dataStart_ = 0;
  size_t crcDone_ = 0;
  uint32_t crc_ = 0;
};

}  // namespace

void writeChunk(Bytes& out, const char type[4], ByteView data) {
  base::appendBe32(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  base::appendBe32(out, compress::crc32(ByteView(out).subspan(typeAt)));
}

namespace {

// The colour space of a decode: RGBA for palettes and alpha, else as stored.
ColorSpace colorSpaceOf(const Layout& l) {
  const bool alpha = l.colorType == 3 || l.colorType == 4 || l.colorType == 6;
  return alpha ? csRgba : (l.colorType == 2 ? csRgb : csGray);
}

// The image is allocated only when the IDAT bytes could fill `expected`
// filtered bytes (no DEFLATE stream gives more than kDeflateMaxExpansion
// bytes per input byte); otherwise the stream is inflated without keeping
// anything, to meet its failure.
void requireEnoughData(const Chunks& chunks, size_t expected) {
  uint64_t idatBytes = 0;
  for (ByteView part : chunks.idat) idatBytes += part.size();
  if (idatBytes < expected / compress::kDeflateMaxExpansion) {
    DiscardSink discard;
    compress::zlibInflatePieces(chunks.idat, expected, 0, discard);
    fail(ekTruncated, "png: filtered data too short");
  }
}

Image decodeInterlaced(const Chunks& chunks, const Layout& l) {
  const size_t expected = interlacedSize(l);
  requireEnoughData(chunks, expected);
  Image img = newImage(l.width, l.height, colorSpaceOf(l));
  InterlacedSink rows(l, chunks, img);
  const uint64_t produced = compress::zlibInflatePieces(chunks.idat, expected, l.rowBytes, rows);
  if (produced < expected) fail(ekTruncated, "png: filtered data too short");
  rows.finish();
  return img;
}

Image decodePngWith(ByteView file, const DecodeOptions& opts) {
  requireLen(file, PngSig.size(), "png: signature truncated");
  if (!std::equal(PngSig.begin(), PngSig.end(), file.begin())) {
    fail(ekUnsupported, "png: bad signature");
  }
  const Chunks chunks = readChunks(file, opts.wide);
  const Layout l = checkLayout(chunks);
  requirePixelLimit("png", static_cast<uint64_t>(l.width * l.height), opts.maxPixels);
  if (chunks.header.interlace != 0) return decodeInterlaced(chunks, l);

  const size_t height = static_cast<size_t>(l.height);
  const size_t stride = l.rowBytes + 1;
  const size_t expected = base::mulOrFail<size_t>(height, stride, "png: too many pixels");
  requireEnoughData(chunks, expected);
  // The pixels are reserved whole but grow (and are touched) a row at a
  // time, so resident memory follows the rows the stream really produces.
  Image img;
  img.width = l.width;
  img.height = l.height;
  img.colorspace = colorSpaceOf(l);
  img.channels = channelsOf(img.colorspace);
  try {
    img.pixels.reserve(static_cast<size_t>(l.width) * height * static_cast<size_t>(img.channels));
  } catch (const std::bad_alloc&) {
    // Swallowed on purpose: the address space for a header's claim is not
    // there, so the rows grow the pixels as they come and the decode ends
    // as the data decides (a real picture that large fails on its own).
  }
  RowSink rows(l, chunks, img);
  const uint64_t produced = compress::zlibInflatePieces(chunks.idat, expected, stride - 1, rows);
  if (produced < expected) fail(ekTruncated, "png: filtered data too short");
  rows.finish();
  return img;
}

}  // namespace

Image decodePng(ByteView file) { return decodePngWith(file, DecodeOptions{}); }

Image decodePng(ByteView file, const DecodeOptions& opts) { return decodePngWith(file, opts); }

void encodePngWithChunkLimit(const Image& img, base::HeapBytes& out, size_t maxChunkData) {
  unsigned colorType;
  switch (img.colorspace) {
    case csGray: colorType = 0; break;
    case csRgb: colorType = 2; break;
    case csRgba: colorType = 6; break;
    default: fail(ekUnsupported, "png: encode needs csGray, csRgb, or csRgba");
  }
  if (img.width < 1 || img.width > kMaxDimension || img.height < 1 ||
      img.height > kMaxDimension) {
    fail(ekInvalid, "png: bad dimensions");
  }
  const size_t w = static_cast<size_t>(img.width);
  const size_t h = static_cast<size_t>(img.height);
  const size_t rowBytes = base::mulOrFail<size_t>(w, channelsOf(img.colorspace),
                                                  "png: image too large");
  const size_t pixelBytes = base::mulOrFail<size_t>(rowBytes, h, "png: image too large");
  if (img.pixels.size() != pixelBytes) fail(ekInvalid, "png: pixel buffer size mismatch");

  Bytes head(PngSig.begin(), PngSig.end());
  Bytes ihdr;
  base::appendBe32(ihdr, static_cast<uint32_t>(w));
  base::appendBe32(ihdr, static_cast<uint32_t>(h));
  ihdr.insert(ihdr.end(), {8, static_cast<uint8_t>(colorType), 0, 0, 0});
  writeChunk(head, cIHDR, ihdr);
  out.resize(0);
  out.append(head);

  // Each row goes to the compressor straight from the picture behind its
  // filter byte (None), and the compressed bytes straight into the file.
  IdatWriter idat(out, maxChunkData);
  compress::ZlibStream zlib(out);
  const uint8_t filterNone = 0;
  // A row's worst case: nine bits per byte of it and of the lookahead the
  // compressor still holds, plus a chunk boundary. With that much room
  // ahead the compressor's appends never move the block.
  const size_t rowWorst = (rowBytes + 1) / 8 * 9 + 1024;
  for (size_t y = 0; y < h; ++y) {
    out.reserveAhead(rowWorst, y, h);
    zlib.write(ByteView(&filterNone, 1));
    zlib.write(ByteView(img.pixels.data() + y * rowBytes, rowBytes));
    idat.update();
  }
  // The compressor's last bytes, the checksums and IEND.
  out.reserveAhead(1024, h, h);
  zlib.finish();
  idat.close();

  Bytes tail;
  writeChunk(tail, cIEND, {});
  out.append(tail);
}

void encodePngTo(const Image& img, base::HeapBytes& out) {
  encodePngWithChunkLimit(img, out, kMaxChunkData);
}

Bytes encodePng(const Image& img) {
  base::HeapBytes out;
  encodePngTo(img, out);
  return out.toBytes();
}

}  // namespace kd::formats
