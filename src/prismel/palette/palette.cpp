#include "prismel/palette/palette.h"

namespace kd::prismel {

QuantizeOpts defaultQuantizeOpts() { return QuantizeOpts{}; }

Result<Palette> palette(uint8_t tag, std::vector<Color> colors, uint8_t intent, uint64_t seed,
                        std::map<std::string, int64_t> roles) {
  if (colors.empty()) return colorError(ceInvalidArgument, "palette: empty color set", "palette");
  const auto count = static_cast<int64_t>(colors.size());
  if (tag == kRolePaletteTag) {
    for (const auto& [name, index] : roles) {
      if (index < 0 || index >= count) {
        return colorError(ceInvalidValue,
                          "palette: role '" + name + "' index " + std::to_string(index) +
                              " out of range for " + std::to_string(count) + " colors",
                          "palette");
      }
    }
  }
  Palette p;
  p.colors_ = std::move(colors);
  p.tag_ = tag;
  p.intent_ = intent;
  p.seed_ = seed;
  p.roles_ = std::move(roles);
  return p;
}

}  // namespace kd::prismel
