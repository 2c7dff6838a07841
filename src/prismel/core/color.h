// Colour values, space tags and the error record of the colour-science code.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/result.h"

namespace kd::prismel {

// Names a registered colour space; 0 means "no space given".
using SpaceTag = int32_t;

// "SpaceTag(15)".
std::string spaceTagText(SpaceTag tag);

enum class ColorErrorKind : uint8_t {
  ceInvalidValue = 0,
  ceUnknownSpace = 1,
  ceUnknownAlgorithm = 6,
  ceInvalidArgument = 10,
  ceInvalidImage = 12,
  ceNumeric = 14,
};
using enum ColorErrorKind;

struct ColorError {
  ColorErrorKind kind = ceInvalidValue;
  std::string msg;
  std::string where;  // operation or module that raised it, may be empty
  uint8_t severity = 2;
};

// 3 for kinds 11 and 14, 2 for every other kind.
uint8_t defaultSeverity(ColorErrorKind kind);

ColorError colorError(ColorErrorKind kind, std::string msg, std::string where, uint8_t severity);
// Same, with defaultSeverity(kind).
ColorError colorError(ColorErrorKind kind, std::string msg, std::string where = {});

template <class T>
using Result = kd::base::BasicResult<T, ColorError>;
using kd::base::ResultKind;
using kd::base::rkErr;
using kd::base::rkOk;

// One colour value: three components in the order of the space's channel
// names, an opacity in [0,1] and the space the components are expressed in.
// A four-channel space (CMYK) still carries three components here.
struct Color {
  std::array<float, 3> c{};
  float alpha = 1.0f;
  SpaceTag space = 0;

  bool operator==(const Color&) const = default;
};
static_assert(sizeof(Color) == 20, "Color is three components, alpha and a tag");

// The validating constructor. Components are not range-checked: out-of-gamut
// values are legal, only NaN and infinities are refused.
Result<Color> color(SpaceTag space, float c0, float c1, float c2, float alpha);

// Narrows a float64 to float32; magnitudes beyond the float32 range become
// infinities (which color() then refuses).
float narrow(double v);

}  // namespace kd::prismel
