// The analytic spaces: conversions are formulas, the descriptors only carry
// names, nominal ranges, white and attributes.
#include <limits>

#include "prismel/math/white.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

void add3(SpaceRegistry& r, const char* name, SpaceTag tag, SpaceFamily family,
          std::vector<std::string> names, std::vector<double> mins, std::vector<double> maxes,
          bool unbounded, const Vec3& white, bool flagA, uint8_t flagB, int32_t transfer = 0) {
  r.add(makeAnalyticDescriptor(name, tag, family, std::move(names), std::move(mins), 0.0,
                               std::move(maxes), unbounded, white, flagA, flagB, transfer));
}

}  // namespace

void addCieSpaces(SpaceRegistry& r) {
  add3(r, "xyz", kXyz, famXyz, {"X", "Y", "Z"}, {-kInf, -kInf, -kInf}, {kInf, kInf, kInf}, true,
       kD65, true, 0);
  add3(r, "xyy", kXyy, famXyy, {"x", "y", "Y"}, {0, 0, 0}, {1, 1, kInf}, true, kD65, true, 0);
  add3(r, "lab", kLab, famLab, {"L", "a", "b"}, {0, -kInf, -kInf}, {100, kInf, kInf}, true, kD50,
       true, 2);
  add3(r, "lch", kLch, famLch, {"L", "C", "h"}, {0, 0, 0}, {100, kInf, 360}, true, kD50, true, 1);
}

void addOkSpaces(SpaceRegistry& r) {
  add3(r, "oklab", kOklab, famOklab, {"L", "a", "b"}, {0, -kInf, -kInf}, {1, kInf, kInf}, true,
       kD65, true, 2);
  add3(r, "oklch", kOklch, famOklch, {"L", "C", "h"}, {0, 0, 0}, {1, kInf, 360}, true, kD65, true,
       1);
}

void addCylindricalSpaces(SpaceRegistry& r) {
  add3(r, "hsv", kHsv, famHsv, {"H", "S", "V"}, {0, 0, 0}, {360, 1, 1}, false, kD65, true, 1);
  add3(r, "hsl", kHsl, famHsl, {"H", "S", "L"}, {0, 0, 0}, {360, 1, 1}, false, kD65, true, 1);
  add3(r, "hwb", kHwb, famHwb, {"H", "W", "B"}, {0, 0, 0}, {360, 1, 1}, false, kD65, true, 0);
}

void addDeviceSpaces(SpaceRegistry& r) {
  r.add(makeAnalyticDescriptor("cmyk", kCmyk, famCmyk, {"C", "M", "Y", "K"}, {0, 0, 0, 0}, 0.0,
                               {1, 1, 1, 1}, false, kD65, false, 0, 0));
  add3(r, "ycbcr", kYcbcr, famYcbcr, {"Y", "Cb", "Cr"}, {0, -0.5, -0.5}, {1, 0.5, 0.5}, false,
       kD65, true, 2);
}

void addHdrSpaces(SpaceRegistry& r) {
  add3(r, "ictcp", kIctcp, famIctcp, {"I", "Ct", "Cp"}, {0, -kInf, -kInf}, {kInf, kInf, kInf},
       true, kD65, true, 2, kTransferPq);
  add3(r, "jzazbz", kJzazbz, famJzazbz, {"Jz", "Az", "Bz"}, {0, -kInf, -kInf},
       {kInf, kInf, kInf}, true, kD65, true, 2);
}

void addAppearanceSpaces(SpaceRegistry& r) {
  add3(r, "cam16", kCam16, famCam16, {"J", "C", "h"}, {0, 0, 0}, {100, kInf, 360}, true, kD65,
       true, 1);
  add3(r, "cam16-ucs", kCam16Ucs, famCam16Ucs, {"J'", "a'", "b'"}, {0, -kInf, -kInf},
       {100, kInf, kInf}, true, kD65, true, 2);
  add3(r, "hct", kHct, famHct, {"H", "C", "T"}, {0, 0, 0}, {360, kInf, 100}, true, kD65, false,
       1);
}

}  // namespace kd::prismel
