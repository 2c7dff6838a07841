#include "compress/huffman.h"

#include <gtest/gtest.h>

#include <vector>

namespace kd::compress {
namespace {

// RFC 1951 section 3.2.2's example: lengths (3, 3, 3, 3, 3, 2, 4, 4) for
// A..H give the codes 010, 011, 100, 101, 110, 00, 1110, 1111.
TEST(CanonicalCode, AssignsTheWordsOfTheRfcExample) {
  const uint8_t lengths[] = {3, 3, 3, 3, 3, 2, 4, 4};
  const uint32_t words[] = {0b010, 0b011, 0b100, 0b101, 0b110, 0b00, 0b1110, 0b1111};
  LengthCounts count;
  uint16_t sorted[8];
  ASSERT_EQ(sortCanonical(lengths, 8, count, sorted), 8u);
  EXPECT_EQ(codeSpaceLeft(count), 0);
  std::vector<int> seen;
  forEachCodeWord(count, sorted, [&](uint16_t symbol, unsigned len, uint32_t reversed) {
    seen.push_back(symbol);
    EXPECT_EQ(len, lengths[symbol]) << symbol;
    EXPECT_EQ(reverseBits(reversed, len), words[symbol]) << symbol;
    // The walk reads the word back from its bits as a reader meets them.
    const WalkResult r = walkCanonical(count, sorted, reversed, len);
    EXPECT_EQ(r.symbol, symbol);
    EXPECT_EQ(r.length, len);
    EXPECT_EQ(walkCanonical(count, sorted, reversed, len - 1).symbol, kOutOfBits);
  });
  EXPECT_EQ(seen, (std::vector<int>{5, 0, 1, 2, 3, 4, 6, 7}));
}

TEST(CanonicalCode, IncompleteAndOverSubscribedCodes) {
  LengthCounts count;
  uint16_t sorted[3];
  const uint8_t incomplete[] = {1, 0, 2};  // 0, 10; 11 unused
  sortCanonical(incomplete, 3, count, sorted);
  EXPECT_EQ(codeSpaceLeft(count), 1 << 13);
  EXPECT_EQ(walkCanonical(count, sorted, 0b11, 64).symbol, kNoCodeWord);
  const uint8_t over[] = {1, 1, 1};  // the third symbol has no word left
  sortCanonical(over, 3, count, sorted);
  EXPECT_EQ(codeSpaceLeft(count), -1);
  int words = 0;
  forEachCodeWord(count, sorted, [&](uint16_t, unsigned, uint32_t) { ++words; });
  EXPECT_EQ(words, 2);
}

}  // namespace
}  // namespace kd::compress
