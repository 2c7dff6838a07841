// WebP lossless prefix codes: reading the code lengths and building the
// lookup tables (see webp_prefix.h).
#include "formats/webp_prefix.h"

#include <algorithm>

namespace kd::formats::webp {

namespace {

constexpr int kRootBits = 8;
constexpr int kCodeLengthCodes = 19;
constexpr std::array<uint8_t, kCodeLengthCodes> kCodeLengthCodeOrder = {
    17, 18, 0, 1, 2, 3, 4, 5, 16, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Builds the code from its lengths (buildCanonical) by the shared
// canonical assignment; a length that has run out of words (an
// over-subscribed code) leaves the symbols after it unreachable, exactly
// as the walk does. The table never holds more than the root, the
// reachable words and two sparse second-level tables, because canonical
// words are contiguous.
void buildCanonical(const uint8_t* lengths, int n, PrefixCode& code) {
  code.sorted.resize(static_cast<size_t>(n));
  code.used = static_cast<int>(
      compress::sortCanonical(lengths, static_cast<size_t>(n), code.count, code.sorted.data()));
  code.sorted.resize(static_cast<size_t>(code.used));
  if (code.used <= 1) {
    // One symbol costs no bits; no symbol at all is left to the walk.
    code.rootBits = 0;
    code.table.assign(1, code.used == 1 ? Entry{code.sorted[0], 0, kSymbol} : kNoWord);
    return;
  }
  // The reachable words, in canonical order.
  struct Word {
    uint16_t symbol;
    uint8_t len;
    uint32_t reversed;  // as the reader meets it
  };
  std::vector<Word> words;
  words.reserve(code.sorted.size());
  compress::forEachCodeWord(code.count, code.sorted.data(),
                            [&words](uint16_t symbol, unsigned len, uint32_t reversed) {
                              words.push_back({symbol, static_cast<uint8_t>(len), reversed});
                            });
  const int maxLen = words.back().len;
  const int root = std::min(kRootBits, maxLen);
  const uint32_t rootMask = (uint32_t{1} << root) - 1;
  code.rootBits = root;
  code.table.assign(size_t{1} << root, kNoWord);
  // Second-level index bits per root slot: the longest word under it.
  std::array<uint8_t, 1 << kRootBits> subBits{};
  for (const Word& w : words) {
    if (w.len <= root) continue;
    const uint32_t slot = w.reversed & rootMask;
    subBits[slot] = std::max<uint8_t>(subBits[slot], static_cast<uint8_t>(w.len - root));
  }
  for (uint32_t slot = 0; slot < (uint32_t{1} << root); ++slot) {
    if (subBits[slot] == 0) continue;
    code.table[slot] = Entry{static_cast<uint16_t>(code.table.size()), subBits[slot], kLink};
    code.table.resize(code.table.size() + (size_t{1} << subBits[slot]), kNoWord);
  }
  for (const Word& w : words) {
    if (w.len <= root) {
      for (uint32_t k = w.reversed; k < (uint32_t{1} << root); k += uint32_t{1} << w.len) {
        code.table[k] = Entry{w.symbol, w.len, kSymbol};
      }
    } else {
      const int rest = w.len - root;
      const Entry link = code.table[w.reversed & rootMask];
      for (uint32_t k = w.reversed >> root; k < (uint32_t{1} << link.len); k += uint32_t{1} << rest) {
        code.table[link.value + k] = Entry{w.symbol, w.len, kSymbol};
      }
    }
  }
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

}  // namespace

int decodeSymbolWalk(const PrefixCode& code, BitReader& br) {
  if (code.used == 1) return code.sorted[0];
  br.refill();
  const compress::WalkResult r =
      compress::walkCanonical(code.count, code.sorted.data(), br.peek(), br.count());
  if (r.symbol == compress::kOutOfBits) fail(ekTruncated, "webp: bitstream truncated");
  if (r.symbol == compress::kNoCodeWord) fail(ekInvalid, "webp: huffman code longer than 15 bits");
  br.consume(r.length);
  return r.symbol;
}

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

}  // namespace kd::formats::webp
