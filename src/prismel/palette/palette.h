// The palette record every quantizer returns, and the options handed to the
// quantizers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "prismel/core/color.h"

namespace kd::prismel {

// Options of every quantization algorithm; an algorithm ignores the fields it
// has no use for.
struct QuantizeOpts {
  uint64_t seed = 0;      // generator seed; also recorded in the palette
  int64_t maxIter = 20;   // iteration cap of the k-means family
  bool weighted = false;  // k-means family: chroma-weighted refinement
  bool parallel = false;  // k-means family: pass `threads` on to the clustering
  int64_t threads = 0;    // requested parallelism; never changes the result
};

QuantizeOpts defaultQuantizeOpts();

// Palette kind codes. Quantizers build kQuantizedPaletteTag palettes; a
// kRolePaletteTag palette has its roles validated against its colours.
inline constexpr uint8_t kQuantizedPaletteTag = 1;
inline constexpr uint8_t kRolePaletteTag = 6;

// Immutable once built; build it only through palette().
class Palette {
 public:
  // A copy of the colours, in the order the algorithm produced them.
  std::vector<Color> colors() const { return colors_; }
  const std::vector<Color>& colorsRef() const { return colors_; }
  int64_t len() const { return static_cast<int64_t>(colors_.size()); }
  uint8_t tag() const { return tag_; }
  uint8_t intent() const { return intent_; }
  uint64_t seed() const { return seed_; }
  const std::map<std::string, int64_t>& roles() const { return roles_; }

 private:
  friend Result<Palette> palette(uint8_t tag, std::vector<Color> colors, uint8_t intent,
                                 uint64_t seed, std::map<std::string, int64_t> roles);
  std::vector<Color> colors_;
  uint8_t tag_ = kQuantizedPaletteTag;
  uint8_t intent_ = 0;
  uint64_t seed_ = 0;
  std::map<std::string, int64_t> roles_;  // role name -> index into colors
};

// Fails (where "palette") on an empty colour set and, for tag 6 only, on the
// first role whose index does not point into the colours.
Result<Palette> palette(uint8_t tag, std::vector<Color> colors, uint8_t intent, uint64_t seed,
                        std::map<std::string, int64_t> roles = {});

}  // namespace kd::prismel
