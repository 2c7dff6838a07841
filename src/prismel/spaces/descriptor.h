// Descriptors of colour spaces: family, channels, ranges, white and, for the
// RGB spaces, transfer curve and primaries matrix.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "prismel/core/color.h"
#include "prismel/math/matrix.h"

namespace kd::prismel {

// Selects the conversion formulas of a space.
enum class SpaceFamily : uint8_t {
  famRgbEncoded = 0,
  famRgbLinear = 1,
  famXyz = 2,
  famXyy = 3,
  famLab = 4,
  famLch = 5,
  famOklab = 6,
  famOklch = 7,
  famHsv = 8,
  famHsl = 9,
  famHwb = 10,
  famCmyk = 11,
  famYcbcr = 12,
  famIctcp = 13,
  famJzazbz = 14,
  famCam16 = 15,
  famCam16Ucs = 16,
  famHct = 17,
};
using enum SpaceFamily;

// "famRgbEncoded" ... "famHct"; "SpaceFamily(n)" for a value out of range.
std::string familyName(SpaceFamily family);

// RGB transfer curves.
enum : int32_t {
  kTransferLinear = 0,
  kTransferSrgb = 1,
  kTransferGamma = 2,
  kTransferProPhoto = 3,
  kTransferRec2020 = 4,
  kTransferPq = 5,
};

struct SpaceDescriptor {
  std::string name;  // registry key, lower case
  SpaceTag tag = 0;  // registry key
  SpaceFamily family = famXyz;
  int64_t channels = 3;
  std::vector<std::string> channelNames;
  std::vector<double> mins, maxes;  // nominal ranges, +-infinity when open
  bool unbounded = false;
  Vec3 white{};
  int32_t transfer = kTransferLinear;
  double gamma = 0;
  Mat3 toXyz = kIdentity3;    // linear RGB -> XYZ (identity for analytic spaces)
  Mat3 fromXyz = kIdentity3;  // inverse of toXyz
  bool flagA = false;
  uint8_t flagB = 0;
};

// Channels 3; ranges [0,1] and bounded for famRgbEncoded, open and unbounded
// otherwise; fromXyz = inverse3(toXyz). Throws KeldraException (ekInvalid)
// "RGB primaries matrix must be invertible" when toXyz is singular.
SpaceDescriptor makeRgbDescriptor(std::string name, SpaceTag tag, SpaceFamily family,
                                  const Vec3& white, int32_t transfer, double gamma,
                                  const Mat3& toXyz, bool flagA,
                                  std::vector<std::string> channelNames);

// Spaces whose conversions are formulas rather than matrices; identity
// matrices. The channel count follows channelNames (3, or 4 for CMYK), as do
// mins and maxes.
SpaceDescriptor makeAnalyticDescriptor(std::string name, SpaceTag tag, SpaceFamily family,
                                       std::vector<std::string> channelNames,
                                       std::vector<double> mins, double gamma,
                                       std::vector<double> maxes, bool unbounded,
                                       const Vec3& white, bool flagA, uint8_t flagB,
                                       int32_t transfer);

}  // namespace kd::prismel
