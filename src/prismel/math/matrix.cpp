#include "prismel/math/matrix.h"

#include <cmath>

namespace kd::prismel {

namespace {

constexpr Mat3 kBradford{{{0.8951, 0.2664, -0.1614},
                          {-0.7502, 1.7135, 0.0367},
                          {0.0389, -0.0685, 1.0296}}};
constexpr Mat3 kBradfordInverse{{{0.9869929, -0.1470543, 0.1599627},
                                 {0.4323053, 0.5183603, 0.0492922},
                                 {-0.0085287, 0.0400428, 0.9684867}}};

}  // namespace

double det3(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

Result<Mat3> inverse3(const Mat3& m) {
  for (const auto& row : m) {
    for (double v : row) {
      if (!std::isfinite(v)) return colorError(ceNumeric, "inverse3: non-finite entry", "matrices");
    }
  }
  const double det = det3(m);
  if (std::isnan(det) || std::fabs(det) < 1e-9) {
    return colorError(ceNumeric, "inverse3: singular matrix", "matrices");
  }
  const double inv = 1.0 / det;
  Mat3 r;
  r[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) * inv;
  r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * inv;
  r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * inv;
  r[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) * inv;
  r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * inv;
  r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * inv;
  r[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) * inv;
  r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * inv;
  r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * inv;
  return r;
}

Mat3 mul3(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    }
  }
  return r;
}

Mat3 bradfordMatrix(const Vec3& src, const Vec3& dst) {
  const Vec3 s = apply3(kBradford, src);
  const Vec3 d = apply3(kBradford, dst);
  Mat3 scale{};
  for (int i = 0; i < 3; ++i) scale[i][i] = d[i] / s[i];
  return mul3(kBradfordInverse, mul3(scale, kBradford));
}

}  // namespace kd::prismel
