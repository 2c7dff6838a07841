// DEFLATE decoder (RFC 1951) with an output cap.
//
// Huffman codes are decoded through an 11-bit (literal/length) or 10-bit
// (distance) lookup table. Codes longer than the table, bit patterns that no
// code matches, and whole codes whose lengths are over-subscribed go through
// `walk`, the canonical length-by-length walk, so every stream gives exactly
// the symbols, bytes and failures of a decoder that reads one bit at a time.
#include <algorithm>
#include <bit>
#include <cstring>

#include "compress/deflate.h"

namespace kd::compress {

using base::fail;
using enum base::ErrorKind;

namespace {

constexpr unsigned kMaxCodeLength = 15;
constexpr size_t kMaxMatch = 258;
// The output buffer always keeps this much room past the write position
// (within the cap), so a match is copied 8 bytes at a time without checks.
constexpr size_t kRoom = kMaxMatch + 16;
// No DEFLATE stream produces more than 1032 bytes per input byte (a 258-byte
// match in two bits).
constexpr size_t kMaxExpansion = 1032;

[[noreturn]] void failTruncated() { fail(ekTruncated, "deflate: stream truncated"); }
[[noreturn]] void failCap() { fail(ekInvalid, "deflate: output exceeds the size cap"); }

// LSB-first bit reader over untrusted bytes. The low `count_` bits of `buf_`
// are the unread bits; any bits above them are the following input bytes at
// their proper places (or zero), so refills may OR the same bytes in again.
class BitReader {
 public:
  BitReader(ByteView data, size_t start)
      : data_(data.data()), pos_(std::min(start, data.size())), end_(data.size()) {}

  // Brings the buffer to at least 57 bits, or to every bit the input has left.
  void refill() {
    if (end_ - pos_ >= 8) {
      uint64_t word;
      std::memcpy(&word, data_ + pos_, 8);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      buf_ |= word << count_;
      pos_ += (63 - count_) >> 3;
      count_ |= 56;
    } else {
      while (count_ <= 56 && pos_ < end_) {
        buf_ |= uint64_t{data_[pos_++]} << count_;
        count_ += 8;
      }
    }
  }

  uint64_t peek() const { return buf_; }
  unsigned count() const { return count_; }
  void consume(unsigned n) {
    buf_ >>= n;
    count_ -= n;
  }

  // n (at most 32) bits, least significant first.
  uint32_t bits(unsigned n) {
    if (n > count_) {
      refill();
      if (n > count_) failTruncated();
    }
    uint32_t v = static_cast<uint32_t>(buf_ & ((uint64_t{1} << n) - 1));
    consume(n);
    return v;
  }

  // Drops the bits left in the current byte and hands whole buffered bytes
  // back to the input.
  void alignToByte() {
    pos_ -= count_ / 8;
    buf_ = 0;
    count_ = 0;
  }

  // Only valid right after alignToByte.
  const uint8_t* bytes() const { return data_ + pos_; }
  size_t bytesLeft() const { return end_ - pos_; }
  void skipBytes(size_t n) { pos_ += n; }

  // Index after the last byte any consumed bit came from.
  size_t consumed() const { return pos_ - count_ / 8; }

 private:
  const uint8_t* data_;
  size_t pos_;
  size_t end_;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
};

// A canonical Huffman code: per-length counts, symbols ordered by (length,
// symbol), and a lookup table over the next TableBits input bits. A table
// entry is symbol << 16 | code length; 0 sends the decoder to `walk`.
template <unsigned TableBits>
class HuffmanCode {
 public:
  // lengths[s] is the code length of symbol s (0: absent, at most 15). No
  // completeness check: an incomplete code fails only when an unused
  // pattern is met.
  void build(const uint8_t* lengths, size_t symbolCount) {
    std::fill(std::begin(count_), std::end(count_), uint16_t{0});
    for (size_t s = 0; s < symbolCount; ++s) ++count_[lengths[s]];
    count_[0] = 0;
    uint16_t offset[kMaxCodeLength + 2] = {};
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      offset[len + 1] = static_cast<uint16_t>(offset[len] + count_[len]);
    }
    for (size_t s = 0; s < symbolCount; ++s) {
      if (lengths[s] != 0) symbols_[offset[lengths[s]]++] = static_cast<uint16_t>(s);
    }

    std::fill(std::begin(table_), std::end(table_), uint32_t{0});
    // An over-subscribed code has no prefix-free reading; only the walk
    // decides what it decodes to, so the table stays empty.
    int64_t left = 1;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      left = left * 2 - count_[len];
      if (left < 0) return;
    }
    uint32_t code = 0;
    size_t index = 0;
    for (unsigned len = 1; len <= TableBits; ++len) {
      for (unsigned k = 0; k < count_[len]; ++k, ++code, ++index) {
        uint32_t reversed = reverseBits(code, len);
        uint32_t entry = uint32_t{symbols_[index]} << 16 | len;
        for (uint32_t i = reversed; i < (1u << TableBits); i += 1u << len) table_[i] = entry;
      }
      code <<= 1;
    }
  }

  // The reader must hold at least 15 bits or all that is left of the input.
  unsigned decode(BitReader& in) const {
    uint32_t entry = table_[in.peek() & ((1u << TableBits) - 1)];
    unsigned len = entry & 0xFF;
    if (len == 0) return walk(in);
    if (len > in.count()) failTruncated();
    in.consume(len);
    return entry >> 16;
  }

  // Reads the code one bit at a time, length by length, as RFC 1951's
  // canonical assignment defines it.
  unsigned walk(BitReader& in) const {
    int code = 0;
    int first = 0;
    int index = 0;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      if (len > in.count()) failTruncated();
      code |= static_cast<int>((in.peek() >> (len - 1)) & 1);
      int n = count_[len];
      if (code - n < first) {
        in.consume(len);
        return symbols_[index + (code - first)];
      }
      index += n;
      first = (first + n) << 1;
      code <<= 1;
    }
    fail(ekInvalid, "deflate: invalid Huffman code");
  }

 private:
  static uint32_t reverseBits(uint32_t code, unsigned len) {
    uint32_t r = 0;
    for (unsigned i = 0; i < len; ++i) r |= ((code >> i) & 1) << (len - 1 - i);
    return r;
  }

  uint16_t count_[kMaxCodeLength + 1];
  uint16_t symbols_[320];
  uint32_t table_[1u << TableBits];
};

using LiteralCode = HuffmanCode<11>;
using DistanceCode = HuffmanCode<10>;
using LengthsCode = HuffmanCode<7>;

struct FixedCodes {
  LiteralCode literal;
  DistanceCode distance;
  FixedCodes() {
    uint8_t lengths[288];
    std::fill(lengths, lengths + 144, uint8_t{8});
    std::fill(lengths + 144, lengths + 256, uint8_t{9});
    std::fill(lengths + 256, lengths + 280, uint8_t{7});
    std::fill(lengths + 280, lengths + 288, uint8_t{8});
    literal.build(lengths, 288);
    std::fill(lengths, lengths + 30, uint8_t{5});
    distance.build(lengths, 30);
  }
};

const FixedCodes& fixedCodes() {
  static const FixedCodes codes;
  return codes;
}

class Inflater {
 public:
  Inflater(ByteView data, size_t start, size_t cap, bool capIsExpectedSize)
      : in_(data, start), cap_(cap) {
    allocLimit_ = cap > SIZE_MAX - kRoom ? SIZE_MAX : cap + kRoom;
    // The first buffer is sized from the input, never beyond what the input
    // could expand to: a small stream with a large cap grows the buffer only
    // as it produces output.
    const size_t inputLeft = data.size() - std::min(start, data.size());
    const size_t most = inputLeft > SIZE_MAX / kMaxExpansion - 1 ? SIZE_MAX
                                                                  : (inputLeft + 1) * kMaxExpansion;
    const size_t guess = capIsExpectedSize ? most : std::min(most, inputLeft * 4 + 65536);
    out_.resize(std::min(guess, allocLimit_));
  }

  InflateResult run() {
    bool last = false;
    while (!last) {
      last = in_.bits(1) != 0;
      switch (in_.bits(2)) {
        case 0: storedBlock(); break;
        case 1: codedBlock(fixedCodes().literal, fixedCodes().distance); break;
        case 2: dynamicBlock(); break;
        default: fail(ekInvalid, "deflate: reserved BTYPE 3");
      }
    }
    out_.resize(len_);
    return {std::move(out_), in_.consumed()};
  }

 private:
  void reserve(size_t need) {
    if (out_.size() >= need) return;
    size_t doubled = out_.size() > SIZE_MAX / 2 ? SIZE_MAX : out_.size() * 2;
    out_.resize(std::min(std::max(need, doubled), allocLimit_));
  }

  void storedBlock() {
    in_.alignToByte();
    if (in_.bytesLeft() < 4) fail(ekTruncated, "deflate: stored header truncated");
    const uint8_t* h = in_.bytes();
    const unsigned len = base::loadLe16(h);
    const unsigned nlen = base::loadLe16(h + 2);
    if (nlen != (len ^ 0xFFFF)) fail(ekInvalid, "deflate: stored LEN/NLEN mismatch");
    in_.skipBytes(4);
    if (in_.bytesLeft() < len) fail(ekTruncated, "deflate: stored block truncated");
    if (len > cap_ - len_) failCap();
    reserve(len_ + len + kRoom);
    if (len > 0) std::memcpy(out_.data() + len_, in_.bytes(), len);
    len_ += len;
    in_.skipBytes(len);
  }

  void dynamicBlock() {
    unsigned hlit = in_.bits(5) + 257;
    unsigned hdist = in_.bits(5) + 1;
    unsigned hclen = in_.bits(4) + 4;
    uint8_t codeLengths[19] = {};
    for (unsigned i = 0; i < hclen; ++i) {
      codeLengths[CodeLenOrder[i]] = static_cast<uint8_t>(in_.bits(3));
    }
    lengths_.build(codeLengths, 19);

    // Literal/length and distance lengths form one sequence: repeats may run
    // from one part into the other.
    const unsigned total = hlit + hdist;
    uint8_t lengths[320];
    unsigned n = 0;
    while (n < total) {
      in_.refill();
      unsigned sym = lengths_.decode(in_);
      if (sym < 16) {
        lengths[n++] = static_cast<uint8_t>(sym);
        continue;
      }
      uint8_t value = 0;
      unsigned repeat;
      if (sym == 16) {
        if (n == 0) fail(ekInvalid, "deflate: code 16 at start");
        value = lengths[n - 1];
        repeat = 3 + in_.bits(2);
        if (repeat > total - n) fail(ekInvalid, "deflate: code 16 overruns");
      } else if (sym == 17) {
        repeat = 3 + in_.bits(3);
        if (repeat > total - n) fail(ekInvalid, "deflate: code 17 overruns");
      } else {
        repeat = 11 + in_.bits(7);
        if (repeat > total - n) fail(ekInvalid, "deflate: code 18 overruns");
      }
      std::fill(lengths + n, lengths + n + repeat, value);
      n += repeat;
    }
    literal_.build(lengths, hlit);
    distance_.build(lengths + hlit, hdist);
    codedBlock(literal_, distance_);
  }

  // The hot loop: one refill per symbol covers a whole length/distance pair
  // (at most 15 + 5 + 15 + 13 bits). The reader and the output position live
  // in locals so byte stores into the output cannot force them to memory.
  void codedBlock(const LiteralCode& literal, const DistanceCode& distance) {
    BitReader in = in_;
    uint8_t* out = out_.data();
    size_t size = out_.size();
    size_t len = len_;
    const size_t cap = cap_;
    for (;;) {
      if (size - len < kRoom) {
        reserve(len + kRoom);
        out = out_.data();
        size = out_.size();
      }
      in.refill();
      unsigned sym = literal.decode(in);
      if (sym < 256) {
        if (len >= cap) failCap();
        out[len++] = static_cast<uint8_t>(sym);
        continue;
      }
      if (sym == 256) break;
      if (sym >= 286) fail(ekInvalid, "deflate: bad length code");
      sym -= 257;
      const size_t length = LengthBase[sym] + in.bits(LengthExtra[sym]);
      const unsigned dsym = distance.decode(in);
      if (dsym >= 30) fail(ekInvalid, "deflate: bad distance code");
      const size_t dist = DistBase[dsym] + in.bits(DistExtra[dsym]);
      if (dist > len) fail(ekInvalid, "deflate: distance too far back");
      if (length > cap - len) failCap();
      copyMatch(out + len, dist, length);
      len += length;
    }
    in_ = in;
    len_ = len;
  }

  // Copies `length` bytes from `dist` back to dst; overlapping copies repeat
  // the pattern. May write up to 15 bytes past the match, inside the room
  // kept.
  static void copyMatch(uint8_t* dst, size_t dist, size_t length) {
    const uint8_t* src = dst - dist;
    if (dist >= 16) {
      for (size_t i = 0; i < length; i += 16) std::memcpy(dst + i, src + i, 16);
      return;
    }
    if (dist >= 8) {
      for (size_t i = 0; i < length; i += 8) std::memcpy(dst + i, src + i, 8);
      return;
    }
    if (dist == 1) {
      std::memset(dst, *src, length);
      return;
    }
    // Lay the pattern down byte by byte up to a period that is a multiple of
    // dist and at least 8, then copy 8 bytes at a time from one period back.
    const size_t period = dist * ((8 + dist - 1) / dist);
    const size_t head = std::min(length, period);
    size_t i = 0;
    for (; i < head; ++i) dst[i] = src[i];
    for (; i < length; i += 8) std::memcpy(dst + i, dst + i - period, 8);
  }

  BitReader in_;
  size_t cap_;
  size_t allocLimit_;
  Bytes out_;
  size_t len_ = 0;
  LengthsCode lengths_;
  LiteralCode literal_;
  DistanceCode distance_;
};

}  // namespace

InflateResult inflateWithConsumed(ByteView data, size_t start, size_t cap,
                                  bool capIsExpectedSize) {
  return Inflater(data, start, cap, capIsExpectedSize).run();
}

}  // namespace kd::compress
