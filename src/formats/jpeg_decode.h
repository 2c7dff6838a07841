// The pieces of the baseline JPEG decoder that another decoding process
// (progressive) builds on: the frame, component and table records, the
// marker segment readers, the Huffman tables and the entropy bit reader.
// The IDCT and the colour conversion are the kernels of jpeg_kernels.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/cpu.h"
#include "formats/jpeg.h"
#include "formats/jpeg_kernels.h"

#if KD_SSE2
#include <emmintrin.h>
#endif

namespace kd::formats::jpeg {

using base::ByteView;
using base::Bytes;

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

// Fills `t` from a DHT table's 16 code-length counts and its symbols.
void buildHuffTable(HuffTable& t, const uint8_t counts[16], ByteView symbols);

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
  uint8_t process = 0xC0;   // the SOF marker: 0xC0, or with the wide flag 0xC1 or 0xC2
  int adobeTransform = -1;  // APP14 "Adobe" transform flag (wide decoding only); -1 when absent
};

struct Tables {
  std::array<std::array<uint16_t, 64>, 4> quant{};  // zigzag order, as read
  std::array<HuffTable, 4> dc;
  std::array<HuffTable, 4> ac;
  int restartInterval = 0;
};

// Readers of one marker segment's contents (the 2-byte length already
// taken); failures throw with the decoder's messages.
void readDqt(base::ByteReader& seg, Tables& t);
void readDht(base::ByteReader& seg, Tables& t);
// `length` is the segment length field. `wide` also takes four components.
void readSof0(base::ByteReader& seg, size_t length, Frame& f, bool wide = false);

// Reads the segments from `pos` (just after SOI, or where a scan's entropy
// data ended) up to the next SOS, with the decoder's messages, and returns
// the position of the SOS length field. `wide` takes the frames of the
// wide decode (SOF1, SOF2, four components) and APP14. With `afterScan`,
// EOI returns SIZE_MAX and the end of the data is a truncation.
size_t readSegmentsToScan(ByteView d, size_t pos, Tables& t, Frame& f, bool wide, bool afterScan);

// The first scan's entropy-coded bytes with stuffing removed, and the
// positions in them where restart markers stood.
struct EntropyData {
  Bytes bytes;
  std::vector<size_t> restarts;
};

// The entropy-coded bytes starting at `pos` (just after an SOS segment) up
// to the next marker other than RSTn, with stuffing removed and the RSTn
// positions noted; 0xFF fill bytes before a marker are dropped. Without
// `markerPos` only EOI (or the end of the data) may end them, and any other
// marker is ekInvalid "jpeg: bad marker in entropy"; with it any marker
// does, and its position (SIZE_MAX at the end of the data) is stored.
EntropyData extractEntropy(ByteView d, size_t pos, size_t* markerPos = nullptr);

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
      const uint64_t v = __builtin_bswap64(base::loadLe64(data_ + next_));  // big-endian
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

// Fails with ekTooLarge when the frame has more pixels than a host's
// `maxPixels` (0: no limit).
void requireHostLimit(const Frame& f, uint64_t maxPixels);

// The failure of a block: the truncation error when the reader has run
// past the end of the data, else ekInvalid with `message`. Takes the
// overrun flag rather than the reader, so that the reader's state never
// has to leave registers.
[[noreturn, gnu::noinline, gnu::cold]] void failDecode(bool overrun, const char* message);

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

// Quantised coefficients of one component over the whole picture, as a
// progressive decode gathers them: 64 per block in zigzag order, blocks in
// rows of `blocksAcross` (the frame's MCUs times the component's sampling
// factors), with the quantisation table in force at its first scan.
struct CoefficientPlane {
  size_t blocksAcross = 0;
  size_t blocksDown = 0;
  std::vector<int16_t> coef;
  std::array<uint16_t, 64> quant{};
};

// The non-zero entries of one block of 64 coefficients: bit k for blk[k].
// SSE2 compares where compiled in; the same mask either way.
KD_INLINE uint64_t nonZeroMask(const int16_t* blk) {
  uint64_t mask = 0;
#if KD_SSE2
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 4; ++i) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + 16 * i));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + 16 * i + 8));
    const __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(lo, zero), _mm_cmpeq_epi16(hi, zero));
    mask |= uint64_t{static_cast<uint16_t>(~_mm_movemask_epi8(zeros))} << (16 * i);
  }
#else
  for (int k = 0; k < 64; ++k) mask |= uint64_t{blk[k] != 0} << k;
#endif
  return mask;
}

// The picture from gathered coefficients, through the baseline decoder's
// IDCT, upsampling and colour conversion.
Image renderCoefficients(const Tables& t, const Frame& f, const std::vector<CoefficientPlane>& planes,
                         DecodeKernels kernels);

}  // namespace kd::formats::jpeg
