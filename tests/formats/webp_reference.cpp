// A plain transcription of the WebP lossless decoder: a bit reader that
// takes one bit at a time, prefix codes decoded by walking the canonical
// code bit by bit, whole-image pixel arrays and inverse transforms applied
// to the whole picture one after the other. Slow and obvious on purpose;
// the library's table-driven decoder must agree with it on every input.
#include "webp_reference.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace kd::formats::test {

namespace {

struct Bits {
  ByteView data;
  size_t bytePos;
  int bitPos = 0;

  uint32_t bit() {
    if (bytePos >= data.size()) fail(ekTruncated, "webp: bitstream truncated");
    const uint32_t b = (data[bytePos] >> bitPos) & 1;
    if (++bitPos == 8) {
      bitPos = 0;
      ++bytePos;
    }
    return b;
  }
  uint32_t read(int n) {
    if (n > 32) fail(ekInvalid, "webp: readBits > 32");
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= bit() << i;
    return v;
  }
};

// Code lengths, and the symbols sorted by (length, symbol) with the count
// of each length, filled by sortSymbols once the lengths are known.
struct Code {
  std::vector<int> lengths;
  std::array<int, 16> count{};
  std::vector<int> symbols;
};

void sortSymbols(Code& c) {
  for (int len = 1; len <= 15; ++len) {
    for (size_t s = 0; s < c.lengths.size(); ++s) {
      if (c.lengths[s] == len) {
        ++c.count[static_cast<size_t>(len)];
        c.symbols.push_back(static_cast<int>(s));
      }
    }
  }
}

int decodeSymbol(const Code& c, Bits& br) {
  const auto& count = c.count;
  const auto& symbols = c.symbols;
  if (symbols.size() == 1) return symbols[0];
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= 15; ++len) {
    code |= static_cast<int>(br.bit());
    if (code - first < count[static_cast<size_t>(len)]) return symbols[static_cast<size_t>(index + code - first)];
    index += count[static_cast<size_t>(len)];
    first = (first + count[static_cast<size_t>(len)]) << 1;
    code <<= 1;
  }
  fail(ekInvalid, "webp: huffman code longer than 15 bits");
}

Code readCode(Bits& br, int alphabet) {
  Code c;
  c.lengths.assign(static_cast<size_t>(alphabet), 0);
  if (br.read(1)) {
    const int n = static_cast<int>(br.read(1)) + 1;
    const int firstBits = br.read(1) ? 8 : 1;
    for (int i = 0; i < n; ++i) {
      const int s = static_cast<int>(br.read(i == 0 ? firstBits : 8));
      if (s >= alphabet) fail(ekInvalid, "webp: simple code symbol out of range");
      c.lengths[static_cast<size_t>(s)] = 1;
    }
    sortSymbols(c);
    return c;
  }
  static const int order[19] = {17, 18, 0, 1, 2, 3, 4, 5, 16, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  Code lengthCode;
  lengthCode.lengths.assign(19, 0);
  const int numCodes = static_cast<int>(br.read(4)) + 4;
  for (int i = 0; i < numCodes; ++i) lengthCode.lengths[static_cast<size_t>(order[i])] = static_cast<int>(br.read(3));
  sortSymbols(lengthCode);
  int maxSymbol = alphabet;
  if (br.read(1)) {
    const int nbits = 2 + 2 * static_cast<int>(br.read(3));
    maxSymbol = 2 + static_cast<int>(br.read(nbits));
    if (maxSymbol > alphabet) fail(ekInvalid, "webp: max_symbol exceeds alphabet");
  }
  int s = 0, prev = 8;
  while (s < alphabet && maxSymbol > 0) {
    --maxSymbol;
    const int v = decodeSymbol(lengthCode, br);
    if (v < 16) {
      c.lengths[static_cast<size_t>(s++)] = v;
      if (v != 0) prev = v;
      continue;
    }
    int repeat = 0, value = 0;
    if (v == 16) {
      repeat = 3 + static_cast<int>(br.read(2));
      value = prev;
    } else if (v == 17) {
      repeat = 3 + static_cast<int>(br.read(3));
    } else {
      repeat = 11 + static_cast<int>(br.read(7));
    }
    if (s + repeat > alphabet) fail(ekInvalid, "webp: code lengths exceed alphabet");
    for (int i = 0; i < repeat; ++i) c.lengths[static_cast<size_t>(s++)] = value;
  }
  sortSymbols(c);
  return c;
}

uint32_t prefixValue(int prefix, Bits& br) {
  if (prefix < 4) return static_cast<uint32_t>(prefix + 1);
  const int extra = (prefix - 2) >> 1;
  const uint32_t offset = static_cast<uint32_t>(2 + (prefix & 1)) << extra;
  return offset + br.read(extra) + 1;
}

const int kDist[120][2] = {
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
    {8, 4},  {6, 7},  {-6, 7}, {7, 6},  {-7, 6}, {8, 5},  {7, 7},  {-7, 7}, {8, 6},  {8, 7}};

int64_t divUp(int64_t n, int bits) { return (n + (int64_t{1} << bits) - 1) >> bits; }

using Pixels = std::vector<uint32_t>;

Pixels decodeImage(Bits& br, int64_t w, int64_t h, bool mainImage);

Pixels decodeImage(Bits& br, int64_t w, int64_t h, bool mainImage) {
  int cacheBits = 0;
  if (br.read(1)) {
    cacheBits = static_cast<int>(br.read(4));
    if (cacheBits < 1 || cacheBits > 11) fail(ekInvalid, "webp: bad color cache bits");
  }
  int prefixBits = 0;
  Pixels entropy;
  int groups = 1;
  if (mainImage && br.read(1)) {
    prefixBits = static_cast<int>(br.read(3)) + 2;
    entropy = decodeImage(br, divUp(w, prefixBits), divUp(h, prefixBits), false);
    int maxCode = 0;
    for (uint32_t e : entropy) maxCode = std::max(maxCode, static_cast<int>((e >> 8) & 0xFFFF));
    groups = maxCode + 1;
  }
  const int cacheSize = cacheBits ? 1 << cacheBits : 0;
  std::vector<std::array<Code, 5>> codes(static_cast<size_t>(groups));
  const int alphabets[5] = {256 + 24 + cacheSize, 256, 256, 256, 40};
  for (auto& g : codes) {
    for (int i = 0; i < 5; ++i) g[static_cast<size_t>(i)] = readCode(br, alphabets[i]);
  }
  // Grows with the pixels decoded, so a stream that fails early never costs
  // the picture it announced.
  Pixels out;
  const int64_t total = w * h;
  Pixels cache(static_cast<size_t>(cacheSize), 0);
  auto put = [&](uint32_t px) {
    out.push_back(px);
    if (cacheBits) cache[(0x1E35A7BDu * px) >> (32 - cacheBits)] = px;
  };
  while (static_cast<int64_t>(out.size()) < total) {
    const auto pos = static_cast<int64_t>(out.size());
    const int64_t x = pos % w, y = pos / w;
    size_t group = 0;
    if (prefixBits) {
      group = (entropy[static_cast<size_t>((y >> prefixBits) * divUp(w, prefixBits) + (x >> prefixBits))] >> 8) & 0xFFFF;
    }
    const auto& g = codes[group];
    const int s = decodeSymbol(g[0], br);
    if (s < 256) {
      const uint32_t r = static_cast<uint32_t>(decodeSymbol(g[1], br));
      const uint32_t b = static_cast<uint32_t>(decodeSymbol(g[2], br));
      const uint32_t a = static_cast<uint32_t>(decodeSymbol(g[3], br));
      put(a << 24 | r << 16 | static_cast<uint32_t>(s) << 8 | b);
    } else if (s < 280) {
      const int64_t length = prefixValue(s - 256, br);
      const uint32_t code = prefixValue(decodeSymbol(g[4], br), br);
      int64_t dist;
      if (code > 120) {
        dist = code - 120;
      } else {
        dist = kDist[code - 1][0] + kDist[code - 1][1] * w;
        if (dist < 1) dist = 1;
      }
      if (dist > pos) fail(ekInvalid, "webp: bad back-reference distance");
      if (length > total - pos) fail(ekInvalid, "webp: copy runs past image end");
      for (int64_t i = 0; i < length; ++i) put(out[out.size() - static_cast<size_t>(dist)]);
    } else {
      if (!cacheBits) fail(ekInvalid, "webp: color cache code without a cache");
      put(cache[static_cast<size_t>(s - 280)]);
    }
  }
  return out;
}

int ch(uint32_t p, int i) { return static_cast<int>((p >> (8 * i)) & 0xFF); }

uint32_t pack(const int c[4]) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(c[i] & 0xFF) << (8 * i);
  return v;
}

uint32_t avg(uint32_t a, uint32_t b) {
  int c[4];
  for (int i = 0; i < 4; ++i) c[i] = (ch(a, i) + ch(b, i)) / 2;
  return pack(c);
}

int clampByte(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

uint32_t predictor(int mode, uint32_t L, uint32_t T, uint32_t TL, uint32_t TR) {
  int c[4];
  switch (mode) {
    case 1: return L;
    case 2: return T;
    case 3: return TR;
    case 4: return TL;
    case 5: return avg(avg(L, TR), T);
    case 6: return avg(L, TL);
    case 7: return avg(L, T);
    case 8: return avg(TL, T);
    case 9: return avg(T, TR);
    case 10: return avg(avg(L, TL), avg(T, TR));
    case 11: {
      int pl = 0, pt = 0;
      for (int i = 0; i < 4; ++i) {
        const int p = ch(L, i) + ch(T, i) - ch(TL, i);
        pl += std::abs(p - ch(L, i));
        pt += std::abs(p - ch(T, i));
      }
      return pl < pt ? L : T;
    }
    case 12:
      for (int i = 0; i < 4; ++i) c[i] = clampByte(ch(L, i) + ch(T, i) - ch(TL, i));
      return pack(c);
    case 13: {
      const uint32_t a = avg(L, T);
      for (int i = 0; i < 4; ++i) c[i] = clampByte(ch(a, i) + (ch(a, i) - ch(TL, i)) / 2);
      return pack(c);
    }
    default: return 0xFF000000u;
  }
}

uint32_t addEach(uint32_t a, uint32_t b) {
  int c[4];
  for (int i = 0; i < 4; ++i) c[i] = ch(a, i) + ch(b, i);
  return pack(c);
}

struct Transform {
  int type;
  int bits = 0;
  int64_t width = 0;
  Pixels data;
};

Image decodeBody(ByteView data, size_t start, int64_t w, int64_t h, bool alpha) {
  Bits br{data, start};
  std::vector<Transform> ts;
  bool seen[4] = {};
  int64_t xsize = w;
  while (br.read(1)) {
    Transform t;
    t.type = static_cast<int>(br.read(2));
    if (seen[t.type]) fail(ekInvalid, "webp: duplicate transform");
    seen[t.type] = true;
    t.width = xsize;
    if (t.type == 0 || t.type == 1) {
      t.bits = static_cast<int>(br.read(3)) + 2;
      t.data = decodeImage(br, divUp(xsize, t.bits), divUp(h, t.bits), false);
    } else if (t.type == 3) {
      const int size = static_cast<int>(br.read(8)) + 1;
      t.bits = size <= 2 ? 3 : size <= 4 ? 2 : size <= 16 ? 1 : 0;
      t.data = decodeImage(br, size, 1, false);
      for (size_t i = 1; i < t.data.size(); ++i) t.data[i] = addEach(t.data[i], t.data[i - 1]);
      t.data.resize(256, 0);
      xsize = divUp(xsize, t.bits);
    }
    ts.push_back(t);
  }
  Pixels px = decodeImage(br, xsize, h, true);
  for (auto it = ts.rbegin(); it != ts.rend(); ++it) {
    const Transform& t = *it;
    const int64_t W = t.width;
    if (t.type == 0) {
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < W; ++x) {
          uint32_t& p = px[static_cast<size_t>(y * W + x)];
          uint32_t pred;
          if (y == 0) {
            pred = x == 0 ? 0xFF000000u : px[static_cast<size_t>(x - 1)];
          } else if (x == 0) {
            pred = px[static_cast<size_t>((y - 1) * W)];
          } else {
            const int mode = static_cast<int>((t.data[static_cast<size_t>((y >> t.bits) * divUp(W, t.bits) + (x >> t.bits))] >> 8) & 0xF);
            const uint32_t L = px[static_cast<size_t>(y * W + x - 1)];
            const uint32_t T = px[static_cast<size_t>((y - 1) * W + x)];
            const uint32_t TL = px[static_cast<size_t>((y - 1) * W + x - 1)];
            const uint32_t TR = x == W - 1 ? px[static_cast<size_t>(y * W)] : px[static_cast<size_t>((y - 1) * W + x + 1)];
            pred = predictor(mode, L, T, TL, TR);
          }
          p = addEach(p, pred);
        }
      }
    } else if (t.type == 1) {
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < W; ++x) {
          uint32_t& p = px[static_cast<size_t>(y * W + x)];
          const uint32_t e = t.data[static_cast<size_t>((y >> t.bits) * divUp(W, t.bits) + (x >> t.bits))];
          const auto delta = [](int tr, int c) {
            return (static_cast<int8_t>(tr) * static_cast<int8_t>(c)) >> 5;
          };
          const int g = ch(p, 1);
          int r = ch(p, 2) + delta(ch(e, 0), g);
          int b = ch(p, 0) + delta(ch(e, 1), g);
          b += delta(ch(e, 2), r & 0xFF);
          const int c[4] = {b, g, r, ch(p, 3)};
          p = pack(c);
        }
      }
    } else if (t.type == 2) {
      for (uint32_t& p : px) {
        const int c[4] = {ch(p, 0) + ch(p, 1), ch(p, 1), ch(p, 2) + ch(p, 1), ch(p, 3)};
        p = pack(c);
      }
    } else {
      const int64_t coded = divUp(W, t.bits);
      const int per = 1 << t.bits;
      const int bitsEach = 8 / per;
      Pixels wide(static_cast<size_t>(W * h));
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < W; ++x) {
          const int g = ch(px[static_cast<size_t>(y * coded + x / per)], 1);
          const int index = (g >> ((x % per) * bitsEach)) & ((1 << bitsEach) - 1);
          const size_t tableSize = size_t{1} << (8 >> t.bits);
          wide[static_cast<size_t>(y * W + x)] = static_cast<size_t>(index) < tableSize ? t.data[static_cast<size_t>(index)] : 0;
        }
      }
      px = wide;
    }
  }
  Image img = newImage(w, h, alpha ? csRgba : csRgb);
  const size_t n = img.channels == 4 ? 4 : 3;
  for (size_t i = 0; i < px.size(); ++i) {
    img.pixels[i * n + 0] = static_cast<uint8_t>(ch(px[i], 2));
    img.pixels[i * n + 1] = static_cast<uint8_t>(ch(px[i], 1));
    img.pixels[i * n + 2] = static_cast<uint8_t>(ch(px[i], 0));
    if (n == 4) img.pixels[i * n + 3] = static_cast<uint8_t>(ch(px[i], 3));
  }
  return img;
}

// The 32 header bits end on a byte boundary: the body starts at byte 5.
Image decodeStream(ByteView p) {
  if (p.size() <= 4 || p[0] != 0x2F) fail(ekUnsupported, "webp: missing VP8L sig");
  Bits br{p, 1};
  const int64_t w = br.read(14) + 1;
  const int64_t h = br.read(14) + 1;
  const bool alpha = br.read(1) != 0;
  const uint32_t version = br.read(3);
  if (version != 0) fail(ekUnsupported, "webp: unsupported VP8L version " + std::to_string(version));
  return decodeBody(p, 5, w, h, alpha);
}

uint32_t le32(ByteView d, size_t at) {
  return uint32_t{d[at]} | uint32_t{d[at + 1]} << 8 | uint32_t{d[at + 2]} << 16 |
         uint32_t{d[at + 3]} << 24;
}

struct RefChunk {
  std::string code;
  size_t payload;
  size_t size;
};

std::optional<RefChunk> findChunk(ByteView d, size_t from, size_t end, const std::string& code) {
  size_t at = from;
  while (at + 8 <= end) {
    RefChunk c{std::string(d.begin() + static_cast<ptrdiff_t>(at), d.begin() + static_cast<ptrdiff_t>(at) + 4), at + 8, le32(d, at + 4)};
    if (c.payload + c.size > end) fail(ekTruncated, "webp: chunk exceeds RIFF payload");
    if (c.code == code) return c;
    at = c.payload + c.size + (c.size % 2);
  }
  return std::nullopt;
}

Image applyAlpha(Image img, ByteView a) {
  if (a.empty()) fail(ekTruncated, "webp: ALPH short");
  if (a[0] & 0xFC) fail(ekUnsupported, "webp: filtered or preprocessed ALPH unsupported");
  const int method = a[0] & 3;
  if (method > 1) fail(ekUnsupported, "webp: ALPH compression " + std::to_string(method) + " unsupported");
  const size_t n = static_cast<size_t>(img.width * img.height);
  std::vector<uint8_t> alpha(n);
  if (method == 0) {
    if (a.size() - 1 < n) fail(ekTruncated, "webp: ALPH plane short");
    for (size_t i = 0; i < n; ++i) alpha[i] = a[i + 1];
  } else {
    const Image plane = decodeBody(a, 1, img.width, img.height, true);
    for (size_t i = 0; i < n; ++i) alpha[i] = plane.pixels[i * 4 + 1];
  }
  Image out = newImage(img.width, img.height, csRgba);
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < 3; ++c) out.pixels[i * 4 + c] = img.pixels[i * static_cast<size_t>(img.channels) + c];
    out.pixels[i * 4 + 3] = alpha[i];
  }
  return out;
}

}  // namespace

Image referenceDecodeWebp(ByteView d) {
  if (d.size() < 12) fail(ekTruncated, "webp: container truncated");
  if (std::memcmp(d.data(), "RIFF", 4) != 0) fail(ekUnsupported, "webp: not a RIFF");
  if (std::memcmp(d.data() + 8, "WEBP", 4) != 0) fail(ekUnsupported, "webp: not a WEBP");
  const uint64_t size = le32(d, 4);
  if (size < 4 || d.size() < size + 8) fail(ekTruncated, "webp: bad RIFF size");
  const size_t end = static_cast<size_t>(size + 8);
  if (end < 20) fail(ekTruncated, "webp: chunk header short");
  const std::string code(d.begin() + 12, d.begin() + 16);
  const size_t payloadSize = le32(d, 16);
  if (20 + uint64_t{payloadSize} > end) fail(ekTruncated, "webp: first chunk exceeds RIFF payload");
  const ByteView payload = d.subspan(20, payloadSize);
  if (code == "VP8L") {
    if (payloadSize == 0) fail(ekTruncated, "webp: empty VP8L chunk");
    return decodeStream(payload);
  }
  if (code == "VP8 ") fail(ekUnsupported, "webp: VP8 lossy decode not yet implemented");
  if (code != "VP8X") fail(ekUnsupported, "webp: unknown chunk " + code);
  if (payloadSize != 10) fail(ekInvalid, "webp: VP8X chunk must be 10 bytes");
  const uint8_t flags = payload[0];
  if ((flags & 1) || (flags & 0x40) || (flags & 0x80) || payload[1] || payload[2] || payload[3]) {
    fail(ekInvalid, "webp: VP8X reserved bits are nonzero");
  }
  if (flags & 2) fail(ekUnsupported, "webp: animated images unsupported");
  const uint32_t cw = payload[4] | payload[5] << 8 | payload[6] << 16;
  const uint32_t chh = payload[7] | payload[8] << 8 | payload[9] << 16;
  if (cw > 16383 || chh > 16383) fail(ekInvalid, "webp: canvas too large");
  const auto vp8l = findChunk(d, 30, end, "VP8L");
  if (!vp8l) fail(ekUnsupported, "webp: VP8X without a VP8L payload (lossy/anim unsupported)");
  if (vp8l->size == 0) fail(ekTruncated, "webp: empty VP8L chunk");
  Image img = decodeStream(d.subspan(vp8l->payload, vp8l->size));
  if (img.width != cw + 1 || img.height != chh + 1) {
    fail(ekInvalid, "webp: VP8X canvas and payload dimensions differ");
  }
  if (flags & 0x10) {
    if (const auto alph = findChunk(d, 30, end, "ALPH")) {
      img = applyAlpha(img, d.subspan(alph->payload, alph->size));
    }
  }
  return img;
}

}  // namespace kd::formats::test
