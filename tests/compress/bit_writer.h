// Hand-assembles DEFLATE streams bit by bit for tests.
#pragma once

#include <cstdint>
#include <vector>

namespace kd::test {

class BitWriter {
 public:
  // n bits of v, least significant first (header fields, extra bits).
  BitWriter& bits(uint32_t v, int n) {
    for (int i = 0; i < n; ++i) bit((v >> i) & 1);
    return *this;
  }
  // A Huffman code of n bits, most significant first.
  BitWriter& code(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    return *this;
  }
  // Fixed-code literal/length symbol (RFC 1951 3.2.6).
  BitWriter& fixedSymbol(int s) {
    if (s < 144) return code(0x30 + s, 8);
    if (s < 256) return code(0x190 + (s - 144), 9);
    if (s < 280) return code(s - 256, 7);
    return code(0xC0 + (s - 280), 8);
  }
  BitWriter& byte(uint8_t b) { return bits(b, 8); }
  BitWriter& align() {
    while (count_ != 0) bit(0);
    return *this;
  }
  std::vector<uint8_t> finish() {
    align();
    return out_;
  }

 private:
  void bit(uint32_t b) {
    if (count_ == 0) out_.push_back(0);
    out_.back() = static_cast<uint8_t>(out_.back() | (b << count_));
    count_ = (count_ + 1) % 8;
  }
  std::vector<uint8_t> out_;
  int count_ = 0;
};

}  // namespace kd::test
