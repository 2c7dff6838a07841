// Baseline sequential JPEG (ISO/IEC 10918-1): Huffman-coded, 8-bit, one or
// three components. Both directions use the direct separable float DCT,
// whose arithmetic defines the decoded bytes to the bit; a plain
// transcription of this decoder lives in the tests and must agree on every
// byte. So speed never comes from reordering arithmetic:
//   - both DCTs compute 8 outputs at once, each sum's terms in their
//     written order; the IDCT skips the rows after the last coefficient
//     decoded (every sum starts at +0, so adding a zero term cannot change
//     it), and products by CosT[.][0] = 1 are left out;
//   - Huffman symbols come from a 9-bit lookup table filled by running the
//     bit-by-bit walk over every prefix, so symbols and failures match the
//     walk, which longer codes still use; AC symbols with their value bits
//     come from a second table, two lookups per refill of the bit buffer;
//   - colour conversion and clamping run a row at a time, widening
//     half-width chroma on the fly;
//   - the encoder finds the non-zero coefficients through a mask and codes
//     each symbol with its value bits in one step, without branching on
//     signs.
// The picture is decoded one MCU row at a time into small float bands and
// converted straight into the output, so only one row of planes exists. The
// output is allocated whole only when the entropy data could fill it (every
// block costs at least two bits); otherwise it grows with the rows actually
// decoded, so no header claim sizes an allocation by itself.
#include "formats/jpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/checked.h"
#include "base/memory.h"
#include "formats/codecs.h"

#include <immintrin.h>

namespace kd::formats {

namespace jpeg {

const CosineTables& cosineTables() {
  static const CosineTables tables = [] {
    CosineTables t{};
    for (int x = 0; x < 8; ++x) {
      for (int u = 0; u < 8; ++u) {
        const float arg = static_cast<float>((2 * x + 1) * u) * 3.1415927f * 0.0625f;
        t.CosT[x][u] = std::cos(arg);
      }
    }
    t.Cu[0] = 0.70710677f;
    for (int u = 1; u < 8; ++u) t.Cu[u] = 1.0f;
    return t;
  }();
  return tables;
}

std::array<uint8_t, 64> scaleQt(const std::array<uint8_t, 64>& base, int quality) {
  quality = std::min(quality, 100);
  const int scale = quality < 2 ? 5000 : quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::array<uint8_t, 64> out{};
  for (size_t i = 0; i < 64; ++i) {
    const int raw = base[i] * scale + 50;
    out[i] = raw < 100 ? 1 : raw > 25599 ? 255 : static_cast<uint8_t>(raw / 100);
  }
  return out;
}

}  // namespace jpeg

namespace {

using jpeg::ZigZag;

// Eight floats; operations on it are element-wise, so each lane is one
// output's own sum. The helpers below are file-local, so the note GCC gives
// about 32-byte vectors crossing function boundaries without AVX (an ABI
// matter between translation units) does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
using Vec8 = float __attribute__((vector_size(32), aligned(32)));

#define KD_INLINE [[gnu::always_inline]] inline

KD_INLINE Vec8 splat(float v) { return Vec8{v, v, v, v, v, v, v, v}; }
KD_INLINE Vec8 load8(const float* p) {
  Vec8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
KD_INLINE void store8(float* p, const Vec8& v) { std::memcpy(p, &v, sizeof v); }

// Per-lane tables derived from the cosine tables once.
struct DctVectors {
  Vec8 cosOfU[8];      // cosOfU[u][x] = CosT[x][u]: one basis function over x
  Vec8 fdctScale[8];   // fdctScale[v][u] = (0.25 * Cu[u]) * Cu[v]
  float cuOfK[64];     // Cu[u] of zigzag position k (natural index 8v + u)
};

const DctVectors& dctVectors() {
  static const DctVectors vectors = [] {
    const jpeg::CosineTables& t = jpeg::cosineTables();
    DctVectors d{};
    for (int u = 0; u < 8; ++u) {
      for (int x = 0; x < 8; ++x) d.cosOfU[u][x] = t.CosT[x][u];
    }
    for (int v = 0; v < 8; ++v) {
      for (int u = 0; u < 8; ++u) d.fdctScale[v][u] = (0.25f * t.Cu[u]) * t.Cu[v];
    }
    for (size_t k = 0; k < 64; ++k) d.cuOfK[k] = t.Cu[jpeg::ZigZag[k] % 8];
    return d;
  }();
  return vectors;
}

// ---------------------------------------------------------------- decoder

constexpr int kFastBits = 9;

// Canonical Huffman table (Annex C) with the per-length limits of the
// bit-by-bit walk (Annex F.2.2.3) and a lookup table over 9-bit prefixes.
struct HuffTable {
  bool defined = false;
  int32_t minCode[17] = {};
  int32_t maxCode[17] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
  int32_t valOffset[17] = {};
  std::vector<uint8_t> symbols;
  // (length << 8) | symbol for prefixes whose walk ends within kFastBits
  // bits; 0 sends the decoder to the walk.
  uint16_t fast[1 << kFastBits] = {};
  // For AC use: when a prefix holds a whole symbol with a non-zero size and
  // its value bits, value << 16 | run << 8 | bits used; 0 otherwise.
  int32_t acFast[1 << kFastBits] = {};
};

void buildHuffTable(HuffTable& t, const uint8_t counts[16], ByteView symbols) {
  t = HuffTable{};
  t.defined = true;
  t.symbols.assign(symbols.begin(), symbols.end());
  int32_t code = 0;
  int32_t k = 0;
  for (int l = 1; l <= 16; ++l) {
    const int32_t count = counts[l - 1];
    t.valOffset[l] = k;
    t.minCode[l] = code;
    code += count;
    k += count;
    t.maxCode[l] = count > 0 ? code - 1 : -1;
    code <<= 1;
  }
  // The walk on a prefix p stops at the first length l whose l-bit code
  // p >> (kFastBits - l) is at most maxCode[l] (a code that reaches length
  // l is never below minCode[l]). Those codes grow with p, so the prefixes
  // settled within l bits form a range starting at 0, and each length adds
  // the prefixes from the end of the range so far to its own limit.
  uint32_t settled = 0;
  for (int l = 1; l <= kFastBits; ++l) {
    if (t.maxCode[l] < 0) continue;
    const int shift = kFastBits - l;
    const auto limit = static_cast<uint32_t>(
        std::min<int64_t>(int64_t{t.maxCode[l] + 1} << shift, int64_t{1} << kFastBits));
    for (uint32_t p = settled; p < limit; ++p) {
      const auto code = static_cast<int32_t>(p >> shift);
      const uint8_t symbol = t.symbols[static_cast<size_t>(t.valOffset[l] + code - t.minCode[l])];
      t.fast[p] = static_cast<uint16_t>(l << 8 | symbol);
    }
    settled = std::max(settled, limit);
  }
  for (uint32_t p = 0; p < (1u << kFastBits); ++p) {
    const int len = t.fast[p] >> 8;
    const auto symbol = static_cast<uint8_t>(t.fast[p] & 0xFF);
    const int size = symbol & 15;
    if (len == 0 || size == 0 || len + size > kFastBits) continue;
    const auto raw = static_cast<int32_t>(p >> (kFastBits - len - size) & ((1u << size) - 1));
    const int32_t value = raw < (1 << (size - 1)) ? raw - (1 << size) + 1 : raw;
    t.acFast[p] = static_cast<int32_t>(static_cast<uint32_t>(value) << 16) | (symbol >> 4) << 8 |
                  (len + size);
  }
}

struct Component {
  int id = 0;
  int h = 1;
  int v = 1;
  int tq = 0;
  int td = 0;
  int ta = 0;
};

struct Frame {
  bool seen = false;
  int width = 0;
  int height = 0;
  std::vector<Component> components;
};

struct Tables {
  std::array<std::array<uint16_t, 64>, 4> quant{};  // zigzag order, as read
  std::array<HuffTable, 4> dc;
  std::array<HuffTable, 4> ac;
  int restartInterval = 0;
};

void readDqt(base::ByteReader& seg, Tables& t) {
  do {
    seg.need(1, "jpeg: DQT truncated");
    const uint8_t pqTq = seg.u8();
    if (pqTq & 0x0C) fail(ekInvalid, "jpeg: bad quant table id");
    std::array<uint16_t, 64>& q = t.quant[pqTq & 3];
    if ((pqTq >> 4) == 0) {
      ByteView values = seg.take(64, "jpeg: quant values truncated");
      for (size_t i = 0; i < 64; ++i) q[i] = values[i];
    } else {
      ByteView values = seg.take(128, "jpeg: quant values truncated");
      for (size_t i = 0; i < 64; ++i) {
        q[i] = static_cast<uint16_t>(values[2 * i] << 8 | values[2 * i + 1]);
      }
    }
  } while (!seg.atEnd());
}

void readDht(base::ByteReader& seg, Tables& t) {
  do {
    seg.need(17, "jpeg: DHT truncated");
    const uint8_t tcTh = seg.u8();
    if ((tcTh & 15) > 3) fail(ekInvalid, "jpeg: bad Huffman table id");
    ByteView counts = seg.take(16);
    size_t total = 0;
    for (uint8_t c : counts) total += c;
    ByteView symbols = seg.take(total, "jpeg: Huffman symbols truncated");
    HuffTable& table = (tcTh >> 4) == 0 ? t.dc[tcTh & 15] : t.ac[tcTh & 15];
    buildHuffTable(table, counts.data(), symbols);
  } while (!seg.atEnd());
}

void readSof0(base::ByteReader& seg, size_t length, Frame& f) {
  if (length < 8) fail(ekTruncated, "jpeg: SOF0 truncated");
  if (seg.u8() != 8) fail(ekUnsupported, "jpeg: non-8-bit precision");
  const int height = seg.u16be();
  const int width = seg.u16be();
  const int count = seg.u8();
  if (count != 1 && count != 3) fail(ekUnsupported, "jpeg: unsupported component count");
  seg.need(static_cast<size_t>(3 * count), "jpeg: SOF0 components truncated");
  std::vector<Component> components(static_cast<size_t>(count));
  for (Component& c : components) {
    c.id = seg.u8();
    const uint8_t hv = seg.u8();
    c.h = hv >> 4;
    c.v = hv & 15;
    c.tq = seg.u8();
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) fail(ekInvalid, "jpeg: bad sampling factor");
    if (c.tq > 3) fail(ekInvalid, "jpeg: bad quant table ref");
  }
  if (width == 0 || height == 0) fail(ekInvalid, "jpeg: bad dimensions");
  f.seen = true;
  f.width = width;
  f.height = height;
  f.components = std::move(components);
}

void readSos(base::ByteReader& seg, size_t length, Tables& t, Frame& f) {
  if (!f.seen) fail(ekInvalid, "jpeg: SOS before SOF0");
  if (length <= 5) fail(ekTruncated, "jpeg: SOS truncated");
  const size_t count = seg.u8();
  if (count != f.components.size()) fail(ekInvalid, "jpeg: SOS component mismatch");
  for (size_t i = 0; i < count; ++i) {
    seg.need(2, "jpeg: SOS selectors truncated");
    const uint8_t id = seg.u8();
    const uint8_t tdTa = seg.u8();
    auto it = std::find_if(f.components.begin(), f.components.end(),
                           [&](const Component& c) { return c.id == id; });
    if (it == f.components.end()) fail(ekInvalid, "jpeg: SOS unknown component");
    const int td = tdTa >> 4;
    const int ta = tdTa & 15;
    if (td > 3 || ta > 3) fail(ekInvalid, "jpeg: bad Huffman table ref");
    if (!t.dc[static_cast<size_t>(td)].defined || !t.ac[static_cast<size_t>(ta)].defined) {
      fail(ekInvalid, "jpeg: scan references an undefined Huffman table");
    }
    it->td = td;
    it->ta = ta;
  }
  if (f.width == 0 || f.height == 0) fail(ekInvalid, "jpeg: no frame (SOF0)");
}

// Walks the segments up to the first SOS; returns the position just after
// the SOS segment, where the entropy-coded data begins.
size_t readHeaders(ByteView d, Tables& t, Frame& f) {
  requireLen(d, 2, "jpeg: header truncated");
  if (d[0] != 0xFF || d[1] != 0xD8) fail(ekUnsupported, "jpeg: bad SOI");
  const size_t n = d.size();
  size_t pos = 2;
  for (;;) {
    if (pos >= n) fail(ekInvalid, "jpeg: no scan (SOS)");
    if (d[pos] != 0xFF) fail(ekInvalid, "jpeg: expected marker");
    while (pos < n && d[pos] == 0xFF) ++pos;
    if (pos >= n) fail(ekInvalid, "jpeg: no scan (SOS)");
    const uint8_t marker = d[pos++];
    if (marker == 0xD9) fail(ekInvalid, "jpeg: no scan (SOS)");
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (n - pos < 2) fail(ekTruncated, "jpeg: marker length truncated");
    const size_t length = static_cast<size_t>(d[pos] << 8 | d[pos + 1]);
    if (length < 2 || length > n - pos) fail(ekTruncated, "jpeg: segment truncated");
    base::ByteReader seg(d.subspan(pos + 2, length - 2), "jpeg: segment truncated");
    const size_t end = pos + length;
    switch (marker) {
      case 0xDB: readDqt(seg, t); break;
      case 0xC4: readDht(seg, t); break;
      case 0xC0: readSof0(seg, length, f); break;
      case 0xC2: fail(ekUnsupported, "jpeg: progressive unsupported");
      case 0xC9:
      case 0xCA: fail(ekUnsupported, "jpeg: arithmetic/12-bit unsupported");
      case 0xDD:
        seg.need(2, "jpeg: DRI truncated");
        t.restartInterval = seg.u16be();
        break;
      case 0xDA: readSos(seg, length, t, f); return end;
      default: break;
    }
    pos = end;
  }
}

// The first scan's entropy-coded bytes with stuffing removed, and the
// positions in them where restart markers stood.
struct EntropyData {
  Bytes bytes;
  std::vector<size_t> restarts;
};

EntropyData extractEntropy(ByteView d, size_t pos) {
  EntropyData e;
  e.bytes.reserve(d.size() - pos);
  const uint8_t* base = d.data();
  const size_t n = d.size();
  while (pos < n) {
    const void* ff = std::memchr(base + pos, 0xFF, n - pos);
    const size_t stop = ff ? static_cast<size_t>(static_cast<const uint8_t*>(ff) - base) : n;
    e.bytes.insert(e.bytes.end(), base + pos, base + stop);
    if (stop + 1 >= n) break;  // end of data, or a lone 0xFF as the last byte
    const uint8_t m = base[stop + 1];
    pos = stop + 2;
    if (m == 0x00) {
      e.bytes.push_back(0xFF);
    } else if (m >= 0xD0 && m <= 0xD7) {
      e.restarts.push_back(e.bytes.size());
    } else if (m == 0xD9) {
      break;
    } else {
      fail(ekInvalid, "jpeg: bad marker in entropy");
    }
  }
  return e;
}

// MSB-first bit reader over the de-stuffed entropy bytes. Past the end it
// reads zeros and counts them; `overrun()` says whether a bit past the end
// has been consumed, which the block decoder turns into the truncation
// error at the same point where a bit-by-bit reader would have failed.
class BitReader {
 public:
  explicit BitReader(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}

  // At least 56 bits are buffered afterwards. Away from the end of the
  // data it always loads 8 bytes (bits it already holds are loaded again
  // at the same place), so the hot path has no data-dependent branch.
  KD_INLINE void refill() {
    if (next_ + 8 <= size_) {
      uint64_t v;
      std::memcpy(&v, data_ + next_, 8);
      v = __builtin_bswap64(v);
      acc_ |= v >> bits_;
      next_ += static_cast<size_t>(63 - bits_) >> 3;
      bits_ |= 56;
      return;
    }
    refillSlow();
  }
  KD_INLINE void refillSlow() {
    while (bits_ <= 56) {
      const uint64_t byte = next_ < size_ ? data_[next_] : 0;
      ++next_;
      acc_ |= byte << (56 - bits_);
      bits_ += 8;
    }
  }
  uint32_t peek(int n) const { return static_cast<uint32_t>(acc_ >> (64 - n)); }
  void consume(int n) {
    acc_ <<= n;
    bits_ -= n;
  }
  // n in 1..16; refill() must have run since the last 16 bits consumed.
  uint32_t take(int n) {
    const uint32_t v = peek(n);
    consume(n);
    return v;
  }
  // n in 0..16 (0 reads nothing and gives 0); refill() must have run
  // since the last 40 bits consumed.
  uint32_t takeUpTo16(int n) {
    const auto v = static_cast<uint32_t>((acc_ >> 1) >> (63 - n));
    consume(n);
    return v;
  }
  bool overrun() const { return position() > size_ * 8; }
  // Drops the rest of the current byte.
  void alignToByte() { seek((position() + 7) / 8); }
  void seek(size_t bytePos) {
    next_ = bytePos;
    acc_ = 0;
    bits_ = 0;
  }

 private:
  uint64_t position() const { return uint64_t{next_} * 8 - static_cast<uint64_t>(bits_); }

  const uint8_t* data_;
  size_t size_;
  size_t next_ = 0;
  uint64_t acc_ = 0;
  int bits_ = 0;
};

// Takes the overrun flag rather than the reader, so that the reader's
// state never has to leave registers.
[[noreturn, gnu::noinline, gnu::cold]] void failDecode(bool overrun, const char* message) {
  if (overrun) fail(ekTruncated, "jpeg: entropy stream truncated");
  fail(ekInvalid, message);
}

// One Huffman symbol; refill() must have run. Codes longer than the lookup
// prefix continue the walk from the prefix's bits.
inline int decodeSymbol(BitReader& r, const HuffTable& t) {
  const uint16_t hit = t.fast[r.peek(kFastBits)];
  if (hit != 0) {
    r.consume(hit >> 8);
    return hit & 0xFF;
  }
  const uint32_t bits16 = r.peek(16);
  int32_t code = 0;
  for (int l = 1; l <= 16; ++l) {
    code = code << 1 | static_cast<int32_t>(bits16 >> (16 - l) & 1);
    if (code <= t.maxCode[l]) {
      r.consume(l);
      return t.symbols[static_cast<size_t>(t.valOffset[l] + code - t.minCode[l])];
    }
  }
  r.consume(16);
  failDecode(r.overrun(), "jpeg: bad Huffman code");
}

// s bits, sign-extended: a value below 2^(s-1) becomes value - 2^s + 1.
// s in 0..16; branch-free, since the sign of a value is as good as random.
KD_INLINE int32_t receiveExtend(BitReader& r, int s) {
  const auto v = static_cast<int32_t>(r.takeUpTo16(s));
  const int32_t below = (v - ((1 << s) >> 1)) >> 31;  // -1 when v < 2^(s-1)
  return v + (below & (1 - (1 << s)));
}

struct Block {
  // C(u) F(u, v), the dequantised coefficient times its row pass factor
  // (1 except in the first column), natural order; all zero between blocks.
  alignas(32) float coef[64];
  int lastK = 0;               // zigzag index of the last coefficient written
};

// The last row of the natural order reached by zigzag positions 0..k.
constexpr std::array<uint8_t, 64> kLastRowOfK = [] {
  std::array<uint8_t, 64> rows{};
  uint8_t last = 0;
  for (size_t k = 0; k < 64; ++k) {
    last = std::max(last, static_cast<uint8_t>(ZigZag[k] >> 3));
    rows[k] = last;
  }
  return rows;
}();

// Decodes one block's coefficients, dequantised, into `b` (which must be
// all zero on entry). DC categories above 16 cannot be produced by any
// encoder and would overflow the sign extension; they count as a bad code.
// The reader is copied into a local for the block so that its state stays
// in registers while coefficients are stored.
[[gnu::noinline]] void decodeBlock(BitReader& reader, const HuffTable& dc, const HuffTable& ac,
                                   const uint16_t* quant, const float* quantF, int64_t& pred,
                                   Block& b) {
  const float* cu = dctVectors().cuOfK;
  BitReader r = reader;
  r.refill();
  const int s = decodeSymbol(r, dc);
  if (s > 16) failDecode(r.overrun(), "jpeg: bad Huffman code");
  pred += receiveExtend(r, s);
  b.coef[0] = cu[0] * static_cast<float>(pred * quant[0]);
  int lastK = 0;
  for (int k = 1; k < 64;) {
    r.refill();
    // Symbol and value together when both fit the lookup prefix and the
    // run stays inside the block; otherwise the symbol alone (the failure
    // for a run past the block comes before its value bits are read). A
    // refill leaves at least 56 bits: room for two lookups (9 bits each)
    // and then a symbol with its value bits (32) in the general path.
    int32_t hit = ac.acFast[r.peek(kFastBits)];
    if (hit != 0 && k + (hit >> 8 & 15) <= 63) [[likely]] {
      r.consume(hit & 0xFF);
      k += hit >> 8 & 15;
      b.coef[ZigZag[static_cast<size_t>(k)]] = cu[k] * (static_cast<float>(hit >> 16) * quantF[k]);
      lastK = k++;
      if (k >= 64) break;
      hit = ac.acFast[r.peek(kFastBits)];
      if (hit != 0 && k + (hit >> 8 & 15) <= 63) [[likely]] {
        r.consume(hit & 0xFF);
        k += hit >> 8 & 15;
        b.coef[ZigZag[static_cast<size_t>(k)]] =
            cu[k] * (static_cast<float>(hit >> 16) * quantF[k]);
        lastK = k++;
        continue;
      }
    }
    const int rs = decodeSymbol(r, ac);
    const int run = rs >> 4;
    const int size = rs & 15;
    if (size == 0) {
      if (run != 15) break;
      k += 16;
      continue;
    }
    k += run;
    if (k > 63) failDecode(r.overrun(), "jpeg: AC index out of range");
    b.coef[ZigZag[static_cast<size_t>(k)]] =
        cu[k] * (static_cast<float>(receiveExtend(r, size)) * quantF[k]);
    lastK = k++;
  }
  if (r.overrun()) fail(ekTruncated, "jpeg: entropy stream truncated");
  b.lastK = lastK;
  reader = r;
}

// f(x, y) = 1/4 sum_v (Cu[v] t[v][x]) CosT[y][v] with
// t[v][x] = sum_u (Cu[u] F(u, v)) CosT[x][u]: rows first, then columns, each
// sum from +0 in increasing u or v. Eight x lanes at once; rows after the
// last written coefficient skipped. Writes 8 rows of 8 floats at `out` and
// leaves the block all zero. Compiled twice (baseline and AVX2 code for the
// same operations); both give the same floats.
KD_INLINE void idctBlockImpl(Block& b, float* out, size_t stride) {
  const jpeg::CosineTables& t = jpeg::cosineTables();
  if (b.lastK == 0) {
    // DC only: CosT[x][0] is exactly 1, so every output is the same value.
    const float rowSum = 0.0f + b.coef[0] * t.CosT[0][0];
    const float value = (0.0f + (t.Cu[0] * rowSum) * t.CosT[0][0]) * 0.25f;
    const Vec8 v = splat(value);
    for (int y = 0; y < 8; ++y) store8(out + static_cast<size_t>(y) * stride, v);
    b.coef[0] = 0.0f;
    return;
  }
  const DctVectors& d = dctVectors();
  // Rows past the last written one are skipped; rows before it are
  // computed whole, zero terms included: a zero coefficient adds a signed
  // zero, which leaves a sum that started at +0 unchanged, and a fixed
  // sequence of operations beats a data-dependent branch per row or term.
  //
  // CosT[x][0] is exactly 1, so each sum's first term is the factor itself,
  // taken as it is rather than added to +0: the two differ only when it is
  // a zero of either sign, and no output byte depends on the sign of a zero
  // (a non-zero result never does; a zero one ends up added to 128.5).
  const int lastRow = kLastRowOfK[static_cast<size_t>(b.lastK)];
  Vec8 sums[8];
  for (int v = 0; v <= lastRow; ++v) {
    const float* scaled = b.coef + v * 8;
    Vec8 acc = splat(scaled[0]);
    for (int u = 1; u < 8; ++u) acc += scaled[u] * d.cosOfU[u];
    store8(b.coef + v * 8, Vec8{});  // leaves the block all zero
    const Vec8 weighted = t.Cu[v] * acc;
    if (v == 0) {
      for (int y = 0; y < 8; ++y) sums[y] = weighted;
    } else {
      for (int y = 0; y < 8; ++y) sums[y] += weighted * t.CosT[y][v];
    }
  }
  for (int y = 0; y < 8; ++y) store8(out + static_cast<size_t>(y) * stride, sums[y] * 0.25f);
}

void idctBlockPlain(Block& b, float* out, size_t stride) { idctBlockImpl(b, out, stride); }
[[gnu::target("avx2")]] void idctBlockAvx2(Block& b, float* out, size_t stride) {
  idctBlockImpl(b, out, stride);
}

inline uint8_t clampSample(float v) {
  if (v < 0.0f) return 0;
  if (v < 256.0f) return static_cast<uint8_t>(static_cast<int>(v));
  return 255;
}

#if defined(__SSE2__)
// clampSample of four values, as bytes in the low 4 lanes: max(v, 0) and
// min(v, 255) before truncation give exactly 0 below 0, trunc(v) below 256
// and 255 above.
inline __m128i clamp4(__m128 v) {
  v = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(255.0f));
  return _mm_cvttps_epi32(v);
}
#endif

// One output row from the component rows (already expanded to the picture
// width).
void greyRow(const float* y, uint8_t* out, size_t width) {
  size_t x = 0;
#if defined(__SSE2__)
  const __m128 half = _mm_set1_ps(128.5f);
  for (; x + 16 <= width; x += 16) {
    __m128i a = clamp4(_mm_add_ps(_mm_loadu_ps(y + x), half));
    __m128i b = clamp4(_mm_add_ps(_mm_loadu_ps(y + x + 4), half));
    __m128i c = clamp4(_mm_add_ps(_mm_loadu_ps(y + x + 8), half));
    __m128i e = clamp4(_mm_add_ps(_mm_loadu_ps(y + x + 12), half));
    __m128i packed = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, e));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), packed);
  }
#endif
  for (; x < width; ++x) out[x] = clampSample(y[x] + 128.5f);
}

void rgbRow(const float* y, const float* cb, const float* cr, uint8_t* out, size_t width) {
  size_t x = 0;
#if defined(__SSE2__)
  const __m128 half = _mm_set1_ps(128.5f);
  const __m128 kR = _mm_set1_ps(1.402f);
  const __m128 kGb = _mm_set1_ps(0.344136f);
  const __m128 kGr = _mm_set1_ps(0.714136f);
  const __m128 kB = _mm_set1_ps(1.772f);
  alignas(16) uint8_t r[16], g[16], bl[16];
  for (; x + 16 <= width; x += 16) {
    __m128i rs[4], gs[4], bs[4];
    for (int i = 0; i < 4; ++i) {
      const __m128 Y = _mm_loadu_ps(y + x + 4 * i);
      const __m128 Cb = _mm_loadu_ps(cb + x + 4 * i);
      const __m128 Cr = _mm_loadu_ps(cr + x + 4 * i);
      rs[i] = clamp4(_mm_add_ps(_mm_add_ps(_mm_mul_ps(kR, Cr), Y), half));
      gs[i] = clamp4(
          _mm_add_ps(_mm_sub_ps(_mm_sub_ps(Y, _mm_mul_ps(kGb, Cb)), _mm_mul_ps(kGr, Cr)), half));
      bs[i] = clamp4(_mm_add_ps(_mm_add_ps(_mm_mul_ps(kB, Cb), Y), half));
    }
    _mm_store_si128(reinterpret_cast<__m128i*>(r),
                    _mm_packus_epi16(_mm_packs_epi32(rs[0], rs[1]), _mm_packs_epi32(rs[2], rs[3])));
    _mm_store_si128(reinterpret_cast<__m128i*>(g),
                    _mm_packus_epi16(_mm_packs_epi32(gs[0], gs[1]), _mm_packs_epi32(gs[2], gs[3])));
    _mm_store_si128(reinterpret_cast<__m128i*>(bl),
                    _mm_packus_epi16(_mm_packs_epi32(bs[0], bs[1]), _mm_packs_epi32(bs[2], bs[3])));
    uint8_t* o = out + 3 * x;
    for (int i = 0; i < 16; ++i) {
      o[3 * i] = r[i];
      o[3 * i + 1] = g[i];
      o[3 * i + 2] = bl[i];
    }
  }
#endif
  for (; x < width; ++x) {
    const float Y = y[x], Cb = cb[x], Cr = cr[x];
    out[3 * x] = clampSample(1.402f * Cr + Y + 128.5f);
    out[3 * x + 1] = clampSample(Y - 0.344136f * Cb - 0.714136f * Cr + 128.5f);
    out[3 * x + 2] = clampSample(1.772f * Cb + Y + 128.5f);
  }
}

// AVX2 forms of greyRow and rgbRow: the same float operations on eight
// lanes, and the bytes interleaved with shuffles.
// Values below 0 need no clamp of their own: truncation gives 0 for those
// above -1 and a negative number (at worst INT32_MIN) for the others, which
// the unsigned saturation of the final pack turns into 0.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i bytes16(__m256 a, __m256 b) {
  const __m256 top = _mm256_set1_ps(255.0f);
  const __m256i ia = _mm256_cvttps_epi32(_mm256_min_ps(a, top));
  const __m256i ib = _mm256_cvttps_epi32(_mm256_min_ps(b, top));
  const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(ia, ib), 0xD8);
  return _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

[[gnu::target("avx2")]] void greyRowAvx2(const float* y, uint8_t* out, size_t width) {
  size_t x = 0;
  const __m256 half = _mm256_set1_ps(128.5f);
  for (; x + 16 <= width; x += 16) {
    const __m256 a = _mm256_add_ps(_mm256_loadu_ps(y + x), half);
    const __m256 b = _mm256_add_ps(_mm256_loadu_ps(y + x + 8), half);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), bytes16(a, b));
  }
  for (; x < width; ++x) out[x] = clampSample(y[x] + 128.5f);
}

// Shuffle masks spreading 16 bytes of one channel over 48 interleaved
// bytes: mask[c][k] fills output bytes 16k..16k+15 with channel c.
struct InterleaveMasks {
  alignas(16) uint8_t mask[3][3][16];
};

constexpr InterleaveMasks makeInterleaveMasks() {
  InterleaveMasks m{};
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) {
      for (int i = 0; i < 16; ++i) {
        const int o = 16 * k + i;
        m.mask[c][k][i] = o % 3 == c ? static_cast<uint8_t>(o / 3) : 0x80;
      }
    }
  }
  return m;
}
constexpr InterleaveMasks kInterleave = makeInterleaveMasks();

// The inverse: mask[c][k] picks channel c's bytes out of input bytes
// 16k..16k+15 of 16 interleaved pixels.
constexpr InterleaveMasks makeGatherMasks() {
  InterleaveMasks m{};
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) {
      for (int i = 0; i < 16; ++i) {
        const int from = 3 * i + c - 16 * k;
        m.mask[c][k][i] = from >= 0 && from < 16 ? static_cast<uint8_t>(from) : 0x80;
      }
    }
  }
  return m;
}
constexpr InterleaveMasks kGather = makeGatherMasks();

// Chroma either at full width or, with HalfChroma, at half width (each
// sample covers two columns: column x reads sample x / 2).
template <bool HalfChroma>
[[gnu::target("avx2")]] inline void rgbRowAvx2Impl(const float* y, const float* cb,
                                                   const float* cr, uint8_t* out, size_t width) {
  size_t x = 0;
  const __m256 half = _mm256_set1_ps(128.5f);
  const __m256 kR = _mm256_set1_ps(1.402f);
  const __m256 kGb = _mm256_set1_ps(0.344136f);
  const __m256 kGr = _mm256_set1_ps(0.714136f);
  const __m256 kB = _mm256_set1_ps(1.772f);
  const __m256i pairs = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
  __m128i masks[3][3];
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) {
      masks[c][k] = _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.mask[c][k]));
    }
  }
  for (; x + 16 <= width; x += 16) {
    __m256 r[2], g[2], b[2];
    for (int i = 0; i < 2; ++i) {
      const __m256 Y = _mm256_loadu_ps(y + x + 8 * i);
      __m256 Cb, Cr;
      if constexpr (HalfChroma) {
        Cb = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(cb + x / 2 + 4 * i)), pairs);
        Cr = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(cr + x / 2 + 4 * i)), pairs);
      } else {
        Cb = _mm256_loadu_ps(cb + x + 8 * i);
        Cr = _mm256_loadu_ps(cr + x + 8 * i);
      }
      r[i] = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kR, Cr), Y), half);
      g[i] = _mm256_add_ps(
          _mm256_sub_ps(_mm256_sub_ps(Y, _mm256_mul_ps(kGb, Cb)), _mm256_mul_ps(kGr, Cr)), half);
      b[i] = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kB, Cb), Y), half);
    }
    const __m128i channels[3] = {bytes16(r[0], r[1]), bytes16(g[0], g[1]), bytes16(b[0], b[1])};
    for (int k = 0; k < 3; ++k) {
      const __m128i v = _mm_or_si128(
          _mm_or_si128(_mm_shuffle_epi8(channels[0], masks[0][k]),
                       _mm_shuffle_epi8(channels[1], masks[1][k])),
          _mm_shuffle_epi8(channels[2], masks[2][k]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 16 * k), v);
    }
  }
  for (; x < width; ++x) {
    const size_t cx = HalfChroma ? x / 2 : x;
    const float Y = y[x], Cb = cb[cx], Cr = cr[cx];
    out[3 * x] = clampSample(1.402f * Cr + Y + 128.5f);
    out[3 * x + 1] = clampSample(Y - 0.344136f * Cb - 0.714136f * Cr + 128.5f);
    out[3 * x + 2] = clampSample(1.772f * Cb + Y + 128.5f);
  }
}

[[gnu::target("avx2")]] void rgbRowAvx2(const float* y, const float* cb, const float* cr,
                                        uint8_t* out, size_t width) {
  rgbRowAvx2Impl<false>(y, cb, cr, out, width);
}
[[gnu::target("avx2")]] void rgbRowHalfAvx2(const float* y, const float* cb, const float* cr,
                                            uint8_t* out, size_t width) {
  rgbRowAvx2Impl<true>(y, cb, cr, out, width);
}

// The per-block and per-row kernels of one instruction set.
struct Kernels {
  void (*idct)(Block&, float*, size_t);
  void (*grey)(const float*, uint8_t*, size_t);
  void (*rgb)(const float*, const float*, const float*, uint8_t*, size_t);
  // rgb with both chroma rows at half width, or null.
  void (*rgbHalf)(const float*, const float*, const float*, uint8_t*, size_t);
};

Kernels kernelsFor(bool avx2) {
  if (avx2) return {idctBlockAvx2, greyRowAvx2, rgbRowAvx2, rgbRowHalfAvx2};
  return {idctBlockPlain, greyRow, rgbRow, nullptr};
}

// Geometry and float band of one component for one MCU row.
struct ComponentBand {
  int h = 1;
  int v = 1;
  size_t stride = 0;              // floats per band row
  std::vector<float> band;        // 8 * v rows
  std::vector<uint32_t> columns;  // picture column -> band column, when h < hmax
  std::vector<float> expanded;    // one band row replicated to the picture width
  size_t expandedRow = SIZE_MAX;  // the band row `expanded` holds
  bool halves = false;            // h * 2 == hmax: each sample covers two columns
};

class ScanDecoder {
 public:
  ScanDecoder(const Tables& t, const Frame& f, EntropyData&& entropy, Kernels kernels)
      : tables_(t),
        frame_(f),
        entropy_(std::move(entropy)),
        reader_(entropy_.bytes),
        kernels_(kernels) {}

  Image run();

 private:
  void restart();
  void decodeMcuRow(size_t mcuRow);
  void convertRows(size_t rows, uint8_t* out);
  const float* componentRow(size_t c, size_t rowInBand);
  const float* bandRow(size_t c, size_t rowInBand) const;

  const Tables& tables_;
  const Frame& frame_;
  EntropyData entropy_;
  BitReader reader_;
  Kernels kernels_;
  std::vector<ComponentBand> bands_;
  std::vector<std::array<float, 64>> quantF_;
  std::vector<int64_t> preds_;
  int hmax_ = 1;
  int vmax_ = 1;
  size_t mcusAcross_ = 0;
  size_t mcusDecoded_ = 0;
  size_t nextRestart_ = 0;
  Block block_{};
};

void ScanDecoder::restart() {
  if (nextRestart_ < entropy_.restarts.size()) {
    reader_.seek(entropy_.restarts[nextRestart_++]);
  } else {
    reader_.alignToByte();
  }
  std::fill(preds_.begin(), preds_.end(), 0);
}

void ScanDecoder::decodeMcuRow(size_t) {
  const size_t count = frame_.components.size();
  for (ComponentBand& band : bands_) band.expandedRow = SIZE_MAX;
  const int interval = tables_.restartInterval;
  for (size_t mx = 0; mx < mcusAcross_; ++mx) {
    if (interval > 0 && mcusDecoded_ > 0 && mcusDecoded_ % static_cast<size_t>(interval) == 0) {
      restart();
    }
    for (size_t c = 0; c < count; ++c) {
      const Component& comp = frame_.components[c];
      ComponentBand& band = bands_[c];
      const HuffTable& dc = tables_.dc[static_cast<size_t>(comp.td)];
      const HuffTable& ac = tables_.ac[static_cast<size_t>(comp.ta)];
      const uint16_t* quant = tables_.quant[static_cast<size_t>(comp.tq)].data();
      for (int v = 0; v < band.v; ++v) {
        for (int h = 0; h < band.h; ++h) {
          decodeBlock(reader_, dc, ac, quant, quantF_[c].data(), preds_[c], block_);
          float* out = band.band.data() + static_cast<size_t>(v) * 8 * band.stride +
                       (mx * static_cast<size_t>(band.h) + static_cast<size_t>(h)) * 8;
          kernels_.idct(block_, out, band.stride);
        }
      }
    }
    ++mcusDecoded_;
  }
}

// Row `rowInBand` of the MCU row (picture rows counted from the band's top)
// of component c, sampled at picture columns 0..width-1.
const float* ScanDecoder::bandRow(size_t c, size_t rowInBand) const {
  const ComponentBand& band = bands_[c];
  const size_t bandRow = rowInBand * static_cast<size_t>(band.v) / static_cast<size_t>(vmax_);
  return band.band.data() + bandRow * band.stride;
}

const float* ScanDecoder::componentRow(size_t c, size_t rowInBand) {
  ComponentBand& band = bands_[c];
  const size_t bandRow = rowInBand * static_cast<size_t>(band.v) / static_cast<size_t>(vmax_);
  const float* row = band.band.data() + bandRow * band.stride;
  if (band.columns.empty()) return row;
  if (band.expandedRow != bandRow) {
    const size_t width = band.columns.size();
    float* out = band.expanded.data();
    if (band.halves) {
      for (size_t x = 0; x + 1 < width; x += 2) out[x] = out[x + 1] = row[x / 2];
      if (width % 2 != 0) out[width - 1] = row[(width - 1) / 2];
    } else {
      for (size_t x = 0; x < width; ++x) out[x] = row[band.columns[x]];
    }
    band.expandedRow = bandRow;
  }
  return band.expanded.data();
}

// Converts the first `rows` rows of the MCU row into `out` (rows of
// width * channels bytes).
void ScanDecoder::convertRows(size_t rows, uint8_t* out) {
  const auto width = static_cast<size_t>(frame_.width);
  const size_t channels = frame_.components.size();
  // Full-width luma with chroma at half width (4:2:0, 4:2:2): the kernel
  // reads the chroma rows as they are and widens them itself.
  const bool halfChroma = channels == 3 && kernels_.rgbHalf != nullptr &&
                          bands_[0].columns.empty() && bands_[1].halves && bands_[2].halves;
  for (size_t r = 0; r < rows; ++r) {
    uint8_t* dst = out + r * width * channels;
    if (halfChroma) {
      kernels_.rgbHalf(bandRow(0, r), bandRow(1, r), bandRow(2, r), dst, width);
    } else if (channels == 1) {
      kernels_.grey(componentRow(0, r), dst, width);
    } else {
      const float* y = componentRow(0, r);
      const float* cb = componentRow(1, r);
      const float* cr = componentRow(2, r);
      kernels_.rgb(y, cb, cr, dst, width);
    }
  }
}

Image ScanDecoder::run() {
  const size_t count = frame_.components.size();
  const auto width = static_cast<size_t>(frame_.width);
  const auto height = static_cast<size_t>(frame_.height);
  // A one-component frame is a non-interleaved scan of single 8x8 blocks,
  // whatever its sampling factors say.
  if (count > 1) {
    for (const Component& c : frame_.components) {
      hmax_ = std::max(hmax_, c.h);
      vmax_ = std::max(vmax_, c.v);
    }
  }
  const size_t mcuWidth = 8 * static_cast<size_t>(hmax_);
  const size_t mcuHeight = 8 * static_cast<size_t>(vmax_);
  mcusAcross_ = (width + mcuWidth - 1) / mcuWidth;
  const size_t mcusDown = (height + mcuHeight - 1) / mcuHeight;

  size_t blocksPerMcu = 0;
  bands_.resize(count);
  quantF_.resize(count);
  preds_.assign(count, 0);
  for (size_t c = 0; c < count; ++c) {
    const Component& comp = frame_.components[c];
    ComponentBand& band = bands_[c];
    band.h = count > 1 ? comp.h : 1;
    band.v = count > 1 ? comp.v : 1;
    blocksPerMcu += static_cast<size_t>(band.h * band.v);
    band.stride = mcusAcross_ * static_cast<size_t>(band.h) * 8;
    band.band.assign(band.stride * 8 * static_cast<size_t>(band.v), 0.0f);
    if (band.h != hmax_) {
      band.halves = band.h * 2 == hmax_;
      band.columns.resize(width);
      band.expanded.resize(width);
      for (size_t x = 0; x < width; ++x) {
        band.columns[x] = static_cast<uint32_t>(x * static_cast<size_t>(band.h) /
                                                static_cast<size_t>(hmax_));
      }
    }
    const auto& q = tables_.quant[static_cast<size_t>(comp.tq)];
    for (size_t k = 0; k < 64; ++k) quantF_[c][k] = static_cast<float>(q[k]);
  }

  Image img;
  img.width = frame_.width;
  img.height = frame_.height;
  img.colorspace = count == 1 ? csGray : csRgb;
  img.channels = channelsOf(img.colorspace);
  const size_t rowBytes = width * count;
  // Every block costs at least two bits (a DC code and an AC code): when
  // the data holds that many, the whole picture is allocated at once and
  // rows are converted straight into it; otherwise rows are appended as
  // they are decoded, so the output grows with the rows actually decoded
  // instead of trusting the header's size.
  const uint64_t blocks = uint64_t{mcusAcross_} * mcusDown * blocksPerMcu;
  const bool whole = blocks * 2 <= uint64_t{entropy_.bytes.size()} * 8;
  std::vector<uint8_t> rows;
  if (whole) {
    img.pixels.reserve(rowBytes * height);
    base::adviseHugePages(img.pixels.data(), img.pixels.capacity());
    img.pixels.resize(rowBytes * height);
  } else {
    rows.resize(rowBytes * mcuHeight);
  }
  for (size_t my = 0; my < mcusDown; ++my) {
    decodeMcuRow(my);
    const size_t count = std::min(mcuHeight, height - my * mcuHeight);
    if (whole) {
      convertRows(count, img.pixels.data() + my * mcuHeight * rowBytes);
    } else {
      convertRows(count, rows.data());
      img.pixels.insert(img.pixels.end(), rows.begin(),
                        rows.begin() + static_cast<ptrdiff_t>(count * rowBytes));
    }
  }
  return img;
}

// ---------------------------------------------------------------- encoder

// Code and length of each symbol of an Annex K table.
struct HuffEncoder {
  uint16_t code[256] = {};
  uint8_t length[256] = {};
};

HuffEncoder buildHuffEnc(const uint8_t* bits, const uint8_t* symbols) {
  HuffEncoder e;
  uint16_t code = 0;
  size_t k = 0;
  for (int l = 1; l <= 16; ++l) {
    for (int i = 0; i < bits[l - 1]; ++i, ++k) {
      e.code[symbols[k]] = code++;
      e.length[symbols[k]] = static_cast<uint8_t>(l);
    }
    code = static_cast<uint16_t>(code << 1);
  }
  return e;
}

struct EncoderTables {
  HuffEncoder dc[2];
  HuffEncoder ac[2];
};

const EncoderTables& encoderTables() {
  static const EncoderTables tables = [] {
    EncoderTables t;
    t.dc[0] = buildHuffEnc(jpeg::Dc0Bits.data(), jpeg::Dc0Syms.data());
    t.dc[1] = buildHuffEnc(jpeg::Dc1Bits.data(), jpeg::Dc1Syms.data());
    t.ac[0] = buildHuffEnc(jpeg::Ac0Bits.data(), jpeg::Ac0Syms.data());
    t.ac[1] = buildHuffEnc(jpeg::Ac1Bits.data(), jpeg::Ac1Syms.data());
    return t;
  }();
  return tables;
}

// MSB-first bit packing with a 0x00 after every 0xFF byte. Bits gather in
// a 64-bit register and leave 32 at a time; a word without an 0xFF byte is
// stored whole. The output grows in steps: `reserve` before each block
// guarantees room for it, so the stores need no bounds test.
class BitWriter {
 public:
  explicit BitWriter(base::HeapBytes& out) : out_(out), pos_(out.size()) {}

  // Room for `n` more bytes (stuffing included).
  void reserve(size_t n) {
    if (room_ - pos_ < n) {
      room_ = std::max(room_ + room_ / 2, pos_ + n);
      out_.resize(room_);
    }
  }
  // n in 0..32 bits, `value` below 2^n.
  KD_INLINE void put(uint32_t value, int n) {
    acc_ = acc_ << n | value;
    bits_ += n;
    if (bits_ >= 32) flushWord();
  }
  // Pads the last byte with 1-bits and trims the output to what was written.
  void finish() {
    if (bits_ % 8 != 0) put((1u << (8 - bits_ % 8)) - 1, 8 - bits_ % 8);
    reserve(16);
    while (bits_ >= 8) {
      bits_ -= 8;
      putByte(static_cast<uint8_t>(acc_ >> bits_));
    }
    out_.resize(pos_);
  }

 private:
  KD_INLINE void flushWord() {
    bits_ -= 32;
    const auto word = static_cast<uint32_t>(acc_ >> bits_);
    // A byte is 0xFF exactly when its complement is zero.
    const uint32_t inv = ~word;
    const uint32_t be = __builtin_bswap32(word);
    std::memcpy(out_.data() + pos_, &be, 4);
    if (((inv - 0x01010101u) & ~inv & 0x80808080u) == 0) {
      pos_ += 4;
      return;
    }
    for (int shift = 24; shift >= 0; shift -= 8) putByte(static_cast<uint8_t>(word >> shift));
  }
  KD_INLINE void putByte(uint8_t byte) {
    out_.data()[pos_++] = byte;
    if (byte == 0xFF) out_.data()[pos_++] = 0x00;
  }

  base::HeapBytes& out_;
  size_t pos_;
  size_t room_ = out_.size();
  uint64_t acc_ = 0;
  int bits_ = 0;
};

void emitDht(base::HeapBytes& out, uint8_t tcTh, const uint8_t* bits, const uint8_t* symbols,
             size_t n) {
  out.push_back(tcTh);
  out.append(bits, 16);
  out.append(symbols, n);
}

void putU16(base::HeapBytes& out, unsigned v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}

void writeHeaders(base::HeapBytes& out, const Image& img, const std::array<uint8_t, 64>& qlum,
                  const std::array<uint8_t, 64>& qchr) {
  const bool colour = img.colorspace == csRgb;
  const int count = colour ? 3 : 1;
  // SOI, APP0 (JFIF 1.01, no units, density 1x1, no thumbnail)
  const uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00,
                          0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  out.append(head, sizeof head);
  // DQT
  out.push_back(0xFF);
  out.push_back(0xDB);
  putU16(out, colour ? 132 : 67);
  out.push_back(0x00);
  for (size_t k = 0; k < 64; ++k) out.push_back(qlum[ZigZag[k]]);
  if (colour) {
    out.push_back(0x01);
    for (size_t k = 0; k < 64; ++k) out.push_back(qchr[ZigZag[k]]);
  }
  // SOF0
  out.push_back(0xFF);
  out.push_back(0xC0);
  putU16(out, static_cast<unsigned>(8 + 3 * count));
  out.push_back(8);
  putU16(out, static_cast<unsigned>(img.height));
  putU16(out, static_cast<unsigned>(img.width));
  out.push_back(static_cast<uint8_t>(count));
  for (int c = 0; c < count; ++c) {
    out.push_back(static_cast<uint8_t>(c + 1));
    out.push_back(0x11);
    out.push_back(c == 0 ? 0 : 1);
  }
  // DHT
  out.push_back(0xFF);
  out.push_back(0xC4);
  putU16(out, colour ? 418 : 210);
  emitDht(out, 0x00, jpeg::Dc0Bits.data(), jpeg::Dc0Syms.data(), jpeg::Dc0Syms.size());
  if (colour) {
    emitDht(out, 0x01, jpeg::Dc1Bits.data(), jpeg::Dc1Syms.data(), jpeg::Dc1Syms.size());
  }
  emitDht(out, 0x10, jpeg::Ac0Bits.data(), jpeg::Ac0Syms.data(), jpeg::Ac0Syms.size());
  if (colour) {
    emitDht(out, 0x11, jpeg::Ac1Bits.data(), jpeg::Ac1Syms.data(), jpeg::Ac1Syms.size());
  }
  // SOS
  out.push_back(0xFF);
  out.push_back(0xDA);
  putU16(out, static_cast<unsigned>(6 + 2 * count));
  out.push_back(static_cast<uint8_t>(count));
  for (int c = 0; c < count; ++c) {
    out.push_back(static_cast<uint8_t>(c + 1));
    out.push_back(c == 0 ? 0x00 : 0x11);
  }
  out.push_back(0);
  out.push_back(63);
  out.push_back(0);
}

using Vec8i = int32_t __attribute__((vector_size(32), aligned(32)));

// F(u, v) = ((0.25 Cu[u]) Cu[v]) * sum_y t[y][u] CosT[y][v] with
// t[y][u] = sum_x f(x, y) CosT[x][u]: rows first, sums from +0 in
// increasing x or y, eight u lanes at once; then each coefficient divided
// by its quantiser and rounded half away from zero (trunc(a + 0.5) for
// a >= 0, trunc(a - 0.5) otherwise: a plus 0.5 carrying a's sign, then
// truncated; for a = -0 both give 0). `f` is 8 rows of 8 samples, `stride`
// floats apart; `quant` and `out` are in natural order. Returns the mask of
// non-zero outputs (bit z for out[z]). The kernels below share these steps:
// The scaled coefficients ((0.25 Cu[u]) Cu[v]) * sum, row v in scaled[v].
KD_INLINE void fdctImpl(const float* f, size_t stride, Vec8* scaled) {
  const jpeg::CosineTables& t = jpeg::cosineTables();
  const DctVectors& d = dctVectors();
  // The eight rows' sums (and below the eight columns') advance together,
  // term by term, so that they overlap instead of waiting on each other.
  // Each sum's first term is taken as it is rather than added to +0, which
  // can only change the sign of a zero, and a zero rounds to the integer 0
  // whatever its sign. CosT[y][0] is exactly 1, so the first column's terms
  // are the row sums themselves.
  Vec8 rows[8];
  {
    const Vec8 basis = load8(t.CosT[0]);
    for (int y = 0; y < 8; ++y) rows[y] = f[static_cast<size_t>(y) * stride] * basis;
  }
  for (int x = 1; x < 8; ++x) {
    const Vec8 basis = load8(t.CosT[x]);
    for (int y = 0; y < 8; ++y) rows[y] += f[static_cast<size_t>(y) * stride + static_cast<size_t>(x)] * basis;
  }
  Vec8 cols[8];
  cols[0] = rows[0];
  for (int v = 1; v < 8; ++v) cols[v] = rows[0] * t.CosT[0][v];
  for (int y = 1; y < 8; ++y) {
    cols[0] += rows[y];
    for (int v = 1; v < 8; ++v) cols[v] += rows[y] * t.CosT[y][v];
  }
  for (int v = 0; v < 8; ++v) scaled[v] = d.fdctScale[v] * cols[v];
}

// Rounds the quotients of row v half away from zero into out[8v..8v+7] and
// returns their non-zero mask (bit u for out[8v + u]).
KD_INLINE unsigned roundRow(const Vec8& a, int32_t* out) {
  const Vec8i sign = {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN,
                      INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
  const Vec8i half = {0x3F000000, 0x3F000000, 0x3F000000, 0x3F000000,
                      0x3F000000, 0x3F000000, 0x3F000000, 0x3F000000};
  const Vec8 signedHalf = (Vec8)(((Vec8i)a & sign) | half);
  const Vec8i q = __builtin_convertvector(a + signedHalf, Vec8i);
  std::memcpy(out, &q, sizeof q);
  // Lanes of (q != 0) are all ones or zero; their sign bits make the mask.
  const Vec8i nz = q != Vec8i{};
  __m128i halves[2];
  std::memcpy(halves, &nz, sizeof halves);
  return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(halves[0])) |
                               _mm_movemask_ps(_mm_castsi128_ps(halves[1])) << 4);
}

KD_INLINE uint64_t fdctQuantiseImpl(const float* f, size_t stride, const float* quant,
                                    int32_t* out) {
  Vec8 scaled[8];
  fdctImpl(f, stride, scaled);
  uint64_t nonZero = 0;
  for (int v = 0; v < 8; ++v) {
    nonZero |= uint64_t{roundRow(scaled[v] / load8(quant + v * 8), out + v * 8)} << (8 * v);
  }
  return nonZero;
}

uint64_t fdctQuantisePlain(const float* f, size_t stride, const float* quant, int32_t* out) {
  return fdctQuantiseImpl(f, stride, quant, out);
}
[[gnu::target("avx2")]] uint64_t fdctQuantiseAvx2(const float* f, size_t stride,
                                                  const float* quant, int32_t* out) {
  return fdctQuantiseImpl(f, stride, quant, out);
}

// Y, Cb and Cr of eight pixels (vectors passed by reference, so the AVX2
// caller below shares this code without a vector crossing a call).
KD_INLINE void colourMath(const Vec8& R, const Vec8& G, const Vec8& B, float* p0, float* p1,
                          float* p2) {
  store8(p0, splat(0.299f) * R + splat(0.587f) * G + splat(0.114f) * B - splat(128.0f));
  store8(p1, splat(-0.168736f) * R - splat(0.331264f) * G + splat(0.5f) * B);
  store8(p2, splat(0.5f) * R - splat(0.418688f) * G - splat(0.081312f) * B);
}

// Centred component samples of one row of n pixels: grey - 128, or
// Y = 0.299 R + 0.587 G + 0.114 B - 128, Cb = -0.168736 R - 0.331264 G +
// 0.5 B, Cr = 0.5 R - 0.418688 G - 0.081312 B, left to right in float.
KD_INLINE void colourRowImpl(const uint8_t* src, size_t n, bool colour, float* p0, float* p1,
                             float* p2) {
  if (!colour) {
    for (size_t x = 0; x < n; ++x) p0[x] = static_cast<float>(src[x]) - 128.0f;
    return;
  }
  size_t x = 0;
  for (; x + 8 <= n; x += 8) {
    const uint8_t* s = src + 3 * x;
    const Vec8 R = {float(s[0]), float(s[3]), float(s[6]), float(s[9]),
                    float(s[12]), float(s[15]), float(s[18]), float(s[21])};
    const Vec8 G = {float(s[1]), float(s[4]), float(s[7]), float(s[10]),
                    float(s[13]), float(s[16]), float(s[19]), float(s[22])};
    const Vec8 B = {float(s[2]), float(s[5]), float(s[8]), float(s[11]),
                    float(s[14]), float(s[17]), float(s[20]), float(s[23])};
    colourMath(R, G, B, p0 + x, p1 + x, p2 + x);
  }
  for (; x < n; ++x) {
    const float R = src[3 * x], G = src[3 * x + 1], B = src[3 * x + 2];
    p0[x] = 0.299f * R + 0.587f * G + 0.114f * B - 128.0f;
    p1[x] = -0.168736f * R - 0.331264f * G + 0.5f * B;
    p2[x] = 0.5f * R - 0.418688f * G - 0.081312f * B;
  }
}

void colourRowPlain(const uint8_t* src, size_t n, bool colour, float* p0, float* p1, float* p2) {
  colourRowImpl(src, n, colour, p0, p1, p2);
}
// The AVX2 form gathers each channel of 16 pixels with byte shuffles (the
// inverse of the decoder's interleave masks) before the same float
// arithmetic.
[[gnu::target("avx2")]] void colourRowAvx2(const uint8_t* src, size_t n, bool colour, float* p0,
                                           float* p1, float* p2) {
  if (!colour) {
    colourRowImpl(src, n, colour, p0, p1, p2);
    return;
  }
  size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const uint8_t* s = src + 3 * x;
    const __m128i in[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32))};
    Vec8 ch[3][2];
    for (int c = 0; c < 3; ++c) {
      __m128i bytes = _mm_setzero_si128();
      for (int k = 0; k < 3; ++k) {
        bytes = _mm_or_si128(bytes, _mm_shuffle_epi8(in[k], _mm_load_si128(reinterpret_cast<const __m128i*>(kGather.mask[c][k]))));
      }
      const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
      const __m256 hi = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(bytes, 8)));
      std::memcpy(&ch[c][0], &lo, sizeof lo);
      std::memcpy(&ch[c][1], &hi, sizeof hi);
    }
    for (int h = 0; h < 2; ++h) {
      colourMath(ch[0][h], ch[1][h], ch[2][h], p0 + x + 8 * h, p1 + x + 8 * h, p2 + x + 8 * h);
    }
  }
  colourRowImpl(src + 3 * x, n - x, colour, p0 + x, p1 + x, p2 + x);
}

struct EncodeKernels {
  uint64_t (*fdctQuantise)(const float*, size_t, const float*, int32_t*);
  void (*colourRow)(const uint8_t*, size_t, bool, float*, float*, float*);
};

inline int bitLength(uint32_t v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }

// Bits in zigzag order for each row of a natural-order mask:
// kZigZagBits[v][m] has bit ZigZag-position-of(8v + u) set for each bit u
// of m.
struct ZigZagBits {
  uint64_t bits[8][256];
};
const ZigZagBits& zigZagBits() {
  static const ZigZagBits table = [] {
    ZigZagBits t{};
    std::array<uint8_t, 64> inv{};
    for (size_t k = 0; k < 64; ++k) inv[ZigZag[k]] = static_cast<uint8_t>(k);
    for (size_t v = 0; v < 8; ++v) {
      for (unsigned m = 0; m < 256; ++m) {
        for (size_t u = 0; u < 8; ++u) {
          if (m >> u & 1) t.bits[v][m] |= uint64_t{1} << inv[8 * v + u];
        }
      }
    }
    return t;
  }();
  return table;
}

// Magnitude category of v and its value bits (negative values as v - 1 in
// the low bits), ready to follow a code. Branch-free: the sign of a
// coefficient is as good as random.
KD_INLINE int valueBits(int v, uint32_t& bits) {
  const int32_t sign = v >> 31;  // 0 or -1
  const auto magnitude = static_cast<uint32_t>((v ^ sign) - sign);
  const int size = 31 - __builtin_clz(magnitude * 2 + 1);  // 0 for 0
  bits = static_cast<uint32_t>(v + sign) & ((1u << size) - 1);
  return size;
}

// Codes one block of quantised coefficients (natural order, `nonZero`
// marking the non-zero ones) in zigzag order; `pred` is the previous DC
// value of the component. The runs between non-zero coefficients come from
// the mask and give the same symbols as counting zeros one by one; each
// code goes out together with its value bits.
void encBlock(BitWriter& w, const int32_t* natural, uint64_t nonZero, int& pred,
              const HuffEncoder& dc, const HuffEncoder& ac) {
  w.reserve(512);  // 64 codes of at most 16 + 11 bits, doubled for stuffing
  const ZigZagBits& table = zigZagBits();
  uint64_t zz = 0;
  for (size_t v = 0; v < 8; ++v) zz |= table.bits[v][nonZero >> (8 * v) & 0xFF];
  zz &= ~uint64_t{1};
  const int diff = natural[0] - pred;
  pred = natural[0];
  {
    uint32_t bits;
    const int size = valueBits(diff, bits);
    w.put(uint32_t{dc.code[size]} << size | bits, dc.length[size] + size);
  }
  int last = 0;
  for (; zz != 0; zz &= zz - 1) {
    const int k = __builtin_ctzll(zz);
    int run = k - last - 1;
    while (run >= 16) {
      w.put(ac.code[0xF0], ac.length[0xF0]);
      run -= 16;
    }
    uint32_t bits;
    const int size = valueBits(natural[ZigZag[static_cast<size_t>(k)]], bits);
    const int symbol = (run << 4 | size) & 0xFF;
    w.put(uint32_t{ac.code[symbol]} << size | bits, ac.length[symbol] + size);
    last = k;
  }
  if (last != 63) w.put(ac.code[0x00], ac.length[0x00]);
}

// Converts 8 picture rows starting at y0 into centred component samples,
// padded to whole blocks by repeating the last column and row. planes[c]
// holds 8 rows of `paddedWidth` floats.
void loadBand(const Image& img, size_t y0, size_t paddedWidth, const EncodeKernels& k,
              std::vector<float>* planes) {
  const auto width = static_cast<size_t>(img.width);
  const auto height = static_cast<size_t>(img.height);
  const bool colour = img.colorspace == csRgb;
  const size_t count = colour ? 3 : 1;
  for (size_t r = 0; r < 8; ++r) {
    float* p[3] = {};
    for (size_t c = 0; c < count; ++c) p[c] = planes[c].data() + r * paddedWidth;
    if (y0 + r < height) {
      const uint8_t* src = img.pixels.data() + (y0 + r) * width * count;
      k.colourRow(src, width, colour, p[0], p[1], p[2]);
      for (size_t c = 0; c < count; ++c) std::fill(p[c] + width, p[c] + paddedWidth, p[c][width - 1]);
    } else {
      for (size_t c = 0; c < count; ++c) std::copy_n(p[c] - paddedWidth, paddedWidth, p[c]);
    }
  }
}

}  // namespace

namespace jpeg {

bool cpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

Image decodeJpegWith(ByteView data, bool useAvx2) {
  Tables tables;
  Frame frame;
  const size_t scanStart = readHeaders(data, tables, frame);
  requirePixelCount(frame.width, frame.height, "jpeg: too many pixels");
  ScanDecoder decoder(tables, frame, extractEntropy(data, scanStart), kernelsFor(useAvx2));
  return decoder.run();
}

}  // namespace jpeg

Image decodeJpeg(ByteView data) { return jpeg::decodeJpegWith(data, jpeg::cpuHasAvx2()); }

namespace jpeg {

void encodeJpegInto(const Image& img, int quality, bool useAvx2, base::HeapBytes& out) {
  out.resize(0);
  if (img.colorspace != csGray && img.colorspace != csRgb) {
    fail(ekUnsupported, "jpeg: encode needs csGray or csRgb");
  }
  if (img.width < 1 || img.width > 65535 || img.height < 1 || img.height > 65535) {
    fail(ekInvalid, "jpeg: bad dimensions");
  }
  const std::array<uint8_t, 64> qlum = jpeg::scaleQt(jpeg::QlumNat, quality);
  const std::array<uint8_t, 64> qchr = jpeg::scaleQt(jpeg::QchrNat, quality);
  const EncoderTables& huff = encoderTables();
  alignas(32) float quant[2][64];  // natural order
  for (size_t i = 0; i < 64; ++i) {
    quant[0][i] = qlum[i];
    quant[1][i] = qchr[i];
  }
  const EncodeKernels kernels = useAvx2 ? EncodeKernels{fdctQuantiseAvx2, colourRowAvx2}
                                        : EncodeKernels{fdctQuantisePlain, colourRowPlain};

  const size_t count = img.colorspace == csRgb ? 3 : 1;
  // A first guess at the size (half a bit a sample, typical of photos at
  // high quality); the writer grows the block when the picture needs more.
  out.reserve(4096 + static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * count / 16);
  writeHeaders(out, img, qlum, qchr);

  const auto height = static_cast<size_t>(img.height);
  const size_t blocksAcross = (static_cast<size_t>(img.width) + 7) / 8;
  const size_t paddedWidth = blocksAcross * 8;
  std::vector<float> planes[3];
  for (size_t c = 0; c < count; ++c) planes[c].resize(paddedWidth * 8);
  int preds[3] = {0, 0, 0};
  BitWriter w(out);
  alignas(32) int32_t q[64];
  for (size_t y0 = 0; y0 < height; y0 += 8) {
    loadBand(img, y0, paddedWidth, kernels, planes);
    for (size_t bx = 0; bx < blocksAcross; ++bx) {
      for (size_t c = 0; c < count; ++c) {
        const size_t t = c == 0 ? 0 : 1;
        const uint64_t nonZero =
            kernels.fdctQuantise(planes[c].data() + bx * 8, paddedWidth, quant[t], q);
        encBlock(w, q, nonZero, preds[c], huff.dc[t], huff.ac[t]);
      }
    }
  }
  w.finish();
  out.push_back(0xFF);
  out.push_back(0xD9);
}

Bytes encodeJpegWith(const Image& img, int quality, bool useAvx2) {
  base::HeapBytes out;
  encodeJpegInto(img, quality, useAvx2, out);
  return out.toBytes();
}

}  // namespace jpeg

void encodeJpegTo(const Image& img, int quality, base::HeapBytes& out) {
  jpeg::encodeJpegInto(img, quality, jpeg::cpuHasAvx2(), out);
}

Bytes encodeJpeg(const Image& img, int quality) {
  return jpeg::encodeJpegWith(img, quality, jpeg::cpuHasAvx2());
}

}  // namespace kd::formats
