// The RGB spaces: each primaries set as an encoded and a linear space sharing
// one matrix.
#include "prismel/math/white.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

// Rows give X, Y, Z of linear RGB.
constexpr Mat3 kSrgbToXyz{{{0.4124564, 0.3575761, 0.1804375},
                           {0.2126729, 0.7151522, 0.072175},
                           {0.0193339, 0.119192, 0.9503041}}};
constexpr Mat3 kP3ToXyz{{{0.4865709, 0.2656677, 0.1982173},
                         {0.2289746, 0.6917385, 0.0792869},
                         {0.0, 0.0451134, 1.0439444}}};
constexpr Mat3 kRec2020ToXyz{{{0.636958, 0.1446169, 0.168881},
                              {0.2627002, 0.6779981, 0.0593017},
                              {0.0, 0.0280727, 1.0609253}}};
constexpr Mat3 kA98ToXyz{{{0.5766691, 0.1855582, 0.1882286},
                          {0.2973439, 0.6273539, 0.0752913},
                          {0.0270312, 0.0706872, 0.9913374}}};
constexpr Mat3 kProPhotoToXyz{{{0.7976742, 0.1351916, 0.0316382},
                               {0.2880402, 0.7118741, 0.0000922},
                               {0.0, 0.0, 0.82521}}};

void addPair(SpaceRegistry& r, const char* name, SpaceTag tag, const Vec3& white,
             int32_t transfer, double gamma, const Mat3& toXyz) {
  r.add(makeRgbDescriptor(name, tag, famRgbEncoded, white, transfer, gamma, toXyz, true,
                          {"r", "g", "b"}));
  r.add(makeRgbDescriptor(std::string(name) + "-linear", tag + 1, famRgbLinear, white,
                          kTransferLinear, 0.0, toXyz, true, {"r", "g", "b"}));
}

}  // namespace

void addRgbSpaces(SpaceRegistry& r) {
  addPair(r, "srgb", kSrgb, kD65, kTransferSrgb, 0.0, kSrgbToXyz);
  addPair(r, "p3", kP3, kD65, kTransferSrgb, 0.0, kP3ToXyz);
  addPair(r, "rec2020", kRec2020, kD65, kTransferRec2020, 0.0, kRec2020ToXyz);
  // The A98 exponent is exactly 2.2, not 563/256.
  addPair(r, "a98", kA98, kD65, kTransferGamma, 2.2, kA98ToXyz);
  addPair(r, "prophoto", kProPhoto, kD50, kTransferProPhoto, 0.0, kProPhotoToXyz);
}

}  // namespace kd::prismel
