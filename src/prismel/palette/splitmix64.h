// SplitMix64: the seeded generator behind every random choice of the palette
// code. One 64-bit state; the output sequence is the published SplitMix64.
#pragma once

#include <cstdint>

namespace kd::prismel {

inline constexpr uint64_t kSplitMixIncrement = 0x9E3779B97F4A7C15ull;

struct SplitMix64 {
  uint64_t state = 0;

  // Advances the state and returns the next 64-bit output.
  constexpr uint64_t next() {
    state += kSplitMixIncrement;  // modulo 2^64
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // A float64 in [0, 1) from the top 53 bits of the next output.
  constexpr double nextFloat() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  // Index in [0, count) by unsigned remainder; count > 0.
  constexpr uint64_t nextIndex(uint64_t count) { return next() % count; }
};

constexpr SplitMix64 initSplitMix64(uint64_t seed) { return SplitMix64{seed}; }

}  // namespace kd::prismel
