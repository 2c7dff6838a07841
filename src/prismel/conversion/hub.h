// The conversion hub: every registered space converts into every other
// through D65-relative CIE XYZ (float64, white Y = 1), except a few direct
// short paths between closely related spaces. Alpha is never converted.
#pragma once

#include "prismel/core/color.h"
#include "prismel/math/matrix.h"

namespace kd::prismel {

// c expressed in the space `target`, with c's alpha. The first error met is
// returned unchanged.
Result<Color> to(SpaceTag target, const Color& c);
inline Result<Color> to(const Color& c, SpaceTag target) { return to(target, c); }

// Decodes c into hub XYZ; kind 1 "space not registered" for an unknown tag.
Result<Vec3> toXYZ(const Color& c);

// Encodes hub XYZ into `target` (alpha 1); kind 1 "target space not
// registered" for an unknown tag.
Result<Color> fromXYZ(const Vec3& xyz, SpaceTag target);

// True for srgb<->srgb-linear, lab<->lch, oklab<->oklch and any two distinct
// members of {hsv, hsl, hwb}.
bool isShortPathPair(SpaceTag from, SpaceTag target);

// The direct conversions of those pairs; kind 10 "not a short-path pair"
// otherwise.
Result<Color> shortPath(SpaceTag target, const Color& c);

// Sets up the hub's derived matrices (library start-up; also done on first
// use).
void initConversions();

}  // namespace kd::prismel
