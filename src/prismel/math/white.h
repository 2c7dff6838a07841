// Reference whites (XYZ, Y = 1).
#pragma once

#include "prismel/math/matrix.h"

namespace kd::prismel {

inline constexpr Vec3 kD65{0.95047, 1.0, 1.08883};
inline constexpr Vec3 kD50{0.964296, 1.0, 0.825105};

// Whites compare equal only when all three coordinates are exactly equal.
inline bool sameWhite(const Vec3& a, const Vec3& b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

}  // namespace kd::prismel
