// WebP lossless prefix codes (RFC 9649, section 3.7.2): the code lengths in
// the stream, lookup tables built on the shared canonical assignment, and
// the five-code groups the pixel decoder reads through.
//
// Symbols decode through lookup tables (8-bit root, second level for longer
// codes); whatever the tables cannot settle (a pattern no code word starts,
// a code word running past the end of the data) goes back to the
// bit-by-bit walk, so symbols and failures are the walk's.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "compress/huffman.h"
#include "formats/webp.h"

namespace kd::formats::webp {

inline constexpr int kNumLiteralCodes = 256;
inline constexpr int kNumLengthCodes = 24;
inline constexpr int kNumDistanceCodes = 40;

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
inline constexpr Entry kNoWord{0, 0xFF, kNoCode};

// One canonical prefix code: its lookup table and, for the bit-by-bit walk,
// the count of code words per length and the symbols in canonical order.
struct PrefixCode {
  std::vector<Entry> table;
  compress::LengthCounts count{};
  std::vector<uint16_t> sorted;
  int rootBits = 0;
  int used = 0;  // symbols with a non-zero length
};

// The bit-by-bit walk (decodeSymbol), over every bit the reader can hold.
int decodeSymbolWalk(const PrefixCode& code, BitReader& br);

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
  if (e.len > br.count()) [[unlikely]] {
    return decodeSymbolWalk(*c.code, br);
  }
  br.consume(e.len);
  return e.value;
}

// The five codes of one prefix-code group.
struct Group {
  std::array<PrefixCode, 5> codes;
};

inline constexpr int kGreen = 0, kRed = 1, kBlue = 2, kAlpha = 3, kDistance = 4;

// The prefix-code groups with their decoding views, ready for the pixel loop.
struct GroupViews {
  std::array<CodeView, 5> codes;
  // Alpha whose code has one symbol costs no bits: its value, already in
  // place (bits 24-31), and whether that is the case.
  uint32_t fixedAlpha;
  bool alphaFixed;
};

// Reads the groups of an image: all of them are parsed, but only those the
// entropy image names keep their tables (a stream may announce up to 65536
// groups for a handful of blocks). `keep[i]` is group i's slot among the
// `kept` groups, or -1; empty keeps the one group.
std::vector<Group> readGroups(BitReader& br, int cacheSize, uint32_t numGroups,
                              const std::vector<int32_t>& keep, size_t kept);

// The decoding views of the groups, which must outlive them.
std::vector<GroupViews> viewsOf(const std::vector<Group>& groups);

}  // namespace kd::formats::webp
