// The CAM16 colour appearance model under one fixed set of viewing
// conditions (D65 white, adapting luminance 200/π·Y(L*=50)/100, grey
// background L* = 50, average surround, no discounting), CAM16-UCS and the
// forward HCT coordinates.
#pragma once

#include <array>

#include "prismel/math/matrix.h"

namespace kd::prismel {

struct ViewingConditions {
  double n, aw, nbb, ncb, c, nc, fl, flRoot, z;
  std::array<double, 3> rgbD;
};

const ViewingConditions& defaultViewingConditions();

// Y on the 0..100 scale of a CIE L*.
double yFromLstar100(double lstar);
// CIE L* of Y on the 0..1 scale.
double lstarFromY(double y);

struct Cam16 {
  double j, c, h;  // lightness, chroma, hue angle in degrees [0, 360)
  double m;        // colourfulness
  double jStar, aStar, bStar;  // CAM16-UCS
};

// Hub XYZ × 100 (white Y = 100).
Cam16 xyz100ToCam16(const Vec3& xyz100);
Vec3 cam16ToXyz100(double j, double c, double h);
// CAM16-UCS (J', a', b') -> (J, C, h).
Vec3 ucsToCam16Jch(const Vec3& ucs);

}  // namespace kd::prismel
