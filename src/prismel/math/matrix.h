// 3x3 float64 matrices and vectors for colour conversions. Matrices are
// row-major: m[row][column].
#pragma once

#include <array>

#include "prismel/core/color.h"

namespace kd::prismel {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<std::array<double, 3>, 3>;

inline constexpr Mat3 kIdentity3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

double det3(const Mat3& m);

// Fails with ceNumeric, where "matrices", on a non-finite entry or when
// |det| < 1e-9.
Result<Mat3> inverse3(const Mat3& m);

// m × v, each row summed left to right.
inline Vec3 apply3(const Mat3& m, const Vec3& v) {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

// a × b.
Mat3 mul3(const Mat3& a, const Mat3& b);

// Bradford chromatic adaptation from white src to white dst (XYZ). Uses the
// published seven-digit inverse of the Bradford cone matrix, so D65 -> D65 is
// the identity only to about seven digits.
Mat3 bradfordMatrix(const Vec3& src, const Vec3& dst);

}  // namespace kd::prismel
