#include "prismel/palette/splitmix64.h"

#include <gtest/gtest.h>

namespace kd::prismel {
namespace {

// Reference outputs of the published splitmix64.c (Vigna), state seeded 0.
TEST(SplitMix64, SeedZeroMatchesReferenceSequence) {
  SplitMix64 gen = initSplitMix64(0);
  EXPECT_EQ(gen.next(), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(gen.next(), 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(gen.next(), 0x06C45D188009454Full);
  EXPECT_EQ(gen.next(), 0xF88BB8A8724C81ECull);
}

// The widely quoted vector for seed 1234567 (also Java's SplittableRandom mix).
TEST(SplitMix64, Seed1234567MatchesReferenceSequence) {
  SplitMix64 gen = initSplitMix64(1234567);
  EXPECT_EQ(gen.next(), 6457827717110365317ull);
  EXPECT_EQ(gen.next(), 3203168211198807973ull);
  EXPECT_EQ(gen.next(), 9817491932198370423ull);
  EXPECT_EQ(gen.next(), 4593380528125082431ull);
  EXPECT_EQ(gen.next(), 16408922859458223821ull);
}

// The clustering code starts from seed xor the increment: for seed 0 the first
// output works on twice the increment, i.e. the second output of seed 0.
TEST(SplitMix64, ClusteringStartForSeedZeroSkipsOneStep) {
  SplitMix64 gen = initSplitMix64(0 ^ kSplitMixIncrement);
  EXPECT_EQ(gen.state, 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(gen.next(), 0x6E789E6AA1B965F4ull);
}

TEST(SplitMix64, StateWrapsModulo64Bits) {
  SplitMix64 gen = initSplitMix64(~0ull);
  gen.next();
  EXPECT_EQ(gen.state, kSplitMixIncrement - 1);
}

TEST(SplitMix64, NextFloatUsesTop53Bits) {
  SplitMix64 gen = initSplitMix64(0);
  // 0xE220A8397B1DCDAF >> 11 = 0x1C4415072F63B9, scaled by 2^-53.
  EXPECT_EQ(gen.nextFloat(), static_cast<double>(0x1C4415072F63B9ull) * 0x1.0p-53);
  for (int i = 0; i < 1000; ++i) {
    const double f = gen.nextFloat();
    ASSERT_GE(f, 0.0);
    ASSERT_LT(f, 1.0);
  }
}

TEST(SplitMix64, NextIndexIsUnsignedRemainder) {
  SplitMix64 a = initSplitMix64(99), b = initSplitMix64(99);
  for (uint64_t count : {1ull, 2ull, 7ull, 1000003ull}) EXPECT_EQ(a.nextIndex(count), b.next() % count);
}

}  // namespace
}  // namespace kd::prismel
