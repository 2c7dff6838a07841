#include "prismel/conversion/lift.h"

#include "base/cpu.h"

#if KD_X86_SIMD
#include <immintrin.h>
#endif

#include "prismel/conversion/formulas.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

const LiftTables& liftTables() {
  static const LiftTables tables = [] {
    LiftTables t;
    t.toXyz = spaceByTag(kSrgb)->toXyz;
    t.fromXyz = spaceByTag(kSrgbLinear)->fromXyz;
    for (int v = 0; v < 256; ++v) {
      t.decoded[v] = decodeTransfer(kTransferSrgb, 0, static_cast<float>(v) / 255.0f);
    }
    return t;
  }();
  return tables;
}

Color liftDecoded(const LiftTables& t, double r, double g, double b, float alpha) {
  const Vec3 lab = linearSrgbToOklab(apply3(t.fromXyz, apply3(t.toXyz, Vec3{r, g, b})));
  return Color{{static_cast<float>(lab[0]), static_cast<float>(lab[1]), static_cast<float>(lab[2])},
               alpha,
               kOklab};
}

namespace {

inline void samplesOf(const uint8_t* p, int channels, uint8_t& r, uint8_t& g, uint8_t& b,
                      float& alpha) {
  if (channels == 1) {
    r = g = b = p[0];
    alpha = 1.0f;
    return;
  }
  r = p[0];
  g = p[1];
  b = p[2];
  alpha = channels == 4 ? static_cast<float>(p[3]) / 255.0f : 1.0f;
}

}  // namespace

void liftScalar(const LiftTables& t, const uint8_t* samples, size_t n, int channels, Color* out) {
  const auto step = static_cast<size_t>(channels);
  for (size_t i = 0; i < n; ++i, samples += step) {
    uint8_t r, g, b;
    float alpha;
    samplesOf(samples, channels, r, g, b, alpha);
    out[i] = liftDecoded(t, t.decoded[r], t.decoded[g], t.decoded[b], alpha);
  }
}

#if KD_X86_SIMD

namespace {

using V = __m256d;

__attribute__((target("avx2"))) inline V rowTimes(const std::array<double, 3>& row, V x, V y,
                                                  V z) {
  // Summed left to right, as apply3 does.
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(row[0]), x),
                                     _mm256_mul_pd(_mm256_set1_pd(row[1]), y)),
                       _mm256_mul_pd(_mm256_set1_pd(row[2]), z));
}

__attribute__((target("avx2"))) inline void apply(const Mat3& m, V& x, V& y, V& z) {
  const V a = rowTimes(m[0], x, y, z);
  const V b = rowTimes(m[1], x, y, z);
  const V c = rowTimes(m[2], x, y, z);
  x = a;
  y = b;
  z = c;
}

// Four lanes of cubeRoot(): the same operations in the same order. Lanes whose
// input is zero, subnormal, infinite or NaN are recomputed by the scalar
// routine.
__attribute__((target("avx2"))) inline V cubeRoot4(V x) {
  const __m256i bits = _mm256_castpd_si256(x);
  const __m256i biased = _mm256_and_si256(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(0x7ff));
  const V two52 = _mm256_set1_pd(4503599627370496.0);
  // The biased exponent as a double (exact: it is below 2^11).
  const V biasedD = _mm256_sub_pd(
      _mm256_castsi256_pd(_mm256_or_si256(biased, _mm256_castpd_si256(two52))), two52);
  const V xe = _mm256_sub_pd(biasedD, _mm256_set1_pd(1022.0));
  const V xm = _mm256_castsi256_pd(
      _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000fffffffffffffLL)),
                      _mm256_set1_epi64x(static_cast<int64_t>(uint64_t{1022} << 52))));
  V u = _mm256_sub_pd(_mm256_set1_pd(0.784932344976639262),
                      _mm256_mul_pd(_mm256_set1_pd(0.145263899385486377), xm));
  u = _mm256_mul_pd(_mm256_add_pd(_mm256_set1_pd(-1.83469277483613086), _mm256_mul_pd(u, xm)), xm);
  u = _mm256_mul_pd(_mm256_add_pd(_mm256_set1_pd(2.44693122563534430), u), xm);
  u = _mm256_mul_pd(_mm256_add_pd(_mm256_set1_pd(-2.11499494167371287), u), xm);
  u = _mm256_mul_pd(_mm256_add_pd(_mm256_set1_pd(1.50819193781584896), u), xm);
  u = _mm256_add_pd(_mm256_set1_pd(0.354895765043919860), u);
  const V t2 = _mm256_mul_pd(_mm256_mul_pd(u, u), u);
  const V two = _mm256_set1_pd(2.0);
  V ym = _mm256_div_pd(_mm256_mul_pd(u, _mm256_add_pd(t2, _mm256_mul_pd(two, xm))),
                       _mm256_add_pd(_mm256_mul_pd(two, t2), xm));
  // xe = 3q + rem with q truncated toward zero, as C integer division does.
  const V q = _mm256_round_pd(_mm256_div_pd(xe, _mm256_set1_pd(3.0)),
                              _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const V rem = _mm256_sub_pd(xe, _mm256_mul_pd(_mm256_set1_pd(3.0), q));
  constexpr double kCbrt2 = 1.2599210498948731648;
  constexpr double kCbrt4 = 1.5874010519681994748;
  V factor = _mm256_set1_pd(1.0);
  factor = _mm256_blendv_pd(factor, _mm256_set1_pd(kCbrt2),
                            _mm256_cmp_pd(rem, _mm256_set1_pd(1.0), _CMP_EQ_OQ));
  factor = _mm256_blendv_pd(factor, _mm256_set1_pd(kCbrt4),
                            _mm256_cmp_pd(rem, _mm256_set1_pd(2.0), _CMP_EQ_OQ));
  factor = _mm256_blendv_pd(factor, _mm256_set1_pd(1.0 / kCbrt2),
                            _mm256_cmp_pd(rem, _mm256_set1_pd(-1.0), _CMP_EQ_OQ));
  factor = _mm256_blendv_pd(factor, _mm256_set1_pd(1.0 / kCbrt4),
                            _mm256_cmp_pd(rem, _mm256_set1_pd(-2.0), _CMP_EQ_OQ));
  ym = _mm256_mul_pd(ym, factor);
  // Sign of x (x is non-zero in the lanes kept).
  const V sign = _mm256_and_pd(x, _mm256_set1_pd(-0.0));
  ym = _mm256_or_pd(ym, sign);
  // 2^q from its exponent bits; q + 1023 is a small positive integer.
  const __m256i qBits = _mm256_castpd_si256(_mm256_add_pd(_mm256_add_pd(q, _mm256_set1_pd(1023.0)), two52));
  const V scale = _mm256_castsi256_pd(_mm256_slli_epi64(
      _mm256_and_si256(qBits, _mm256_set1_epi64x(0x7ff)), 52));
  V result = _mm256_mul_pd(ym, scale);
  const __m256i special = _mm256_or_si256(_mm256_cmpeq_epi64(biased, _mm256_setzero_si256()),
                                          _mm256_cmpeq_epi64(biased, _mm256_set1_epi64x(0x7ff)));
  if (!_mm256_testz_si256(special, special)) {
    alignas(32) double lanes[4];
    alignas(32) double in[4];
    _mm256_store_pd(lanes, result);
    _mm256_store_pd(in, x);
    for (int i = 0; i < 4; ++i) lanes[i] = cubeRoot(in[i]);
    result = _mm256_load_pd(lanes);
  }
  return result;
}

}  // namespace

__attribute__((target("avx2"))) void liftAvx2(const LiftTables& t, const uint8_t* samples, size_t n,
                                              int channels, Color* out) {
  const auto step = static_cast<size_t>(channels);
  const double* lut = t.decoded;
  size_t i = 0;
  for (; i + 4 <= n; i += 4, samples += 4 * step) {
    uint8_t r[4], g[4], b[4];
    float alpha[4];
    for (size_t j = 0; j < 4; ++j) samplesOf(samples + j * step, channels, r[j], g[j], b[j], alpha[j]);
    V x = _mm256_setr_pd(lut[r[0]], lut[r[1]], lut[r[2]], lut[r[3]]);
    V y = _mm256_setr_pd(lut[g[0]], lut[g[1]], lut[g[2]], lut[g[3]]);
    V z = _mm256_setr_pd(lut[b[0]], lut[b[1]], lut[b[2]], lut[b[3]]);
    apply(t.toXyz, x, y, z);
    apply(t.fromXyz, x, y, z);
    apply(kOklabM1, x, y, z);
    x = cubeRoot4(x);
    y = cubeRoot4(y);
    z = cubeRoot4(z);
    apply(kOklabM2, x, y, z);
    alignas(16) float l4[4], a4[4], b4[4];
    _mm_store_ps(l4, _mm256_cvtpd_ps(x));
    _mm_store_ps(a4, _mm256_cvtpd_ps(y));
    _mm_store_ps(b4, _mm256_cvtpd_ps(z));
    for (size_t j = 0; j < 4; ++j) out[i + j] = Color{{l4[j], a4[j], b4[j]}, alpha[j], kOklab};
  }
  liftScalar(t, samples, n - i, channels, out + i);
}

#else

void liftAvx2(const LiftTables& t, const uint8_t* samples, size_t n, int channels, Color* out) {
  liftScalar(t, samples, n, channels, out);
}

#endif

}  // namespace kd::prismel
