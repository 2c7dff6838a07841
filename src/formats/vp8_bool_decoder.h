// The boolean entropy decoder of RFC 6386 (section 7): an arithmetic decoder
// whose every read names the probability, out of 256, that the bit is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kd::formats::vp8 {

// Reads one partition. `value_` holds the undecoded bits: the top eight of
// the meaningful ones form the window compared with the split, and `bits_`
// counts those below it. When the data ends, zero bits are fed in and
// exhausted() turns true: a frame whose decoding needed them is truncated.
// Probing stops at the partition's end; nothing past it is ever read.
class BoolDecoder {
 public:
  BoolDecoder() = default;
  BoolDecoder(const uint8_t* data, size_t size) : p_(data), end_(data + size) { refill(); }

  // One bit that is 0 with probability prob / 256.
  int bit(int prob) {
    if (bits_ < 0) refill();
    const uint32_t split = (range_ * static_cast<uint32_t>(prob)) >> 8;
    const auto window = static_cast<uint32_t>(value_ >> bits_);
    uint32_t next;  // the new range itself, 1..255
    int result;
    if (window > split) {
      next = range_ - split;
      value_ -= static_cast<uint64_t>(split + 1) << bits_;
      result = 1;
    } else {
      next = split + 1;
      result = 0;
    }
    // Renormalise so the range is again in 128..255.
    const int shift = __builtin_clz(next) - 24;
    range_ = (next << shift) - 1;
    bits_ -= shift;
    return result;
  }

  // An n-bit unsigned value, most significant bit first, each bit even.
  uint32_t literal(int n) {
    uint32_t v = 0;
    while (n-- > 0) v = (v << 1) | static_cast<uint32_t>(bit(128));
    return v;
  }

  // An n-bit magnitude followed by its sign bit.
  int signedLiteral(int n) {
    const int v = static_cast<int>(literal(n));
    return bit(128) ? -v : v;
  }

  // A flag; when set, an n-bit signed value follows, otherwise 0.
  int optionalSigned(int n) { return bit(128) ? signedLiteral(n) : 0; }

  bool exhausted() const { return eof_; }

 private:
  void refill() {
    if (end_ - p_ >= 8) {
      uint64_t word;
      std::memcpy(&word, p_, 8);
      value_ = (value_ << 56) | (__builtin_bswap64(word) >> 8);
      p_ += 7;
      bits_ += 56;
    } else if (p_ < end_) {
      value_ = (value_ << 8) | *p_++;
      bits_ += 8;
    } else {
      value_ <<= 8;
      bits_ += 8;
      eof_ = true;
    }
  }

  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint64_t value_ = 0;
  int bits_ = -8;
  uint32_t range_ = 254;  // the range minus one
  bool eof_ = false;
};

}  // namespace kd::formats::vp8
