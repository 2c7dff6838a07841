#include "prismel/core/color.h"

#include <cmath>
#include <limits>

namespace kd::prismel {

std::string spaceTagText(SpaceTag tag) { return "SpaceTag(" + std::to_string(tag) + ")"; }

uint8_t defaultSeverity(ColorErrorKind kind) {
  const auto code = static_cast<uint8_t>(kind);
  return (code == 11 || code == 14) ? 3 : 2;
}

ColorError colorError(ColorErrorKind kind, std::string msg, std::string where, uint8_t severity) {
  return ColorError{kind, std::move(msg), std::move(where), severity};
}

ColorError colorError(ColorErrorKind kind, std::string msg, std::string where) {
  return colorError(kind, std::move(msg), std::move(where), defaultSeverity(kind));
}

Result<Color> color(SpaceTag space, float c0, float c1, float c2, float alpha) {
  if (space == 0) return colorError(ceInvalidValue, "color requires a known space");
  if (!std::isfinite(alpha) || alpha < 0.0f || alpha > 1.0f) {
    return colorError(ceInvalidValue, "alpha out of [0,1]");
  }
  if (!std::isfinite(c0) || !std::isfinite(c1) || !std::isfinite(c2)) {
    return colorError(ceInvalidValue, "component NaN/Inf at bounds");
  }
  return Color{{c0, c1, c2}, alpha, space};
}

float narrow(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);  // NaN stays NaN
}

}  // namespace kd::prismel
