// Hand-made LZW streams for the GIF and TIFF tests: codes packed in either
// bit order, and an encoder that never matches (every symbol its own code)
// whose code width follows the decoder's table as each format defines it.
#pragma once

#include <cstdint>
#include <vector>

namespace kd::test {

// Codes of given widths, least (GIF) or most (TIFF) significant bit first.
struct LzwCodes {
  explicit LzwCodes(bool msbFirst = false) : msbFirst(msbFirst) {}
  bool msbFirst;
  std::vector<uint8_t> out;
  uint64_t acc = 0;
  unsigned held = 0;
  void put(unsigned code, unsigned width) {
    if (msbFirst) {
      acc = acc << width | code;
      held += width;
      for (; held >= 8; held -= 8) out.push_back(static_cast<uint8_t>(acc >> (held - 8)));
      return;
    }
    acc |= uint64_t{code} << held;
    held += width;
    for (; held >= 8; held -= 8, acc >>= 8) out.push_back(static_cast<uint8_t>(acc));
  }
  // The bytes so far, the last one padded with zero bits.
  std::vector<uint8_t> finish() const {
    std::vector<uint8_t> b = out;
    if (held > 0) b.push_back(static_cast<uint8_t>(msbFirst ? acc << (8 - held) : acc));
    return b;
  }
};

// Literal codes only. Codes start one bit wider than minCode; each code
// after the first since a Clear adds a table entry, and the width grows
// when the next entry needs it (one code early with earlyChange).
struct LiteralLzw {
  LiteralLzw(unsigned minCode, bool msbFirst, bool earlyChange)
      : codes(msbFirst), minCode(minCode), early(earlyChange ? 1 : 0), width(minCode + 1),
        next((1u << minCode) + 2) {}
  unsigned clearCode() const { return 1u << minCode; }
  void clear() {
    codes.put(clearCode(), width);
    width = minCode + 1;
    next = clearCode() + 2;
    first = true;
  }
  void code(unsigned c) {
    codes.put(c, width);
    if (!first && next < 4096) {
      ++next;
      if (next + early >= (1u << width) && width < 12) ++width;
    }
    first = false;
  }
  void end() { codes.put(clearCode() + 1, width); }

  LzwCodes codes;
  unsigned minCode;
  unsigned early;
  unsigned width;
  unsigned next;
  bool first = true;
};

}  // namespace kd::test
