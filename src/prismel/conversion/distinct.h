// The distinct colours of an 8-bit picture. A camera photo of twelve million
// pixels holds a few hundred thousand to a few million distinct 24-bit
// colours, so work that depends on the colour alone (the OKLab lift, a
// histogram bin) is done once per colour and looked up per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kd::prismel {

// The 24-bit key of a colour: the bits of r, g and b interleaved (a Morton
// code, bit i of r at 3i + 2, of g at 3i + 1, of b at 3i), so that similar
// colours get nearby keys and the tables indexed by key are read with some
// locality. A grey sample g stands for (g, g, g); alpha plays no part.
struct ColorKeyTable {
  uint32_t spread[256];  // bit i of v at bit 3i
  constexpr ColorKeyTable() : spread{} {
    for (uint32_t v = 0; v < 256; ++v) {
      uint32_t s = 0;
      for (int i = 0; i < 8; ++i) s |= ((v >> i) & 1u) << (3 * i);
      spread[v] = s;
    }
  }
};
inline constexpr ColorKeyTable kColorKeys{};

inline uint32_t colorKey(uint8_t r, uint8_t g, uint8_t b) {
  return kColorKeys.spread[r] << 2 | kColorKeys.spread[g] << 1 | kColorKeys.spread[b];
}

// The key of the pixel at p; channels is 1, 3 or 4.
inline uint32_t colorKey(const uint8_t* p, int channels) {
  if (channels == 1) return kColorKeys.spread[p[0]] * 7u;
  return colorKey(p[0], p[1], p[2]);
}

// r, g and b back from a key.
inline void colorOfKey(uint32_t key, uint8_t& r, uint8_t& g, uint8_t& b) {
  const auto compact = [](uint32_t x) {
    x &= 0x09249249u;
    x = (x ^ (x >> 2)) & 0x030c30c3u;
    x = (x ^ (x >> 4)) & 0x0300f00fu;
    x = (x ^ (x >> 8)) & 0xff0000ffu;
    x = (x ^ (x >> 16)) & 0x000003ffu;
    return static_cast<uint8_t>(x);
  };
  r = compact(key >> 2);
  g = compact(key >> 1);
  b = compact(key);
}

// Set bits of x, without relying on a population-count instruction.
inline uint32_t bitCount(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
}

// The set of colour keys present in interleaved samples, as a bitmap over
// all 2^24 keys with a running count per 64-key word, so that the rank of a
// key (its index among the distinct keys in ascending order) is one word
// read and a population count. About 4 MiB whatever the picture.
class DistinctColors {
 public:
  // samples.size() is a multiple of channels (1, 3 or 4). Without
  // `listKeys`, keys() stays empty (4 bytes per colour saved) and the keys
  // are walked with forEachKeyBlock.
  DistinctColors(std::span<const uint8_t> samples, int channels, bool listKeys = true);

  size_t size() const { return count_; }
  // The distinct keys in ascending order (empty without `listKeys`).
  const std::vector<uint32_t>& keys() const { return keys_; }
  // Calls f(keys, n) on the distinct keys in ascending order, up to 512 at
  // a time.
  template <class F>
  void forEachKeyBlock(F&& f) const {
    uint32_t block[512];
    size_t n = 0;
    for (size_t i = 0; i < words_.size(); ++i) {
      for (uint64_t bits = words_[i].bits; bits != 0; bits &= bits - 1) {
        block[n++] = static_cast<uint32_t>(i << 6 | static_cast<size_t>(__builtin_ctzll(bits)));
        if (n == 512) {
          f(static_cast<const uint32_t*>(block), n);
          n = 0;
        }
      }
    }
    if (n != 0) f(static_cast<const uint32_t*>(block), n);
  }
  // Index of key in keys(); key must be present.
  uint32_t indexOf(uint32_t key) const {
    const Word& w = words_[key >> 6];
    return w.before + bitCount(w.bits & ((uint64_t{1} << (key & 63)) - 1));
  }
  // Asks the cache for what indexPixels reads for n pixels at p.
  void prefetch(const uint8_t* p, size_t n, int channels) const {
    const auto step = static_cast<size_t>(channels);
    for (size_t j = 0; j < n; ++j, p += step) __builtin_prefetch(&words_[colorKey(p, channels) >> 6]);
  }
  // indexOf the colour of each of n pixels at p (channels 1, 3 or 4), into
  // out[0..n); with the processor's population count where it has one.
  void indexPixels(const uint8_t* p, size_t n, int channels, uint32_t* out) const;

 private:
  struct Word {
    uint64_t bits = 0;    // bit k: key (word << 6 | k) is present
    uint32_t before = 0;  // distinct keys in the earlier words
  };
  void indexPixelsPopcnt(const uint8_t* p, size_t n, int channels, uint32_t* out) const;

  std::vector<Word> words_;
  std::vector<uint32_t> keys_;
  size_t count_ = 0;
};

}  // namespace kd::prismel
