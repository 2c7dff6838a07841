#include "prismel/conversion/distinct.h"

#include "base/cpu.h"

namespace kd::prismel {

DistinctColors::DistinctColors(std::span<const uint8_t> samples, int channels, bool listKeys)
    : words_(size_t{1} << 18) {
  const auto step = static_cast<size_t>(channels);
  const uint8_t* p = samples.data();
  const uint8_t* end = p + samples.size();
  for (; p != end; p += step) {
    const uint32_t key = colorKey(p, channels);
    words_[key >> 6].bits |= uint64_t{1} << (key & 63);
  }
  uint32_t count = 0;
  for (const Word& w : words_) count += bitCount(w.bits);
  count_ = count;
  if (listKeys) keys_.reserve(count);
  count = 0;
  for (size_t i = 0; i < words_.size(); ++i) {
    Word& w = words_[i];
    w.before = count;
    for (uint64_t bits = listKeys ? w.bits : 0; bits != 0; bits &= bits - 1) {
      keys_.push_back(static_cast<uint32_t>(i << 6 | static_cast<size_t>(__builtin_ctzll(bits))));
    }
    count += bitCount(w.bits);
  }
}

void DistinctColors::indexPixels(const uint8_t* p, size_t n, int channels, uint32_t* out) const {
#if KD_X86_SIMD
  if (base::cpuHasPopcnt()) {
    indexPixelsPopcnt(p, n, channels, out);
    return;
  }
#endif
  const auto step = static_cast<size_t>(channels);
  for (size_t j = 0; j < n; ++j, p += step) out[j] = indexOf(colorKey(p, channels));
}

#if KD_X86_SIMD
__attribute__((target("popcnt"))) void DistinctColors::indexPixelsPopcnt(const uint8_t* p, size_t n,
                                                                         int channels,
                                                                         uint32_t* out) const {
  const auto step = static_cast<size_t>(channels);
  for (size_t j = 0; j < n; ++j, p += step) {
    const uint32_t key = colorKey(p, channels);
    const Word& w = words_[key >> 6];
    out[j] = w.before +
             static_cast<uint32_t>(__builtin_popcountll(w.bits & ((uint64_t{1} << (key & 63)) - 1)));
  }
}
#else
void DistinctColors::indexPixelsPopcnt(const uint8_t* p, size_t n, int channels,
                                       uint32_t* out) const {
  indexPixels(p, n, channels, out);
}
#endif

}  // namespace kd::prismel
