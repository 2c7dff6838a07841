// The VP8L bitstream of WebP lossless (RFC 9649): transforms, colour cache,
// meta prefix codes and the entropy-coded pixels.
//
// Coded pixels are ARGB words in a buffer that LZ77 copies read: the whole
// picture when it is small, else a ring of kRingPixels, which holds every
// pixel a copy can still reach (a distance is at most 2^20 pixels, a copy at
// most 4096, a row at most 16384). As soon as a row is complete the inverse
// transforms run over it in a small row buffer and the row is converted
// straight into the output, so the peak is the output plus the ring. Prefix
// codes decode through tables (webp_prefix.h).
#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "base/memory.h"
#include "formats/codecs.h"
#include "formats/webp.h"
#include "formats/webp_prefix.h"
#include "formats/webp_transforms.h"

namespace kd::formats::webp {

namespace {

// (xi, yi) of distance codes 1..120: xi columns to the left, yi rows up.
constexpr std::array<std::array<int8_t, 2>, 120> kDistanceMap = {{
    {0, 1},  {1, 0},  {1, 1},  {-1, 1}, {0, 2},  {2, 0},  {1, 2},  {-1, 2}, {2, 1},  {-2, 1},
    {2, 2},  {-2, 2}, {0, 3},  {3, 0},  {1, 3},  {-1, 3}, {3, 1},  {-3, 1}, {2, 3},  {-2, 3},
    {3, 2},  {-3, 2}, {0, 4},  {4, 0},  {1, 4},  {-1, 4}, {4, 1},  {-4, 1}, {3, 3},  {-3, 3},
    {2, 4},  {-2, 4}, {4, 2},  {-4, 2}, {0, 5},  {3, 4},  {-3, 4}, {4, 3},  {-4, 3}, {5, 0},
    {1, 5},  {-1, 5}, {5, 1},  {-5, 1}, {2, 5},  {-2, 5}, {5, 2},  {-5, 2}, {4, 4},  {-4, 4},
    {3, 5},  {-3, 5}, {5, 3},  {-5, 3}, {0, 6},  {6, 0},  {1, 6},  {-1, 6}, {6, 1},  {-6, 1},
    {2, 6},  {-2, 6}, {6, 2},  {-6, 2}, {4, 5},  {-4, 5}, {5, 4},  {-5, 4}, {3, 6},  {-3, 6},
    {6, 3},  {-6, 3}, {0, 7},  {7, 0},  {1, 7},  {-1, 7}, {5, 5},  {-5, 5}, {7, 1},  {-7, 1},
    {4, 6},  {-4, 6}, {6, 4},  {-6, 4}, {2, 7},  {-2, 7}, {7, 2},  {-7, 2}, {3, 7},  {-3, 7},
    {7, 3},  {-7, 3}, {5, 6},  {-5, 6}, {6, 5},  {-6, 5}, {8, 0},  {4, 7},  {-4, 7}, {7, 4},
    {-7, 4}, {8, 1},  {8, 2},  {6, 6},  {-6, 6}, {8, 3},  {5, 7},  {-5, 7}, {7, 5},  {-7, 5},
    {8, 4},  {6, 7},  {-6, 7}, {7, 6},  {-7, 6}, {8, 5},  {7, 7},  {-7, 7}, {8, 6},  {8, 7},
}};

int readColorCache(BitReader& br) {
  if (!br.readBit()) return 0;
  const uint32_t bits = br.readBits(4);
  if (bits < 1 || bits > 11) fail(ekInvalid, "webp: bad color cache bits");
  return static_cast<int>(bits);
}

// Length or distance from its prefix symbol and extra bits (lz77Length,
// lz77Distance).
inline uint32_t lz77Value(int prefix, BitReader& br) {
  if (prefix < 4) return static_cast<uint32_t>(prefix) + 1;
  const int extra = (prefix - 2) >> 1;
  const uint32_t offset = (2 + (static_cast<uint32_t>(prefix) & 1)) << extra;
  return offset + br.readBits(extra) + 1;
}

inline int64_t distanceCodeToLinear(uint32_t code, int64_t width) {
  if (code > 120) return code - 120;
  const auto& d = kDistanceMap[code - 1];
  const int64_t dist = d[0] + d[1] * width;
  return dist < 1 ? 1 : dist;
}

inline uint32_t cacheIndex(uint32_t argb, int bits) { return (0x1E35A7BDu * argb) >> (32 - bits); }

constexpr int64_t kRingPixels = int64_t{1} << 21;

// LZ77 copy of `length` pixels from `dist` back; the source may overlap the
// destination. A copy is as if pixel by pixel; runs of one pixel become a
// fill, and distances of 4 or more move 4 pixels at a time (each block's
// source is complete before it is read).
inline void copyPixels(uint32_t* dst, const uint32_t* from, int64_t dist, int64_t length) {
  if (dist == 1) {
    std::fill_n(dst, length, from[0]);
  } else if (dist >= length) {
    std::memcpy(dst, from, static_cast<size_t>(length) * 4);
  } else if (dist >= 4) {
    int64_t i = 0;
    for (; i + 4 <= length; i += 4) std::memcpy(dst + i, from + i, 16);
    for (; i < length; ++i) dst[i] = from[i];
  } else {
    for (int64_t i = 0; i < length; ++i) dst[i] = from[i];
  }
}

// Where the entropy-coded pixels of one image go and which groups decode
// them. `groupOf` (main image only) holds, per entropy-image block, the
// index into `views`.
struct PixelSource {
  int64_t width;
  int64_t height;
  int cacheBits;
  int prefixBits = 0;
  int64_t prefixWidth = 0;
  std::vector<uint32_t> groupOf;
  std::vector<GroupViews> views;
};

// Decodes width * height pixels into out (decodeImageData): pixel p at
// out[p & mask], a ring of mask + 1 words (kRingPixels), or the whole
// picture when mask is -1. After each completed run of rows, rowsDone(rows
// complete so far) runs, before the ring moves past them. One long loop on
// purpose: the reader, position and group stay in registers.
template <class RowsDone>
void decodeImageData(BitReader& reader, const PixelSource& src, uint32_t* out,
                     RowsDone&& rowsDone, int64_t mask = -1) {
  // A local copy of the reader, so its state can live in registers.
  BitReader br = reader;
  const int64_t width = src.width;
  const int64_t total = width * src.height;
  const int cacheBits = src.cacheBits;
  std::vector<uint32_t> cache(cacheBits > 0 ? size_t{1} << cacheBits : 0, 0);
  const int64_t blockMask = src.prefixBits > 0 ? (int64_t{1} << src.prefixBits) - 1 : -1;
  int64_t pos = 0, x = 0, y = 0;
  // Every pixel enters the cache in stream order, but only a cache read
  // needs the cache up to date: pixels before `cached` are in, the rest
  // go in (in order) just before the next read.
  int64_t cached = 0;
  // In a ring the cache may fall at most half the ring behind.
  const int64_t cacheLag = mask < 0 ? total : (mask + 1) / 2;
  const GroupViews* g = &src.views[0];
  auto groupAt = [&](int64_t px, int64_t py) {
    return &src.views[src.groupOf[static_cast<size_t>((py >> src.prefixBits) * src.prefixWidth +
                                                      (px >> src.prefixBits))]];
  };
  while (pos < total) {
    if (pos - cached > cacheLag && cacheBits > 0) {
      for (; cached < pos; ++cached) {
        cache[cacheIndex(out[cached & mask], cacheBits)] = out[cached & mask];
      }
    }
    if (src.prefixBits > 0 && (x & blockMask) == 0) g = groupAt(x, y);
    br.refill();
    const int s = decodeSymbol(g->codes[kGreen], br);
    if (s < kNumLiteralCodes) {
      const int r = decodeSymbol(g->codes[kRed], br);
      br.refill();
      const int b = decodeSymbol(g->codes[kBlue], br);
      const uint32_t a = g->alphaFixed
                             ? g->fixedAlpha
                             : static_cast<uint32_t>(decodeSymbol(g->codes[kAlpha], br)) << 24;
      const uint32_t px = a | static_cast<uint32_t>(r) << 16 |
                          static_cast<uint32_t>(s) << 8 | static_cast<uint32_t>(b);
      out[pos++ & mask] = px;
      if (++x == width) {
        x = 0;
        ++y;
        rowsDone(y);
      }
    } else if (s < kNumLiteralCodes + kNumLengthCodes) {
      const auto length = static_cast<int64_t>(lz77Value(s - kNumLiteralCodes, br));
      br.refill();
      const int distSymbol = decodeSymbol(g->codes[kDistance], br);
      const uint32_t distCode = lz77Value(distSymbol, br);
      const int64_t dist = distanceCodeToLinear(distCode, width);
      if (dist > pos) fail(ekInvalid, "webp: bad back-reference distance");
      if (length > total - pos) fail(ekInvalid, "webp: copy runs past image end");
      const int64_t to = pos & mask;
      const int64_t from = (pos - dist) & mask;
      if (mask < 0 || (to + length <= mask + 1 && from + length <= mask + 1)) {
        copyPixels(out + to, out + from, dist, length);
      } else {
        for (int64_t k = 0; k < length; ++k) out[(pos + k) & mask] = out[(pos - dist + k) & mask];
      }
      pos += length;
      x += length;
      if (x >= width) {
        y = pos / width;
        x = pos % width;
        rowsDone(y);
      }
      if (src.prefixBits > 0 && pos < total) g = groupAt(x, y);
    } else {
      if (cacheBits == 0) fail(ekInvalid, "webp: color cache code without a cache");
      for (; cached < pos; ++cached) {
        cache[cacheIndex(out[cached & mask], cacheBits)] = out[cached & mask];
      }
      const uint32_t px = cache[static_cast<size_t>(s - kNumLiteralCodes - kNumLengthCodes)];
      out[pos++ & mask] = px;
      if (++x == width) {
        x = 0;
        ++y;
        rowsDone(y);
      }
    }
  }
  reader = br;
}

// A sub-resolution image (entropy image, transform data, colour table):
// colour cache, one group, pixels. No transforms, no meta codes.
std::vector<uint32_t> decodeSubImage(BitReader& br, int64_t width, int64_t height) {
  PixelSource src;
  src.width = width;
  src.height = height;
  src.cacheBits = readColorCache(br);
  const std::vector<Group> groups =
      readGroups(br, src.cacheBits > 0 ? 1 << src.cacheBits : 0, 1, {}, 1);
  src.views = viewsOf(groups);
  std::vector<uint32_t> pixels(static_cast<size_t>(width * height));
  decodeImageData(br, src, pixels.data(), [](int64_t) {});
  return pixels;
}

std::vector<Transform> readTransforms(BitReader& br, int64_t& width, int64_t height) {
  std::vector<Transform> transforms;
  bool seen[4] = {};
  while (br.readBit()) {
    const auto type = static_cast<TransformType>(br.readBits(2));
    if (seen[type]) fail(ekInvalid, "webp: duplicate transform");
    seen[type] = true;
    Transform t;
    t.type = type;
    t.width = width;
    t.codedWidth = width;
    if (type == kPredictor || type == kCrossColor) {
      t.bits = static_cast<int>(br.readBits(3)) + 2;
      t.data = decodeSubImage(br, divRoundUp(width, t.bits), divRoundUp(height, t.bits));
    } else if (type == kColorIndexing) {
      const int size = static_cast<int>(br.readBits(8)) + 1;
      t.bits = size <= 2 ? 3 : size <= 4 ? 2 : size <= 16 ? 1 : 0;
      std::vector<uint32_t> table = decodeSubImage(br, size, 1);
      // Entries are coded as channel-wise differences to the previous one.
      for (size_t i = 1; i < table.size(); ++i) table[i] = addPixels(table[i], table[i - 1]);
      table.resize(size_t{1} << (8 >> t.bits), 0);
      t.data = std::move(table);
      width = divRoundUp(width, t.bits);
      t.codedWidth = width;
    }
    transforms.push_back(std::move(t));
  }
  return transforms;
}

// The main image: transforms, colour cache, meta prefix codes, groups,
// then pixels with the inverse transforms applied row by row.
Image decodeMainImage(BitReader& br, int64_t width, int64_t height, bool alphaUsed) {
  requirePixelCount(width, height, "webp: too many pixels");
  int64_t codedWidth = width;
  std::vector<Transform> transforms = readTransforms(br, codedWidth, height);

  PixelSource src;
  src.width = codedWidth;
  src.height = height;
  src.cacheBits = readColorCache(br);
  uint32_t numGroups = 1;
  std::vector<int32_t> keep;
  size_t kept = 1;
  if (br.readBit()) {
    src.prefixBits = static_cast<int>(br.readBits(3)) + 2;
    src.prefixWidth = divRoundUp(codedWidth, src.prefixBits);
    std::vector<uint32_t> entropy =
        decodeSubImage(br, src.prefixWidth, divRoundUp(height, src.prefixBits));
    uint32_t maxCode = 0;
    for (uint32_t& e : entropy) {
      e = (e >> 8) & 0xFFFF;
      maxCode = std::max(maxCode, e);
    }
    numGroups = maxCode + 1;
    keep.assign(numGroups, -1);
    kept = 0;
    for (uint32_t& e : entropy) {
      if (keep[e] < 0) keep[e] = static_cast<int32_t>(kept++);
      e = static_cast<uint32_t>(keep[e]);
    }
    src.groupOf = std::move(entropy);
  }
  const std::vector<Group> groups =
      readGroups(br, src.cacheBits > 0 ? 1 << src.cacheBits : 0, numGroups, keep, kept);
  src.views = viewsOf(groups);

  const ColorSpace cs = alphaUsed ? csRgba : csRgb;
  Image img;
  img.width = width;
  img.height = height;
  img.colorspace = cs;
  img.channels = channelsOf(cs);
  const size_t rowBytes = static_cast<size_t>(width * img.channels);
  const size_t total = sampleCount(width, height, cs);
  // Reserved, not touched: the rows are appended as they are decoded, so a
  // stream that ends early costs only what it decoded.
  img.pixels.reserve(total);
  base::adviseHugePages(img.pixels.data(), total);

  const int64_t codedCount = codedWidth * height;
  const int64_t ringSize = std::min(codedCount, kRingPixels);
  const int64_t mask = codedCount > kRingPixels ? kRingPixels - 1 : -1;
  std::unique_ptr<uint32_t[]> coded(new uint32_t[static_cast<size_t>(ringSize)]);
  std::vector<uint32_t> row(static_cast<size_t>(width));
  // A coded row, contiguous: in the ring itself unless it wraps.
  std::vector<uint32_t> wrapped(mask < 0 ? 0 : static_cast<size_t>(codedWidth));
  auto codedRow = [&](int64_t y) -> const uint32_t* {
    const int64_t start = (y * codedWidth) & mask;
    if (start + codedWidth <= ringSize) return coded.get() + start;
    const int64_t first = ringSize - start;
    std::copy_n(coded.get() + start, first, wrapped.data());
    std::copy_n(coded.get(), codedWidth - first, wrapped.data() + first);
    return wrapped.data();
  };
  for (Transform& t : transforms) {
    if (t.type == kPredictor) t.previous.assign(static_cast<size_t>(t.width), 0);
  }
  // A colour table alone (the usual form of few-colour pictures): indices
  // go straight to output bytes through a table in output order.
  const bool paletteOnly = transforms.size() == 1 && transforms[0].type == kColorIndexing;
  const Bytes outputTable = paletteOnly ? unbundledTable(transforms[0], img.channels) : Bytes();
  int64_t rowsEmitted = 0;
  auto emitRows = [&](int64_t rowsComplete) {
    for (; rowsEmitted < rowsComplete; ++rowsEmitted) {
      const int64_t y = rowsEmitted;
      const uint32_t* argb = codedRow(y);
      const size_t at = img.pixels.size();
      img.pixels.resize(at + rowBytes);
      if (paletteOnly) {
        emitIndexed(transforms[0], argb, outputTable, img.channels, img.pixels.data() + at);
        continue;
      }
      if (!transforms.empty()) {
        std::copy_n(argb, codedWidth, row.data());
        for (auto it = transforms.rbegin(); it != transforms.rend(); ++it) {
          switch (it->type) {
            case kPredictor: inversePredictor(*it, row.data(), y); break;
            case kCrossColor: inverseCrossColor(*it, row.data(), y); break;
            case kSubtractGreen: inverseSubtractGreen(it->width, row.data()); break;
            case kColorIndexing: expandColorMap(*it, row.data()); break;
          }
        }
        argb = row.data();
      }
      toRgba(argb, width, cs == csRgba, img.pixels.data() + at);
    }
  };
  decodeImageData(br, src, coded.get(), emitRows, mask);
  return img;
}

}  // namespace

Image decodeVp8lStream(ByteView payload) {
  if (payload.size() <= 4 || payload[0] != 0x2F) fail(ekUnsupported, "webp: missing VP8L sig");
  BitReader br(payload, 1);
  const int64_t width = br.readBits(14) + 1;
  const int64_t height = br.readBits(14) + 1;
  const bool alphaUsed = br.readBit() != 0;
  const uint32_t version = br.readBits(3);
  if (version != 0) {
    fail(ekUnsupported, "webp: unsupported VP8L version " + std::to_string(version));
  }
  return decodeMainImage(br, width, height, alphaUsed);
}

Image decodeVp8lBody(ByteView data, size_t start, int64_t width, int64_t height,
                     bool alphaUsed) {
  BitReader br(data, start);
  return decodeMainImage(br, width, height, alphaUsed);
}

}  // namespace kd::formats::webp
