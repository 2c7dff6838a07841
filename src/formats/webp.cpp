// WebP lossless decoder: the RIFF container (simple "VP8L" files and VP8X
// files with an optional ALPH plane) and the VP8L bitstream of RFC 9649.
// Lossy and animated files are refused.
//
// Speed comes from three choices. Prefix codes decode through lookup
// tables (8-bit root, second level for longer codes) built from the same
// canonical assignment as the bit-by-bit walk; whatever the tables cannot
// settle (a pattern no code word starts, a code word running past the end
// of the data) goes back to the walk, so symbols and failures are the
// walk's. Coded pixels are ARGB words in one buffer, which LZ77 copies
// read; as soon as a row is complete the inverse transforms run over it in
// a small row buffer and the row is converted straight into the output.
#include "formats/webp.h"

#include <algorithm>
#include <cstdlib>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/checked.h"
#include "base/memory.h"
#include "formats/codecs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kd::formats {

namespace webp {

BitReader::BitReader(ByteView data, size_t start)
    : p_(data.data() + std::min(start, data.size())), end_(data.data() + data.size()) {}

namespace {

constexpr int kMaxCodeLength = 15;
constexpr int kRootBits = 8;
constexpr int kNumLiteralCodes = 256;
constexpr int kNumLengthCodes = 24;
constexpr int kNumDistanceCodes = 40;
constexpr int kCodeLengthCodes = 19;
constexpr std::array<uint8_t, kCodeLengthCodes> kCodeLengthCodeOrder = {
    17, 18, 0, 1, 2, 3, 4, 5, 16, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

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

enum TransformType : uint8_t { kPredictor = 0, kCrossColor = 1, kSubtractGreen = 2, kColorIndexing = 3 };

int64_t divRoundUp(int64_t n, int bits) { return (n + (int64_t{1} << bits) - 1) >> bits; }

// ---------------------------------------------------------------------------
// Prefix codes

enum EntryKind : uint8_t { kSymbol, kLink, kNoCode };

// A table slot: a symbol and its code length, a link to a second-level
// table (value = its offset, len = its index bits), or no code word. A
// slot without a word claims more bits than any reader holds, so one
// length test sends it to the walk.
struct Entry {
  uint16_t value;
  uint8_t len;
  uint8_t kind;
};
constexpr Entry kNoWord{0, 0xFF, kNoCode};

// One canonical prefix code: its lookup table and, for the bit-by-bit walk,
// the count of code words per length and the symbols in canonical order.
struct PrefixCode {
  std::vector<Entry> table;
  std::array<uint16_t, kMaxCodeLength + 1> count{};
  std::vector<uint16_t> sorted;
  int rootBits = 0;
  int used = 0;  // symbols with a non-zero length
};

// Builds the code from its lengths (buildCanonical). Code words go to the
// symbols in order of (length, symbol), counting up from zero; a length
// that has run out of words (an over-subscribed code) leaves the symbols
// after it unreachable, exactly as the walk does. The table never holds
// more than the root, the reachable words and two sparse second-level
// tables, because canonical words are contiguous.
void buildCanonical(const uint8_t* lengths, int n, PrefixCode& code) {
  code.count.fill(0);
  code.sorted.clear();
  code.used = 0;
  for (int s = 0; s < n; ++s) {
    if (lengths[s] != 0) {
      ++code.count[lengths[s]];
      ++code.used;
    }
  }
  std::array<uint16_t, kMaxCodeLength + 2> start{};
  for (int len = 1; len <= kMaxCodeLength; ++len) start[len + 1] = start[len] + code.count[len];
  code.sorted.resize(static_cast<size_t>(code.used));
  for (int s = 0; s < n; ++s) {
    if (lengths[s] != 0) code.sorted[start[lengths[s]]++] = static_cast<uint16_t>(s);
  }
  if (code.used <= 1) {
    // One symbol costs no bits; no symbol at all is left to the walk.
    code.rootBits = 0;
    code.table.assign(1, code.used == 1 ? Entry{code.sorted[0], 0, kSymbol} : kNoWord);
    return;
  }
  // Canonical words of the reachable symbols, in canonical order.
  struct Word {
    uint16_t symbol;
    uint8_t len;
    uint32_t bits;  // MSB-first code word
  };
  std::vector<Word> words;
  words.reserve(code.sorted.size());
  {
    uint32_t next = 0;
    size_t i = 0;
    bool full = false;
    for (int len = 1; len <= kMaxCodeLength && !full; ++len) {
      for (int k = 0; k < code.count[len]; ++k, ++i) {
        if (next >= (uint32_t{1} << len)) {
          full = true;
          break;
        }
        words.push_back({code.sorted[i], static_cast<uint8_t>(len), next++});
      }
      next <<= 1;
    }
  }
  const int maxLen = words.back().len;
  const int root = std::min(kRootBits, maxLen);
  code.rootBits = root;
  code.table.assign(size_t{1} << root, kNoWord);
  auto reversed = [](uint32_t v, int bits) {
    uint32_t r = 0;
    for (int i = 0; i < bits; ++i) r |= ((v >> i) & 1) << (bits - 1 - i);
    return r;
  };
  // Second-level index bits per root slot: the longest word under it.
  std::array<uint8_t, 1 << kRootBits> subBits{};
  for (const Word& w : words) {
    if (w.len <= root) continue;
    const uint32_t slot = reversed(w.bits >> (w.len - root), root);
    subBits[slot] = std::max<uint8_t>(subBits[slot], static_cast<uint8_t>(w.len - root));
  }
  for (uint32_t slot = 0; slot < (uint32_t{1} << root); ++slot) {
    if (subBits[slot] == 0) continue;
    code.table[slot] = Entry{static_cast<uint16_t>(code.table.size()), subBits[slot], kLink};
    code.table.resize(code.table.size() + (size_t{1} << subBits[slot]), kNoWord);
  }
  for (const Word& w : words) {
    if (w.len <= root) {
      const uint32_t r = reversed(w.bits, w.len);
      for (uint32_t k = r; k < (uint32_t{1} << root); k += uint32_t{1} << w.len) {
        code.table[k] = Entry{w.symbol, w.len, kSymbol};
      }
    } else {
      const int rest = w.len - root;
      const uint32_t slot = reversed(w.bits >> rest, root);
      const Entry link = code.table[slot];
      const uint32_t r = reversed(w.bits & ((uint32_t{1} << rest) - 1), rest);
      for (uint32_t k = r; k < (uint32_t{1} << link.len); k += uint32_t{1} << rest) {
        code.table[link.value + k] = Entry{w.symbol, w.len, kSymbol};
      }
    }
  }
}

// The bit-by-bit walk (decodeSymbol): one bit at a time, the word read so
// far is compared with the canonical words of each length.
[[gnu::noinline]] int decodeSymbolWalk(const PrefixCode& code, BitReader& br) {
  if (code.used == 1) return code.sorted[0];
  int word = 0;
  int first = 0;
  int index = 0;
  for (int len = 1; len <= kMaxCodeLength; ++len) {
    word |= static_cast<int>(br.readBit());
    const int count = code.count[len];
    if (word - first < count) return code.sorted[static_cast<size_t>(index + word - first)];
    index += count;
    first = (first + count) << 1;
    word <<= 1;
  }
  fail(ekInvalid, "webp: huffman code longer than 15 bits");
}

// A decoding-time view of a prefix code.
struct CodeView {
  const Entry* table;
  const PrefixCode* code;
  uint32_t rootMask;
  int rootBits;
};

// Table lookup. The caller has refilled the reader; when fewer bits remain
// than the word needs, or no word starts with these bits, the walk decides.
inline int decodeSymbol(const CodeView& c, BitReader& br) {
  const auto bits = static_cast<uint32_t>(br.peek());
  Entry e = c.table[bits & c.rootMask];
  if (e.kind == kLink) e = c.table[e.value + ((bits >> c.rootBits) & ((1u << e.len) - 1))];
  if (e.len > br.available()) [[unlikely]] {
    return decodeSymbolWalk(*c.code, br);
  }
  br.drop(e.len);
  return e.value;
}

CodeView viewOf(const PrefixCode& code) {
  return {code.table.data(), &code, (1u << code.rootBits) - 1, code.rootBits};
}

// Reads the code lengths of one prefix code over `alphabet` symbols
// (readCodeLengths, for both the simple and the normal form).
void readCodeLengths(BitReader& br, int alphabet, std::vector<uint8_t>& lengths,
                     PrefixCode& scratch) {
  lengths.assign(static_cast<size_t>(alphabet), 0);
  if (br.readBit()) {
    const uint32_t numSymbols = br.readBit() + 1;
    const uint32_t firstBits = br.readBit() ? 8 : 1;
    for (uint32_t i = 0; i < numSymbols; ++i) {
      const uint32_t symbol = br.readBits(i == 0 ? static_cast<int>(firstBits) : 8);
      if (symbol >= static_cast<uint32_t>(alphabet)) {
        fail(ekInvalid, "webp: simple code symbol out of range");
      }
      lengths[symbol] = 1;
    }
    return;
  }
  std::array<uint8_t, kCodeLengthCodes> codeLengthLengths{};
  const uint32_t numCodes = br.readBits(4) + 4;
  for (uint32_t i = 0; i < numCodes; ++i) codeLengthLengths[kCodeLengthCodeOrder[i]] = static_cast<uint8_t>(br.readBits(3));
  buildCanonical(codeLengthLengths.data(), kCodeLengthCodes, scratch);
  int maxSymbol = alphabet;
  if (br.readBit()) {
    const int lengthBits = 2 + 2 * static_cast<int>(br.readBits(3));
    maxSymbol = 2 + static_cast<int>(br.readBits(lengthBits));
    if (maxSymbol > alphabet) fail(ekInvalid, "webp: max_symbol exceeds alphabet");
  }
  const CodeView view = viewOf(scratch);
  int symbol = 0;
  uint8_t previous = 8;
  while (symbol < alphabet) {
    if (maxSymbol-- == 0) break;
    br.refill();
    const int c = decodeSymbol(view, br);
    if (c < 16) {
      lengths[static_cast<size_t>(symbol++)] = static_cast<uint8_t>(c);
      if (c != 0) previous = static_cast<uint8_t>(c);
      continue;
    }
    int repeat;
    uint8_t value = 0;
    if (c == 16) {
      repeat = 3 + static_cast<int>(br.readBits(2));
      value = previous;
    } else if (c == 17) {
      repeat = 3 + static_cast<int>(br.readBits(3));
    } else {
      repeat = 11 + static_cast<int>(br.readBits(7));
    }
    if (repeat > alphabet - symbol) fail(ekInvalid, "webp: code lengths exceed alphabet");
    std::fill_n(lengths.begin() + symbol, repeat, value);
    symbol += repeat;
  }
}

// The five codes of one prefix-code group.
struct Group {
  std::array<PrefixCode, 5> codes;
};

constexpr int kGreen = 0, kRed = 1, kBlue = 2, kAlpha = 3, kDistance = 4;

void readHtreeGroup(BitReader& br, int cacheSize, Group& group, std::vector<uint8_t>& lengths,
                    PrefixCode& scratch) {
  const std::array<int, 5> alphabets = {kNumLiteralCodes + kNumLengthCodes + cacheSize,
                                        kNumLiteralCodes, kNumLiteralCodes, kNumLiteralCodes,
                                        kNumDistanceCodes};
  for (int i = 0; i < 5; ++i) {
    readCodeLengths(br, alphabets[static_cast<size_t>(i)], lengths, scratch);
    buildCanonical(lengths.data(), alphabets[static_cast<size_t>(i)], group.codes[static_cast<size_t>(i)]);
  }
}

// The prefix-code groups with their decoding views, ready for the pixel loop.
struct GroupViews {
  std::array<CodeView, 5> codes;
  // Alpha whose code has one symbol costs no bits: its value, already in
  // place (bits 24-31), and whether that is the case.
  uint32_t fixedAlpha;
  bool alphaFixed;
};

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

// LZ77 copy of `length` pixels from `dist` back; the source may overlap the
// destination. A copy is as if pixel by pixel; runs of one pixel become a
// fill, and distances of 4 or more move 4 pixels at a time (each block's
// source is complete before it is read).
inline void copyPixels(uint32_t* dst, int64_t dist, int64_t length) {
  const uint32_t* from = dst - dist;
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

// Decodes width * height pixels into out (decodeImageData). After each
// completed run of rows, rowsDone(rows complete so far) runs. One long loop
// on purpose: the reader, position and group stay in registers.
template <class RowsDone>
void decodeImageData(BitReader& reader, const PixelSource& src, uint32_t* out,
                     RowsDone&& rowsDone) {
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
  const GroupViews* g = &src.views[0];
  auto groupAt = [&](int64_t px, int64_t py) {
    return &src.views[src.groupOf[static_cast<size_t>((py >> src.prefixBits) * src.prefixWidth +
                                                      (px >> src.prefixBits))]];
  };
  while (pos < total) {
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
      out[pos++] = px;
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
      uint32_t* dst = out + pos;
      copyPixels(dst, dist, length);
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
      for (; cached < pos; ++cached) cache[cacheIndex(out[cached], cacheBits)] = out[cached];
      const uint32_t px = cache[static_cast<size_t>(s - kNumLiteralCodes - kNumLengthCodes)];
      out[pos++] = px;
      if (++x == width) {
        x = 0;
        ++y;
        rowsDone(y);
      }
    }
  }
  reader = br;
}

// Reads the groups of an image: all of them are parsed, but only those the
// entropy image names keep their tables (a stream may announce up to 65536
// groups for a handful of blocks).
std::vector<Group> readGroups(BitReader& br, int cacheSize, uint32_t numGroups,
                              const std::vector<int32_t>& keep, size_t kept) {
  std::vector<Group> groups(kept);
  Group discard;
  std::vector<uint8_t> lengths;
  PrefixCode scratch;
  for (uint32_t i = 0; i < numGroups; ++i) {
    const int32_t slot = keep.empty() ? 0 : keep[i];
    readHtreeGroup(br, cacheSize, slot >= 0 ? groups[static_cast<size_t>(slot)] : discard, lengths,
                   scratch);
  }
  return groups;
}

std::vector<GroupViews> viewsOf(const std::vector<Group>& groups) {
  std::vector<GroupViews> views;
  views.reserve(groups.size());
  for (const Group& g : groups) {
    GroupViews v{};
    for (size_t i = 0; i < 5; ++i) v.codes[i] = viewOf(g.codes[i]);
    const PrefixCode& alpha = g.codes[kAlpha];
    v.alphaFixed = alpha.used == 1;
    v.fixedAlpha = v.alphaFixed ? uint32_t{alpha.sorted[0]} << 24 : 0;
    views.push_back(v);
  }
  return views;
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

// ---------------------------------------------------------------------------
// Transforms

struct Transform {
  TransformType type = kPredictor;
  int bits = 0;              // block-size exponent, or pixel-bundling width bits
  int64_t width = 0;         // width of the picture the inverse transform produces
  int64_t codedWidth = 0;    // width it reads (narrower for bundled colour indices)
  std::vector<uint32_t> data;  // block image or the expanded colour table
  std::vector<uint32_t> previous;  // predictor: the row above, as this stage left it
};

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
      for (size_t i = 1; i < table.size(); ++i) {
        const uint32_t a = table[i], b = table[i - 1];
        table[i] = (((a & 0xFF00FF00u) + (b & 0xFF00FF00u)) & 0xFF00FF00u) |
                   (((a & 0x00FF00FFu) + (b & 0x00FF00FFu)) & 0x00FF00FFu);
      }
      table.resize(size_t{1} << (8 >> t.bits), 0);
      t.data = std::move(table);
      width = divRoundUp(width, t.bits);
      t.codedWidth = width;
    }
    transforms.push_back(std::move(t));
  }
  return transforms;
}

// Channel-wise (mod 256) sum of two ARGB words.
inline uint32_t addPixels(uint32_t a, uint32_t b) {
  return (((a & 0xFF00FF00u) + (b & 0xFF00FF00u)) & 0xFF00FF00u) |
         (((a & 0x00FF00FFu) + (b & 0x00FF00FFu)) & 0x00FF00FFu);
}

// Channel-wise (a + b) / 2. The scalar helpers below serve the plain
// predictor, which a build with SSE2 instantiates only for the block edges
// or not at all: [[maybe_unused]] keeps clang from flagging them.
[[maybe_unused]] inline uint32_t average2(uint32_t a, uint32_t b) {
  return (((a ^ b) & 0xFEFEFEFEu) >> 1) + (a & b);
}

inline int channel(uint32_t px, int shift) { return static_cast<int>((px >> shift) & 0xFF); }

// Select, ClampAddSubtractFull and ClampAddSubtractHalf of RFC 9649, per
// channel. With SSE2 the four channels go through one register as 16-bit
// lanes; saturating packs do the clamping.
#if defined(__SSE2__)
inline __m128i widen(uint32_t px) {
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(px)), _mm_setzero_si128());
}
inline uint32_t narrow(__m128i v) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
}
// Sum over the channels of |a - b|.
inline int distance(uint32_t a, uint32_t b) {
  return _mm_cvtsi128_si32(
      _mm_sad_epu8(_mm_cvtsi32_si128(static_cast<int>(a)), _mm_cvtsi32_si128(static_cast<int>(b))));
}
[[maybe_unused]] inline uint32_t clampAddSubtractFull(uint32_t a, uint32_t b, uint32_t c) {
  return narrow(_mm_sub_epi16(_mm_add_epi16(widen(a), widen(b)), widen(c)));
}
// a + (a - b) / 2, the division truncating towards zero.
[[maybe_unused]] inline uint32_t clampAddSubtractHalf(uint32_t a, uint32_t b) {
  const __m128i wa = widen(a);
  const __m128i d = _mm_sub_epi16(wa, widen(b));
  const __m128i half = _mm_srai_epi16(_mm_sub_epi16(d, _mm_srai_epi16(d, 15)), 1);
  return narrow(_mm_add_epi16(wa, half));
}
#else
inline int clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }
inline int distance(uint32_t a, uint32_t b) {
  int sum = 0;
  for (int shift = 0; shift < 32; shift += 8) sum += std::abs(channel(a, shift) - channel(b, shift));
  return sum;
}
inline uint32_t clampAddSubtractFull(uint32_t a, uint32_t b, uint32_t c) {
  uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    out |= static_cast<uint32_t>(
               clamp255(channel(a, shift) + channel(b, shift) - channel(c, shift)))
           << shift;
  }
  return out;
}
inline uint32_t clampAddSubtractHalf(uint32_t a, uint32_t b) {
  uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const int ca = channel(a, shift);
    out |= static_cast<uint32_t>(clamp255(ca + (ca - channel(b, shift)) / 2)) << shift;
  }
  return out;
}
#endif

// The estimate L + T - TL lies |T - TL| (channel-wise) from L and |L - TL|
// from T; the nearer of L and T wins, T on a tie.
[[maybe_unused]] inline uint32_t select(uint32_t left, uint32_t top, uint32_t topLeft) {
  return distance(top, topLeft) < distance(left, topLeft) ? left : top;
}

// Prediction for mode 0..13 from the left, top, top-left and top-right
// neighbours (predictorValue). Green values 14 and 15 of the block image
// predict black, as mode 0 does; only the low four bits name the mode.
template <int Mode>
inline uint32_t predict(uint32_t l, uint32_t t, uint32_t tl, uint32_t tr) {
  if constexpr (Mode == 1) return l;
  else if constexpr (Mode == 2) return t;
  else if constexpr (Mode == 3) return tr;
  else if constexpr (Mode == 4) return tl;
  else if constexpr (Mode == 5) return average2(average2(l, tr), t);
  else if constexpr (Mode == 6) return average2(l, tl);
  else if constexpr (Mode == 7) return average2(l, t);
  else if constexpr (Mode == 8) return average2(tl, t);
  else if constexpr (Mode == 9) return average2(t, tr);
  else if constexpr (Mode == 10) return average2(average2(l, tl), average2(t, tr));
  else if constexpr (Mode == 11) return select(l, t, tl);
  else if constexpr (Mode == 12) return clampAddSubtractFull(l, t, tl);
  else if constexpr (Mode == 13) return clampAddSubtractHalf(average2(l, t), tl);
  else return 0xFF000000u;
}

#if defined(__SSE2__)
inline __m128i load32(const uint32_t* p) {
  return _mm_cvtsi32_si128(static_cast<int>(*p));
}
// Channel-wise (a + b) / 2 rounded down (the instruction rounds up).
inline __m128i average2Lanes(__m128i a, __m128i b) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}
inline __m128i widenLanes(__m128i v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }

// The prediction of predict<Mode>, on pixels held in the low lanes.
template <int Mode>
inline __m128i predictLanes(__m128i l, __m128i t, __m128i tl, __m128i tr) {
  if constexpr (Mode == 1) return l;
  else if constexpr (Mode == 2) return t;
  else if constexpr (Mode == 3) return tr;
  else if constexpr (Mode == 4) return tl;
  else if constexpr (Mode == 5) return average2Lanes(average2Lanes(l, tr), t);
  else if constexpr (Mode == 6) return average2Lanes(l, tl);
  else if constexpr (Mode == 7) return average2Lanes(l, t);
  else if constexpr (Mode == 8) return average2Lanes(tl, t);
  else if constexpr (Mode == 9) return average2Lanes(t, tr);
  else if constexpr (Mode == 10) return average2Lanes(average2Lanes(l, tl), average2Lanes(t, tr));
  else if constexpr (Mode == 11) {
    const __m128i nearerLeft =
        _mm_cmplt_epi32(_mm_sad_epu8(t, tl), _mm_sad_epu8(l, tl));  // lane 0 decides
    const __m128i mask = _mm_shuffle_epi32(nearerLeft, 0);
    return _mm_or_si128(_mm_and_si128(mask, l), _mm_andnot_si128(mask, t));
  } else if constexpr (Mode == 12) {
    return _mm_packus_epi16(
        _mm_sub_epi16(_mm_add_epi16(widenLanes(l), widenLanes(t)), widenLanes(tl)),
        _mm_setzero_si128());
  } else if constexpr (Mode == 13) {
    const __m128i a = widenLanes(average2Lanes(l, t));
    const __m128i d = _mm_sub_epi16(a, widenLanes(tl));
    const __m128i half = _mm_srai_epi16(_mm_sub_epi16(d, _mm_srai_epi16(d, 15)), 1);
    return _mm_packus_epi16(_mm_add_epi16(a, half), _mm_setzero_si128());
  } else {
    return _mm_cvtsi32_si128(static_cast<int>(0xFF000000u));
  }
}
#endif

// Adds the prediction to row[x] for x in [from, to). `top` is the row above
// as the predictor stage left it; the top-right neighbour of the last
// column is the first pixel of the current row. The left neighbour stays
// in a register from one pixel to the next: that chain is the loop's cost.
template <int Mode>
void predictSpan(uint32_t* row, const uint32_t* top, int64_t from, int64_t to, int64_t width) {
#if defined(__SSE2__)
  __m128i left = load32(row + from - 1);
  for (int64_t x = from; x < to; ++x) {
    const __m128i tr = x + 1 < width ? load32(top + x + 1) : load32(row);
    const __m128i pred = predictLanes<Mode>(left, load32(top + x), load32(top + x - 1), tr);
    left = _mm_add_epi8(load32(row + x), pred);
    row[x] = static_cast<uint32_t>(_mm_cvtsi128_si32(left));
  }
#else
  for (int64_t x = from; x < to; ++x) {
    const uint32_t tr = x + 1 < width ? top[x + 1] : row[0];
    row[x] = addPixels(row[x], predict<Mode>(row[x - 1], top[x], top[x - 1], tr));
  }
#endif
}

using SpanFn = void (*)(uint32_t*, const uint32_t*, int64_t, int64_t, int64_t);
constexpr std::array<SpanFn, 16> kPredictSpans = {
    predictSpan<0>,  predictSpan<1>,  predictSpan<2>,  predictSpan<3>,
    predictSpan<4>,  predictSpan<5>,  predictSpan<6>,  predictSpan<7>,
    predictSpan<8>,  predictSpan<9>,  predictSpan<10>, predictSpan<11>,
    predictSpan<12>, predictSpan<13>, predictSpan<0>,  predictSpan<0>};

void inversePredictor(Transform& t, uint32_t* row, int64_t y) {
  const int64_t width = t.width;
  uint32_t* top = t.previous.data();
  if (y == 0) {
    row[0] = addPixels(row[0], 0xFF000000u);
    for (int64_t x = 1; x < width; ++x) row[x] = addPixels(row[x], row[x - 1]);
  } else {
    row[0] = addPixels(row[0], top[0]);
    const int64_t blocksWide = divRoundUp(width, t.bits);
    const uint32_t* modes = t.data.data() + (y >> t.bits) * blocksWide;
    const int64_t block = int64_t{1} << t.bits;
    for (int64_t bx = 0; bx < blocksWide; ++bx) {
      const int64_t from = std::max<int64_t>(bx * block, 1);
      const int64_t to = std::min(width, (bx + 1) * block);
      kPredictSpans[(modes[bx] >> 8) & 15](row, top, from, to, width);
    }
  }
  std::copy_n(row, width, top);
}

inline int colorDelta(uint8_t t, uint8_t c) {
  return (static_cast<int8_t>(t) * static_cast<int8_t>(c)) >> 5;
}

inline uint32_t crossColorPixel(uint32_t px, uint32_t e) {
  const auto greenToRed = static_cast<uint8_t>(e);
  const auto greenToBlue = static_cast<uint8_t>(e >> 8);
  const auto redToBlue = static_cast<uint8_t>(e >> 16);
  const auto green = static_cast<uint8_t>(px >> 8);
  const int red = channel(px, 16) + colorDelta(greenToRed, green);
  int blue = channel(px, 0) + colorDelta(greenToBlue, green);
  blue += colorDelta(redToBlue, static_cast<uint8_t>(red));
  return (px & 0xFF00FF00u) | static_cast<uint32_t>(red & 0xFF) << 16 |
         static_cast<uint32_t>(blue & 0xFF);
}

#if defined(__SSE2__)
// The signed byte at bit `shift` of each 32-bit lane, sign-extended.
template <int Shift>
inline __m128i signedByte(__m128i v) {
  return _mm_srai_epi32(_mm_slli_epi32(v, 24 - Shift), 24);
}
// (t * c) >> 5 per lane for sign-extended bytes t and c: the product fits
// 16 bits, so the low halves multiply and the shift sign-extends from them.
inline __m128i deltaLanes(__m128i t, __m128i c) {
  return _mm_srai_epi32(_mm_slli_epi32(_mm_mullo_epi16(t, c), 16), 16 + 5);
}
// Four pixels of one block (one element).
inline __m128i crossColorLanes(__m128i px, uint32_t element) {
  const __m128i e = _mm_set1_epi32(static_cast<int>(element));
  const __m128i green = signedByte<8>(px);
  const __m128i red = _mm_add_epi32(_mm_srli_epi32(px, 16), deltaLanes(signedByte<0>(e), green));
  const __m128i redSigned = signedByte<0>(red);
  const __m128i blue = _mm_add_epi32(_mm_add_epi32(px, deltaLanes(signedByte<8>(e), green)),
                                     deltaLanes(signedByte<16>(e), redSigned));
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  return _mm_or_si128(_mm_and_si128(px, _mm_set1_epi32(static_cast<int>(0xFF00FF00u))),
                      _mm_or_si128(_mm_slli_epi32(_mm_and_si128(red, byteMask), 16),
                                   _mm_and_si128(blue, byteMask)));
}
#endif

void inverseCrossColor(const Transform& t, uint32_t* row, int64_t y) {
  const int64_t blocksWide = divRoundUp(t.width, t.bits);
  const uint32_t* elements = t.data.data() + (y >> t.bits) * blocksWide;
  int64_t x = 0;
#if defined(__SSE2__)
  // Blocks are at least 4 pixels wide, so an aligned group of 4 shares one.
  for (; x + 4 <= t.width; x += 4) {
    __m128i* p = reinterpret_cast<__m128i*>(row + x);
    _mm_storeu_si128(p, crossColorLanes(_mm_loadu_si128(p), elements[x >> t.bits]));
  }
#endif
  for (; x < t.width; ++x) row[x] = crossColorPixel(row[x], elements[x >> t.bits]);
}

void inverseSubtractGreen(int64_t width, uint32_t* row) {
  int64_t x = 0;
#if defined(__SSE2__)
  const __m128i greenMask = _mm_set1_epi32(0xFF00);
  for (; x + 4 <= width; x += 4) {
    __m128i* p = reinterpret_cast<__m128i*>(row + x);
    const __m128i v = _mm_loadu_si128(p);
    const __m128i g = _mm_and_si128(v, greenMask);
    _mm_storeu_si128(p, _mm_add_epi8(v, _mm_or_si128(_mm_srli_epi32(g, 8), _mm_slli_epi32(g, 8))));
  }
#endif
  for (; x < width; ++x) {
    const uint32_t px = row[x];
    const uint32_t green = (px >> 8) & 0xFF;
    row[x] = addPixels(px, green << 16 | green);
  }
}

// Replaces colour indices by table entries, unbundling packed indices
// (expandColorMap). Runs from the right so the row can widen in place.
void expandColorMap(const Transform& t, uint32_t* row) {
  const uint32_t* table = t.data.data();
  if (t.bits == 0) {
    for (int64_t x = 0; x < t.width; ++x) row[x] = table[(row[x] >> 8) & 0xFF];
    return;
  }
  const int perPixelBits = 8 >> t.bits;
  const uint32_t mask = (1u << perPixelBits) - 1;
  const int64_t xMask = (int64_t{1} << t.bits) - 1;
  for (int64_t x = t.width - 1; x >= 0; --x) {
    const uint32_t packed = (row[x >> t.bits] >> 8) & 0xFF;
    row[x] = table[(packed >> ((x & xMask) * perPixelBits)) & mask];
  }
}

// ---------------------------------------------------------------------------
// Output

// ARGB words to R, G, B (, A) bytes.
void toRgba(const uint32_t* row, int64_t width, bool alpha, uint8_t* out) {
  if (alpha) {
    for (int64_t x = 0; x < width; ++x) {
      const uint32_t px = row[x];
      const uint32_t rgba = (px & 0xFF00FF00u) | ((px >> 16) & 0xFF) | ((px & 0xFF) << 16);
      std::memcpy(out + 4 * x, &rgba, 4);
    }
  } else {
    // Four-byte stores; the fourth byte is the next pixel's red, written
    // over in the next step. The last pixel stores its three bytes alone.
    for (int64_t x = 0; x + 1 < width; ++x) {
      const uint32_t px = row[x];
      const uint32_t rgb = ((px >> 16) & 0xFF) | (px & 0xFF00) | ((px & 0xFF) << 16);
      std::memcpy(out + 3 * x, &rgb, 4);
    }
    const uint32_t last = row[width - 1];
    out[3 * width - 3] = static_cast<uint8_t>(last >> 16);
    out[3 * width - 2] = static_cast<uint8_t>(last >> 8);
    out[3 * width - 1] = static_cast<uint8_t>(last);
  }
}

// Output bytes of every green value of a colour-indexed picture: for each
// of the 256 values, the 1, 2, 4 or 8 pixels it unbundles to, as R, G, B (, A)
// bytes. A row is then one table read and one copy per coded pixel.
Bytes unbundledTable(const Transform& t, int64_t channels) {
  const int perPixel = 1 << t.bits;
  const int perPixelBits = 8 >> t.bits;
  const uint32_t mask = (1u << perPixelBits) - 1;
  const auto chunk = static_cast<size_t>(perPixel * channels);
  Bytes out(256 * chunk);
  for (uint32_t v = 0; v < 256; ++v) {
    for (int k = 0; k < perPixel; ++k) {
      uint8_t rgba[4];
      const uint32_t argb = t.data[(v >> (k * perPixelBits)) & mask];
      toRgba(&argb, 1, true, rgba);
      std::memcpy(&out[v * chunk + static_cast<size_t>(k * channels)], rgba,
                  static_cast<size_t>(channels));
    }
  }
  return out;
}

template <size_t Chunk>
void emitIndexedRow(const Transform& t, const uint32_t* coded, const uint8_t* table, size_t channels,
                    uint8_t* out) {
  const int64_t whole = t.width >> t.bits;
  for (int64_t cx = 0; cx < whole; ++cx) {
    std::memcpy(out + static_cast<size_t>(cx) * Chunk, table + ((coded[cx] >> 8) & 0xFF) * Chunk,
                Chunk);
  }
  const size_t rest = static_cast<size_t>(t.width - (whole << t.bits)) * channels;
  if (rest > 0) {
    std::memcpy(out + static_cast<size_t>(whole) * Chunk,
                table + ((coded[whole] >> 8) & 0xFF) * Chunk, rest);
  }
}

// Fixed-size copies per chunk size (pixels per coded pixel x channels).
void emitIndexed(const Transform& t, const uint32_t* coded, const Bytes& table, int64_t channels,
                 uint8_t* out) {
  const auto ch = static_cast<size_t>(channels);
  const uint8_t* tb = table.data();
  switch ((size_t{1} << t.bits) * ch) {
    case 3: emitIndexedRow<3>(t, coded, tb, ch, out); break;
    case 4: emitIndexedRow<4>(t, coded, tb, ch, out); break;
    case 6: emitIndexedRow<6>(t, coded, tb, ch, out); break;
    case 8: emitIndexedRow<8>(t, coded, tb, ch, out); break;
    case 12: emitIndexedRow<12>(t, coded, tb, ch, out); break;
    case 16: emitIndexedRow<16>(t, coded, tb, ch, out); break;
    case 24: emitIndexedRow<24>(t, coded, tb, ch, out); break;
    default: emitIndexedRow<32>(t, coded, tb, ch, out); break;
  }
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

  const auto codedCount = static_cast<size_t>(codedWidth * height);
  std::unique_ptr<uint32_t[]> coded(new uint32_t[codedCount]);
  std::vector<uint32_t> row(static_cast<size_t>(width));
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
      const uint32_t* argb = coded.get() + y * codedWidth;
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
  decodeImageData(br, src, coded.get(), emitRows);
  return img;
}

// ---------------------------------------------------------------------------
// Container

constexpr char kRiff[4] = {'R', 'I', 'F', 'F'};
constexpr char kWebp[4] = {'W', 'E', 'B', 'P'};

bool isCode(const Chunk& c, const char (&code)[5]) { return std::memcmp(c.code, code, 4) == 0; }

// Chunk header at `offset`, which the caller has checked leaves 8 bytes
// before `end`.
Chunk readChunk(ByteView data, size_t offset) {
  Chunk c;
  std::memcpy(c.code, data.data() + offset, 4);
  c.size = base::loadU32(data, static_cast<int64_t>(offset + 4), true);
  c.payload = offset + 8;
  return c;
}

// The first chunk with `code` among those from `from` up to `end`.
std::optional<Chunk> findChunkOpt(ByteView data, size_t from, size_t end, const char (&code)[5]) {
  size_t offset = from;
  while (offset <= end && end - offset >= 8) {
    const Chunk c = readChunk(data, offset);
    if (c.size > end - c.payload) fail(ekTruncated, "webp: chunk exceeds RIFF payload");
    if (isCode(c, code)) return c;
    offset = c.payload + c.size + (c.size & 1);
  }
  return std::nullopt;
}

ByteView payloadOf(ByteView data, const Chunk& c) { return data.subspan(c.payload, c.size); }

Image applyAlphChunk(Image img, ByteView chunk) {
  if (chunk.empty()) fail(ekTruncated, "webp: ALPH short");
  const uint8_t header = chunk[0];
  if ((header & 0xFC) != 0) fail(ekUnsupported, "webp: filtered or preprocessed ALPH unsupported");
  const int compression = header & 3;
  if (compression >= 2) {
    fail(ekUnsupported, "webp: ALPH compression " + std::to_string(compression) + " unsupported");
  }
  const auto count = static_cast<size_t>(img.width * img.height);
  Bytes alpha;
  if (compression == 0) {
    if (chunk.size() - 1 < count) fail(ekTruncated, "webp: ALPH plane short");
    alpha.assign(chunk.begin() + 1, chunk.begin() + 1 + static_cast<ptrdiff_t>(count));
  } else {
    const Image plane = decodeVp8lBody(chunk, 1, img.width, img.height, true);
    alpha.resize(count);
    for (size_t i = 0; i < count; ++i) alpha[i] = plane.pixels[4 * i + 1];
  }
  if (img.colorspace == csRgb) {
    Image wide = newImage(img.width, img.height, csRgba);
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(&wide.pixels[4 * i], &img.pixels[3 * i], 3);
    }
    img = std::move(wide);
  }
  for (size_t i = 0; i < count; ++i) img.pixels[4 * i + 3] = alpha[i];
  return img;
}

Image decodeExtended(ByteView data, const Chunk& vp8x, size_t end) {
  if (vp8x.size != 10) fail(ekInvalid, "webp: VP8X chunk must be 10 bytes");
  const ByteView p = payloadOf(data, vp8x);
  const uint8_t flags = p[0];
  if ((flags & 0xC1) != 0 || p[1] != 0 || p[2] != 0 || p[3] != 0) {
    fail(ekInvalid, "webp: VP8X reserved bits are nonzero");
  }
  if (flags & 0x02) fail(ekUnsupported, "webp: animated images unsupported");
  const uint32_t widthMinus1 = p[4] | uint32_t{p[5]} << 8 | uint32_t{p[6]} << 16;
  const uint32_t heightMinus1 = p[7] | uint32_t{p[8]} << 8 | uint32_t{p[9]} << 16;
  if (widthMinus1 > 16383 || heightMinus1 > 16383) fail(ekInvalid, "webp: canvas too large");
  const size_t from = vp8x.payload + vp8x.size;
  const std::optional<Chunk> vp8l = findChunkOpt(data, from, end, "VP8L");
  if (!vp8l) {
    fail(ekUnsupported, "webp: VP8X without a VP8L payload (lossy/anim unsupported)");
  }
  if (vp8l->size == 0) fail(ekTruncated, "webp: empty VP8L chunk");
  Image img = decodeVp8lStream(payloadOf(data, *vp8l));
  if (img.width != int64_t{widthMinus1} + 1 || img.height != int64_t{heightMinus1} + 1) {
    fail(ekInvalid, "webp: VP8X canvas and payload dimensions differ");
  }
  if (flags & 0x10) {
    if (const std::optional<Chunk> alph = findChunkOpt(data, from, end, "ALPH")) {
      img = applyAlphChunk(std::move(img), payloadOf(data, *alph));
    }
  }
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

}  // namespace webp

Image decodeWebp(ByteView data) {
  using namespace webp;
  if (data.size() < 12) fail(ekTruncated, "webp: container truncated");
  if (std::memcmp(data.data(), kRiff, 4) != 0) fail(ekUnsupported, "webp: not a RIFF");
  if (std::memcmp(data.data() + 8, kWebp, 4) != 0) fail(ekUnsupported, "webp: not a WEBP");
  const uint32_t riffSize = base::loadU32(data, 4, true);
  if (riffSize < 4 || data.size() - 8 < riffSize) fail(ekTruncated, "webp: bad RIFF size");
  const size_t end = size_t{riffSize} + 8;
  if (end - 12 < 8) fail(ekTruncated, "webp: chunk header short");
  const Chunk first = readChunk(data, 12);
  if (first.size > end - first.payload) fail(ekTruncated, "webp: first chunk exceeds RIFF payload");
  if (isCode(first, "VP8L")) {
    if (first.size == 0) fail(ekTruncated, "webp: empty VP8L chunk");
    return decodeVp8lStream(payloadOf(data, first));
  }
  if (isCode(first, "VP8 ")) fail(ekUnsupported, "webp: VP8 lossy decode not yet implemented");
  if (isCode(first, "VP8X")) return decodeExtended(data, first, end);
  fail(ekUnsupported, "webp: unknown chunk " + std::string(first.code, 4));
}

}  // namespace kd::formats
