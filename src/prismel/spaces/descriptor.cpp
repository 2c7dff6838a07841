#include "prismel/spaces/descriptor.h"

#include <array>
#include <limits>

#include "base/error.h"

namespace kd::prismel {

std::string familyName(SpaceFamily family) {
  static constexpr std::array<const char*, 18> kNames{
      "famRgbEncoded", "famRgbLinear", "famXyz",   "famXyy",    "famLab",      "famLch",
      "famOklab",      "famOklch",     "famHsv",   "famHsl",    "famHwb",      "famCmyk",
      "famYcbcr",      "famIctcp",     "famJzazbz", "famCam16", "famCam16Ucs", "famHct"};
  const auto i = static_cast<size_t>(family);
  if (i < kNames.size()) return kNames[i];
  return "SpaceFamily(" + std::to_string(i) + ")";
}

SpaceDescriptor makeRgbDescriptor(std::string name, SpaceTag tag, SpaceFamily family,
                                  const Vec3& white, int32_t transfer, double gamma,
                                  const Mat3& toXyz, bool flagA,
                                  std::vector<std::string> channelNames) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  SpaceDescriptor d;
  d.name = std::move(name);
  d.tag = tag;
  d.family = family;
  d.channels = 3;
  d.channelNames = std::move(channelNames);
  if (family == famRgbEncoded) {
    d.mins = {0, 0, 0};
    d.maxes = {1, 1, 1};
    d.unbounded = false;
  } else {
    d.mins = {-kInf, -kInf, -kInf};
    d.maxes = {kInf, kInf, kInf};
    d.unbounded = true;
  }
  d.white = white;
  d.transfer = transfer;
  d.gamma = gamma;
  d.toXyz = toXyz;
  Result<Mat3> inv = inverse3(toXyz);
  if (!inv.ok()) base::fail(base::ekInvalid, "RGB primaries matrix must be invertible");
  d.fromXyz = inv.value();
  d.flagA = flagA;
  d.flagB = 0;
  return d;
}

SpaceDescriptor makeAnalyticDescriptor(std::string name, SpaceTag tag, SpaceFamily family,
                                       std::vector<std::string> channelNames,
                                       std::vector<double> mins, double gamma,
                                       std::vector<double> maxes, bool unbounded,
                                       const Vec3& white, bool flagA, uint8_t flagB,
                                       int32_t transfer) {
  SpaceDescriptor d;
  d.name = std::move(name);
  d.tag = tag;
  d.family = family;
  d.channels = static_cast<int64_t>(channelNames.size());
  d.channelNames = std::move(channelNames);
  d.mins = std::move(mins);
  d.maxes = std::move(maxes);
  d.unbounded = unbounded;
  d.white = white;
  d.transfer = transfer;
  d.gamma = gamma;
  d.toXyz = kIdentity3;
  d.fromXyz = kIdentity3;
  d.flagA = flagA;
  d.flagB = flagB;
  return d;
}

}  // namespace kd::prismel
