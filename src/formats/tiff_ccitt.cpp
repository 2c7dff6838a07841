// CCITT bilevel fax as TIFF 6.0 stores it: modified Huffman rows
// (compression 2, each row starting on a byte), T.4 Group 3 (compression 3:
// rows begun by EOL codes, with optional fill bits, one-dimensional or, with
// T4Options bit 0, also two-dimensional) and T.6 Group 4 (compression 4:
// every row two-dimensional, no EOL codes).
//
// A row is kept as its changing elements, the columns where the colour
// changes (the first always to black), which is what two-dimensional coding
// refers to on the row above. Runs are looked up in the code tables of T.4
// by a scan of at most a hundred entries; fax pictures are small and the
// scan keeps the tables in the form the standard prints them.
#include <algorithm>
#include <array>

#include "formats/tiff.h"

namespace kd::formats::tiff {

namespace {

// One code of T.4: its bits as printed, most significant first, and the run
// length it stands for.
struct Code {
  uint16_t code = 0;
  uint8_t length = 0;
  uint16_t run = 0;
  constexpr Code(const char* bits, uint16_t runLength) : run(runLength) {
    for (; bits[length] != 0; ++length) code = static_cast<uint16_t>(code << 1 | (bits[length] == '1'));
  }
};

constexpr unsigned kLongestCode = 13;

// Terminating codes (runs 0..63), make-up codes (64..1728) and the
// make-up codes both colours share (1792..2560).
constexpr std::array<Code, 104> kWhite = {{
    {"00110101", 0},    {"000111", 1},      {"0111", 2},        {"1000", 3},        {"1011", 4},
    {"1100", 5},        {"1110", 6},        {"1111", 7},        {"10011", 8},       {"10100", 9},
    {"00111", 10},      {"01000", 11},      {"001000", 12},     {"000011", 13},     {"110100", 14},
    {"110101", 15},     {"101010", 16},     {"101011", 17},     {"0100111", 18},    {"0001100", 19},
    {"0001000", 20},    {"0010111", 21},    {"0000011", 22},    {"0000100", 23},    {"0101000", 24},
    {"0101011", 25},    {"0010011", 26},    {"0100100", 27},    {"0011000", 28},    {"00000010", 29},
    {"00000011", 30},   {"00011010", 31},   {"00011011", 32},   {"00010010", 33},   {"00010011", 34},
    {"00010100", 35},   {"00010101", 36},   {"00010110", 37},   {"00010111", 38},   {"00101000", 39},
    {"00101001", 40},   {"00101010", 41},   {"00101011", 42},   {"00101100", 43},   {"00101101", 44},
    {"00000100", 45},   {"00000101", 46},   {"00001010", 47},   {"00001011", 48},   {"01010010", 49},
    {"01010011", 50},   {"01010100", 51},   {"01010101", 52},   {"00100100", 53},   {"00100101", 54},
    {"01011000", 55},   {"01011001", 56},   {"01011010", 57},   {"01011011", 58},   {"01001010", 59},
    {"01001011", 60},   {"00110010", 61},   {"00110011", 62},   {"00110100", 63},   {"11011", 64},
    {"10010", 128},     {"010111", 192},    {"0110111", 256},   {"00110110", 320},  {"00110111", 384},
    {"01100100", 448},  {"01100101", 512},  {"01101000", 576},  {"01100111", 640},  {"011001100", 704},
    {"011001101", 768}, {"011010010", 832}, {"011010011", 896}, {"011010100", 960}, {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280},
    {"011011010", 1344}, {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536},
    {"010011010", 1600}, {"011000", 1664},    {"010011011", 1728}, {"00000001000", 1792},
    {"00000001100", 1856}, {"00000001101", 1920}, {"000000010010", 1984}, {"000000010011", 2048},
    {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240}, {"000000010111", 2304},
    {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496}, {"000000011111", 2560},
}};

constexpr std::array<Code, 104> kBlack = {{
    {"0000110111", 0},     {"010", 1},            {"11", 2},             {"10", 3},
    {"011", 4},            {"0011", 5},           {"0010", 6},           {"00011", 7},
    {"000101", 8},         {"000100", 9},         {"0000100", 10},       {"0000101", 11},
    {"0000111", 12},       {"00000100", 13},      {"00000111", 14},      {"000011000", 15},
    {"0000010111", 16},    {"0000011000", 17},    {"0000001000", 18},    {"00001100111", 19},
    {"00001101000", 20},   {"00001101100", 21},   {"00000110111", 22},   {"00000101000", 23},
    {"00000010111", 24},   {"00000011000", 25},   {"000011001010", 26},  {"000011001011", 27},
    {"000011001100", 28},  {"000011001101", 29},  {"000001101000", 30},  {"000001101001", 31},
    {"000001101010", 32},  {"000001101011", 33},  {"000011010010", 34},  {"000011010011", 35},
    {"000011010100", 36},  {"000011010101", 37},  {"000011010110", 38},  {"000011010111", 39},
    {"000001101100", 40},  {"000001101101", 41},  {"000011011010", 42},  {"000011011011", 43},
    {"000001010100", 44},  {"000001010101", 45},  {"000001010110", 46},  {"000001010111", 47},
    {"000001100100", 48},  {"000001100101", 49},  {"000001010010", 50},  {"000001010011", 51},
    {"000000100100", 52},  {"000000110111", 53},  {"000000111000", 54},  {"000000100111", 55},
    {"000000101000", 56},  {"000001011000", 57},  {"000001011001", 58},  {"000000101011", 59},
    {"000000101100", 60},  {"000001011010", 61},  {"000001100110", 62},  {"000001100111", 63},
    {"0000001111", 64},    {"000011001000", 128}, {"000011001001", 192}, {"000001011011", 256},
    {"000000110011", 320}, {"000000110100", 384}, {"000000110101", 448}, {"0000001101100", 512},
    {"0000001101101", 576}, {"0000001001010", 640}, {"0000001001011", 704}, {"0000001001100", 768},
    {"0000001001101", 832}, {"0000001110010", 896}, {"0000001110011", 960}, {"0000001110100", 1024},
    {"0000001110101", 1088}, {"0000001110110", 1152}, {"0000001110111", 1216}, {"0000001010010", 1280},
    {"0000001010011", 1344}, {"0000001010100", 1408}, {"0000001010101", 1472}, {"0000001011010", 1536},
    {"0000001011011", 1600}, {"0000001100100", 1664}, {"0000001100101", 1728}, {"00000001000", 1792},
    {"00000001100", 1856}, {"00000001101", 1920}, {"000000010010", 1984}, {"000000010011", 2048},
    {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240}, {"000000010111", 2304},
    {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496}, {"000000011111", 2560},
}};

// Two-dimensional modes: pass, horizontal, and vertical with a1 - b1 of -3..3.
enum class Mode : uint8_t { kPass, kHorizontal, kVertical, kExtension, kBad };
struct ModeCode {
  Mode mode;
  int offset;  // a1 - b1 for vertical modes
  unsigned length;
};

// The next mode from the top 7 bits of `window`.
ModeCode modeOf(uint32_t window7) {
  if (window7 & 0x40) return {Mode::kVertical, 0, 1};                  // 1
  if ((window7 >> 4) == 3) return {Mode::kVertical, 1, 3};             // 011
  if ((window7 >> 4) == 2) return {Mode::kVertical, -1, 3};            // 010
  if ((window7 >> 4) == 1) return {Mode::kHorizontal, 0, 3};           // 001
  if ((window7 >> 3) == 1) return {Mode::kPass, 0, 4};                 // 0001
  if ((window7 >> 1) == 3) return {Mode::kVertical, 2, 6};             // 000011
  if ((window7 >> 1) == 2) return {Mode::kVertical, -2, 6};            // 000010
  if (window7 == 3) return {Mode::kVertical, 3, 7};                    // 0000011
  if (window7 == 2) return {Mode::kVertical, -3, 7};                   // 0000010
  if (window7 == 1) return {Mode::kExtension, 0, 7};                   // 0000001
  return {Mode::kBad, 0, 7};
}

// Bits most significant first (or, with FillOrder 2, least significant
// first); reads past the end see zeros, and `overrun` tells.
class FaxBits {
 public:
  FaxBits(ByteView in, bool lsbFirst) : in_(in), lsbFirst_(lsbFirst), bits_(uint64_t{in.size()} * 8) {}

  // The next `n` (at most 24) bits.
  uint32_t peek(unsigned n) const {
    uint32_t acc = 0;
    const uint64_t at = pos_ >> 3;
    for (uint64_t i = 0; i < 4; ++i) acc = acc << 8 | byteAt(at + i);
    return (acc << (pos_ & 7)) >> (32 - n);
  }
  void skip(unsigned n) {
    pos_ += n;
    if (pos_ > bits_) fail(ekTruncated, "tiff: fax data truncated");
  }
  bool atEnd() const { return pos_ >= bits_; }
  void alignToByte() { pos_ = (pos_ + 7) & ~uint64_t{7}; }

  // Skips an EOL (eleven or more zeros, then a one); false, reading
  // nothing, when none comes next.
  bool skipEol() {
    if (peek(11) != 0 || atEnd()) return false;
    while (!atEnd() && peek(1) == 0) ++pos_;
    skip(1);
    return true;
  }

 private:
  uint8_t byteAt(uint64_t i) const {
    if (i >= in_.size()) return 0;
    uint8_t b = in_[static_cast<size_t>(i)];
    if (lsbFirst_) {
      b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
      b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
      b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    }
    return b;
  }

  ByteView in_;
  bool lsbFirst_;
  uint64_t bits_;
  uint64_t pos_ = 0;
};

// One run of make-up codes and a terminating code.
size_t readRun(FaxBits& r, bool black) {
  size_t total = 0;
  for (;;) {
    const uint32_t window = r.peek(kLongestCode);
    const Code* hit = nullptr;
    for (const Code& c : black ? kBlack : kWhite) {
      if (window >> (kLongestCode - c.length) == c.code) {
        hit = &c;
        break;
      }
    }
    if (hit == nullptr) {
      if (r.atEnd()) fail(ekTruncated, "tiff: fax data truncated");
      fail(ekInvalid, "tiff: bad fax run code");
    }
    r.skip(hit->length);
    total += hit->run;
    if (hit->run < 64) return total;
  }
}

// A one-dimensional row: runs of alternating colour, white first.
void readRow1D(FaxBits& r, size_t width, std::vector<size_t>& changes) {
  size_t a0 = 0;
  bool black = false;
  while (a0 < width) {
    a0 = std::min(width, a0 + readRun(r, black));
    changes.push_back(a0);
    black = !black;
  }
}

// A two-dimensional row, coded against `above` (its changing elements and
// three entries `width` after them).
void readRow2D(FaxBits& r, size_t width, const std::vector<size_t>& above, std::vector<size_t>& changes) {
  size_t a0 = 0;
  bool start = true;  // a0 still stands before the first pixel
  bool black = false;
  size_t j = 0;
  while (a0 < width) {
    // b1: the first change above to the right of a0 that turns to the
    // colour opposite a0's (even entries turn to black); b2 the next.
    while (j > 0 && above[j - 1] > a0) --j;
    while (!start && above[j] <= a0) ++j;
    if ((j & 1) != (black ? 1u : 0u)) ++j;
    const size_t b1 = above[j], b2 = above[j + 1];
    const ModeCode m = modeOf(r.peek(7));
    if (m.mode == Mode::kExtension) fail(ekUnsupported, "tiff: fax uncompressed mode unsupported");
    if (m.mode == Mode::kBad) {
      if (r.atEnd()) fail(ekTruncated, "tiff: fax data truncated");
      fail(ekInvalid, "tiff: bad fax mode code");
    }
    r.skip(m.length);
    if (m.mode == Mode::kPass) {
      a0 = b2;
    } else if (m.mode == Mode::kHorizontal) {
      const size_t a1 = std::min(width, a0 + readRun(r, black));
      const size_t a2 = std::min(width, a1 + readRun(r, !black));
      changes.push_back(a1);
      changes.push_back(a2);
      a0 = a2;
    } else {
      const auto a1 = static_cast<int64_t>(b1) + m.offset;
      if (a1 < static_cast<int64_t>(start ? 0 : a0) || a1 > static_cast<int64_t>(width)) {
        fail(ekInvalid, "tiff: fax change out of the row");
      }
      a0 = static_cast<size_t>(a1);
      changes.push_back(a0);
      black = !black;
    }
    start = false;
  }
}

// Sets the black runs of a row of changing elements.
void paintRow(const std::vector<size_t>& changes, size_t width, uint8_t* row) {
  for (size_t k = 0; k < changes.size(); k += 2) {
    const size_t from = changes[k];
    const size_t to = k + 1 < changes.size() ? std::min(changes[k + 1], width) : width;
    for (size_t x = from; x < to; ++x) row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | 0x80 >> (x & 7));
  }
}

}  // namespace

void ccittDecodeInto(ByteView in, size_t width, size_t rows, const FaxOptions& opts, Bytes& out) {
  FaxBits r(in, opts.lsbFirst);
  const size_t rowBytes = width / 8 + (width % 8 != 0);
  std::vector<size_t> above = {width, width, width};
  std::vector<size_t> changes;
  out.clear();
  for (size_t y = 0; y < rows; ++y) {
    changes.clear();
    bool twoD = opts.compression == kCcittT6;
    if (opts.compression == kCcittRle) {
      r.alignToByte();
    } else if (opts.compression == kCcittT4) {
      if (r.skipEol() && opts.twoDimensional) {
        twoD = r.peek(1) == 0;
        r.skip(1);
      }
    }
    if (twoD) {
      readRow2D(r, width, above, changes);
    } else {
      readRow1D(r, width, changes);
    }
    // Each row took at least one bit, so the output grows with the input.
    out.resize(out.size() + rowBytes);
    paintRow(changes, width, out.data() + y * rowBytes);
    above = changes;
    above.insert(above.end(), 3, width);
  }
}

}  // namespace kd::formats::tiff
