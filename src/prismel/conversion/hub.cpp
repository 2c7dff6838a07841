#include "prismel/conversion/hub.h"

#include <cmath>

#include "prismel/conversion/cam16.h"
#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hct.h"
#include "prismel/math/white.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

// Derived once: Bradford adaptations between D50 and D65, and the sRGB
// matrices that OKLab goes through.
struct HubMatrices {
  Mat3 d50ToD65, d65ToD50;
  Mat3 srgbToXyz, xyzToSrgb;
};

const HubMatrices& hubMatrices() {
  static const HubMatrices m = [] {
    const SpaceDescriptor* lin = spaceByTag(kSrgbLinear);
    return HubMatrices{bradfordMatrix(kD50, kD65), bradfordMatrix(kD65, kD50), lin->toXyz,
                       lin->fromXyz};
  }();
  return m;
}

Vec3 adaptToD65(const Vec3& white, const Vec3& xyz) {
  if (sameWhite(white, kD65)) return xyz;
  if (sameWhite(white, kD50)) return apply3(hubMatrices().d50ToD65, xyz);
  return apply3(bradfordMatrix(white, kD65), xyz);
}

Vec3 adaptFromD65(const Vec3& white, const Vec3& xyz) {
  if (sameWhite(white, kD65)) return xyz;
  if (sameWhite(white, kD50)) return apply3(hubMatrices().d65ToD50, xyz);
  return apply3(bradfordMatrix(kD65, white), xyz);
}

Vec3 componentsOf(const Color& c) { return {c.c[0], c.c[1], c.c[2]}; }

Result<Color> makeColor(SpaceTag space, const Vec3& v, float alpha) {
  return color(space, narrow(v[0]), narrow(v[1]), narrow(v[2]), alpha);
}

Vec3 rgbEncodedToXyz(const SpaceDescriptor& d, const Vec3& v) {
  const Vec3 lin{decodeTransfer(d.transfer, d.gamma, v[0]),
                 decodeTransfer(d.transfer, d.gamma, v[1]),
                 decodeTransfer(d.transfer, d.gamma, v[2])};
  return adaptToD65(d.white, apply3(d.toXyz, lin));
}

Vec3 xyzToRgbEncoded(const SpaceDescriptor& d, const Vec3& xyz) {
  const Vec3 lin = apply3(d.fromXyz, adaptFromD65(d.white, xyz));
  return {encodeTransfer(d.transfer, d.gamma, lin[0]), encodeTransfer(d.transfer, d.gamma, lin[1]),
          encodeTransfer(d.transfer, d.gamma, lin[2])};
}

// The spaces defined on encoded sRGB components (HSV, HSL, HWB, YCbCr) reach
// the hub through an "srgb" colour.
Result<Vec3> srgbComponentsToXyz(const Vec3& rgb) {
  Result<Color> srgb = makeColor(kSrgb, rgb, 1.0f);
  if (!srgb.ok()) return srgb.error();
  return rgbEncodedToXyz(*spaceByTag(kSrgb), componentsOf(srgb.value()));
}

Result<Vec3> xyzToSrgbComponents(const Vec3& xyz) {
  Result<Color> srgb = fromXYZ(xyz, kSrgb);
  if (!srgb.ok()) return srgb.error();
  return componentsOf(srgb.value());
}

Vec3 toSrgbFromCylindrical(SpaceFamily family, const Vec3& v) {
  switch (family) {
    case famHsv: return hsvToSrgb(v);
    case famHsl: return hslToSrgb(v);
    default: return hwbToSrgb(v);
  }
}

Vec3 fromSrgbToCylindrical(SpaceFamily family, const Vec3& rgb) {
  switch (family) {
    case famHsv: return srgbToHsv(rgb);
    case famHsl: return srgbToHsl(rgb);
    default: return srgbToHwb(rgb);
  }
}

Vec3 scale(const Vec3& v, double k) { return {v[0] * k, v[1] * k, v[2] * k}; }

}  // namespace

void initConversions() { (void)hubMatrices(); }

Result<Vec3> toXYZ(const Color& c) {
  const SpaceDescriptor* d = spaceByTag(c.space);
  if (d == nullptr) return colorError(ceUnknownSpace, "space not registered", "toXYZ");
  const Vec3 v = componentsOf(c);
  switch (d->family) {
    case famRgbEncoded:
      return rgbEncodedToXyz(*d, v);
    case famRgbLinear:
      return adaptToD65(d->white, apply3(d->toXyz, v));
    case famXyz:
      return v;
    case famXyy:
      return xyyToXYZ(v);
    case famLab:
      return apply3(hubMatrices().d50ToD65, labToXyzD50(v));
    case famLch:
      return apply3(hubMatrices().d50ToD65, labToXyzD50(polarToRect(v)));
    case famOklab:
      return apply3(hubMatrices().srgbToXyz, oklabToLinearSrgb(v));
    case famOklch:
      return apply3(hubMatrices().srgbToXyz, oklabToLinearSrgb(polarToRect(v)));
    case famHsv:
    case famHsl:
    case famHwb:
      return srgbComponentsToXyz(toSrgbFromCylindrical(d->family, v));
    case famYcbcr:
      return srgbComponentsToXyz(ycbcrToSrgb(v));
    case famIctcp:
      return ictcpToXyz(v);
    case famJzazbz:
      return jzazbzToXyz(v);
    case famCam16:
      return scale(cam16ToXyz100(v[0], v[1], v[2]), 0.01);
    case famCam16Ucs: {
      const Vec3 jch = ucsToCam16Jch(v);
      return scale(cam16ToXyz100(jch[0], jch[1], jch[2]), 0.01);
    }
    case famHct: {
      const std::array<uint8_t, 3> rgb = solveToInt(v[0], v[1], v[2]);
      return srgbComponentsToXyz(Vec3{static_cast<float>(rgb[0]) / 255.0f,
                                      static_cast<float>(rgb[1]) / 255.0f,
                                      static_cast<float>(rgb[2]) / 255.0f});
    }
    case famCmyk:
      break;
  }
  return colorError(ceInvalidArgument, "toXYZ not implemented for family", familyName(d->family));
}

Result<Color> fromXYZ(const Vec3& xyz, SpaceTag target) {
  const SpaceDescriptor* d = spaceByTag(target);
  if (d == nullptr) return colorError(ceUnknownSpace, "target space not registered", "fromXYZ");
  switch (d->family) {
    case famRgbEncoded:
      return makeColor(target, xyzToRgbEncoded(*d, xyz), 1.0f);
    case famRgbLinear:
      return makeColor(target, apply3(d->fromXyz, adaptFromD65(d->white, xyz)), 1.0f);
    case famXyz:
      return makeColor(target, xyz, 1.0f);
    case famXyy: {
      Result<Vec3> v = xyzToXyy(xyz);
      if (!v.ok()) return v.error();
      return makeColor(target, v.value(), 1.0f);
    }
    case famLab:
      return makeColor(target, xyzD50ToLab(apply3(hubMatrices().d65ToD50, xyz)), 1.0f);
    case famLch: {
      Vec3 lch = rectToPolar(xyzD50ToLab(apply3(hubMatrices().d65ToD50, xyz)));
      lch[2] = std::fmod(lch[2], 360.0);
      if (lch[2] < 0) lch[2] += 360;
      return makeColor(target, lch, 1.0f);
    }
    case famOklab:
      return makeColor(target, linearSrgbToOklab(apply3(hubMatrices().xyzToSrgb, xyz)), 1.0f);
    case famOklch: {
      Vec3 lch = rectToPolar(linearSrgbToOklab(apply3(hubMatrices().xyzToSrgb, xyz)));
      lch[2] = std::fmod(lch[2], 360.0);
      if (lch[2] < 0) lch[2] += 360;
      return makeColor(target, lch, 1.0f);
    }
    case famHsv:
    case famHsl:
    case famHwb: {
      Result<Vec3> rgb = xyzToSrgbComponents(xyz);
      if (!rgb.ok()) return rgb.error();
      return makeColor(target, fromSrgbToCylindrical(d->family, rgb.value()), 1.0f);
    }
    case famYcbcr: {
      Result<Vec3> rgb = xyzToSrgbComponents(xyz);
      if (!rgb.ok()) return rgb.error();
      return makeColor(target, srgbToYcbcr(rgb.value()), 1.0f);
    }
    case famIctcp:
      return makeColor(target, xyzToIctcp(xyz), 1.0f);
    case famJzazbz:
      return makeColor(target, xyzToJzazbz(xyz), 1.0f);
    case famCam16: {
      const Cam16 cam = xyz100ToCam16(scale(xyz, 100));
      return makeColor(target, Vec3{cam.j, cam.c, cam.h}, 1.0f);
    }
    case famCam16Ucs: {
      const Cam16 cam = xyz100ToCam16(scale(xyz, 100));
      return makeColor(target, Vec3{cam.jStar, cam.aStar, cam.bStar}, 1.0f);
    }
    case famHct:
      return makeColor(target, xyzToHct(xyz), 1.0f);
    case famCmyk:
      break;
  }
  return colorError(ceInvalidArgument, "fromXYZ not implemented for family",
                    familyName(d->family));
}

bool isShortPathPair(SpaceTag from, SpaceTag target) {
  const auto pair = [&](SpaceTag a, SpaceTag b) {
    return (from == a && target == b) || (from == b && target == a);
  };
  if (pair(kSrgb, kSrgbLinear) || pair(kLab, kLch) || pair(kOklab, kOklch)) return true;
  const auto cylindrical = [](SpaceTag t) { return t == kHsv || t == kHsl || t == kHwb; };
  return from != target && cylindrical(from) && cylindrical(target);
}

Result<Color> shortPath(SpaceTag target, const Color& c) {
  if (!isShortPathPair(c.space, target)) {
    return colorError(ceInvalidArgument, "not a short-path pair", "shortPath");
  }
  const Vec3 v = componentsOf(c);
  Vec3 out;
  if (target == kSrgbLinear) {
    out = {decodeTransfer(kTransferSrgb, 0, v[0]), decodeTransfer(kTransferSrgb, 0, v[1]),
           decodeTransfer(kTransferSrgb, 0, v[2])};
  } else if (target == kSrgb) {
    out = {encodeTransfer(kTransferSrgb, 0, v[0]), encodeTransfer(kTransferSrgb, 0, v[1]),
           encodeTransfer(kTransferSrgb, 0, v[2])};
  } else if (target == kLch || target == kOklch) {
    out = rectToPolar(v);
  } else if (target == kLab || target == kOklab) {
    out = polarToRect(v);
  } else {
    const SpaceDescriptor* from = spaceByTag(c.space);
    const SpaceDescriptor* to = spaceByTag(target);
    out = fromSrgbToCylindrical(to->family, toSrgbFromCylindrical(from->family, v));
  }
  return makeColor(target, out, c.alpha);
}

Result<Color> to(SpaceTag target, const Color& c) {
  if (isShortPathPair(c.space, target)) return shortPath(target, c);
  Result<Vec3> xyz = toXYZ(c);
  if (!xyz.ok()) return xyz.error();
  Result<Color> out = fromXYZ(xyz.value(), target);
  if (!out.ok()) return out.error();
  Color result = out.value();
  result.alpha = c.alpha;
  return result;
}

}  // namespace kd::prismel
