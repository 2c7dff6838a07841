// The registry of colour spaces: filled once, in tag order, by the space
// modules, then sealed and only read.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "prismel/spaces/descriptor.h"

namespace kd::prismel {

class SpaceRegistry {
 public:
  // False, and nothing changes, when sealed, the name is empty, or the name
  // or tag is already present; otherwise stores a copy under both keys.
  bool add(const SpaceDescriptor& d);
  void seal() { sealed_ = true; }
  bool sealed() const { return sealed_; }

  // Null when absent. Pointers stay valid for the registry's lifetime.
  const SpaceDescriptor* byTag(SpaceTag tag) const;
  const SpaceDescriptor* byName(std::string_view name) const;

  // Registration order.
  const std::vector<std::unique_ptr<SpaceDescriptor>>& all() const { return order_; }

 private:
  static constexpr SpaceTag kDirect = 64;  // tags below this skip the hash table
  bool sealed_ = false;
  std::vector<std::unique_ptr<SpaceDescriptor>> order_;
  std::unordered_map<std::string, const SpaceDescriptor*> byName_;
  std::unordered_map<SpaceTag, const SpaceDescriptor*> byTag_;
  std::array<const SpaceDescriptor*, kDirect> direct_{};
};

// The process-wide registry. Fills itself with the 26 built-in spaces and
// seals on first use, so it works whether or not the library was initialised.
const SpaceRegistry& spaceRegistry();

// Forces the registry to fill (library start-up).
void initSpaces();

bool registerSpace(const SpaceDescriptor& d);  // false once sealed (always after start)
void sealSpaces();
const SpaceDescriptor* spaceByTag(SpaceTag tag);
const SpaceDescriptor* spaceByName(std::string_view name);

// The space modules, each adding its descriptors in tag order.
void addRgbSpaces(SpaceRegistry& r);          // 1-10
void addCieSpaces(SpaceRegistry& r);          // 11-14: xyz, xyy, lab, lch
void addOkSpaces(SpaceRegistry& r);           // 15-16: oklab, oklch
void addCylindricalSpaces(SpaceRegistry& r);  // 17-19: hsv, hsl, hwb
void addDeviceSpaces(SpaceRegistry& r);       // 20-21: cmyk, ycbcr
void addHdrSpaces(SpaceRegistry& r);          // 22-23: ictcp, jzazbz
void addAppearanceSpaces(SpaceRegistry& r);   // 24-26: cam16, cam16-ucs, hct

// Well-known tags.
inline constexpr SpaceTag kSrgb = 1;
inline constexpr SpaceTag kSrgbLinear = 2;
inline constexpr SpaceTag kP3 = 3;
inline constexpr SpaceTag kP3Linear = 4;
inline constexpr SpaceTag kRec2020 = 5;
inline constexpr SpaceTag kRec2020Linear = 6;
inline constexpr SpaceTag kA98 = 7;
inline constexpr SpaceTag kA98Linear = 8;
inline constexpr SpaceTag kProPhoto = 9;
inline constexpr SpaceTag kProPhotoLinear = 10;
inline constexpr SpaceTag kXyz = 11;
inline constexpr SpaceTag kXyy = 12;
inline constexpr SpaceTag kLab = 13;
inline constexpr SpaceTag kLch = 14;
inline constexpr SpaceTag kOklab = 15;
inline constexpr SpaceTag kOklch = 16;
inline constexpr SpaceTag kHsv = 17;
inline constexpr SpaceTag kHsl = 18;
inline constexpr SpaceTag kHwb = 19;
inline constexpr SpaceTag kCmyk = 20;
inline constexpr SpaceTag kYcbcr = 21;
inline constexpr SpaceTag kIctcp = 22;
inline constexpr SpaceTag kJzazbz = 23;
inline constexpr SpaceTag kCam16 = 24;
inline constexpr SpaceTag kCam16Ucs = 25;
inline constexpr SpaceTag kHct = 26;

}  // namespace kd::prismel
