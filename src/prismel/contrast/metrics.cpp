#include "prismel/contrast/metrics.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hub.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

template <class Metric>
class MetricTable {
 public:
  bool add(const Metric& m) {
    if (sealed_ || m.name.empty() || m.fn == nullptr || index_.count(m.name) != 0) return false;
    index_.emplace(m.name, entries_.size());
    entries_.push_back(m);
    return true;
  }
  void seal() { sealed_ = true; }
  const Metric* find(std::string_view name) const {
    auto it = index_.find(std::string(name));
    return it == index_.end() ? nullptr : &entries_[it->second];
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Metric& m : entries_) out.push_back(m.name);
    return out;
  }

 private:
  bool sealed_ = false;
  std::vector<Metric> entries_;
  std::unordered_map<std::string, size_t> index_;
};

MetricTable<ContrastMetric>& contrastTable() {
  static MetricTable<ContrastMetric> table = [] {
    MetricTable<ContrastMetric> t;
    t.add({"wcag22", contrastWcag22});
    t.add({"apca", contrastApca});
    t.add({"bridgepca", contrastBridgePca});
    t.seal();
    return t;
  }();
  return table;
}

MetricTable<DifferenceMetric>& differenceTable() {
  static MetricTable<DifferenceMetric> table = [] {
    MetricTable<DifferenceMetric> t;
    t.add({"deltaE76", deltaE76});
    t.add({"deltaE94", deltaE94});
    t.add({"deltaE2000", deltaE2000});
    t.add({"deltaE_cmc", deltaECmc});
    t.add({"deltaE_ok", deltaEOk});
    t.add({"deltaE_itp", deltaEItp});
    t.add({"deltaE_jz", deltaEJz});
    t.add({"deltaE_cam16Ucs", deltaECam16Ucs});
    t.seal();
    return t;
  }();
  return table;
}

// Both colours in one space, as float64 triples.
struct Pair {
  Vec3 a, b;
};

// A colour already in the metric's space is taken as it is (not sent round
// through XYZ, which would add the conversion's rounding).
Result<Color> into(SpaceTag space, const Color& c) {
  if (c.space == space) return c;
  return to(space, c);
}

Result<Pair> inSpace(SpaceTag space, const Color& x, const Color& y) {
  Result<Color> a = into(space, x);
  if (!a.ok()) return a.error();
  Result<Color> b = into(space, y);
  if (!b.ok()) return b.error();
  const Color& ca = a.value();
  const Color& cb = b.value();
  return Pair{{ca.c[0], ca.c[1], ca.c[2]}, {cb.c[0], cb.c[1], cb.c[2]}};
}

double euclid(const Pair& p) {
  const double d0 = p.a[0] - p.b[0];
  const double d1 = p.a[1] - p.b[1];
  const double d2 = p.a[2] - p.b[2];
  return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}

// Encoded sRGB components clamped to the gamut, for the contrast metrics,
// which are defined on display colours.
Result<Vec3> displayRgb(const Color& c) {
  Result<Color> s = to(kSrgb, c);
  if (!s.ok()) return s.error();
  Vec3 v;
  for (int i = 0; i < 3; ++i) v[i] = std::clamp(static_cast<double>(s.value().c[i]), 0.0, 1.0);
  return v;
}

double degrees(double rad) { return rad * 180 / kPi; }
double radians(double deg) { return deg * kPi / 180; }

// APCA 0.0.98G-4g constants.
constexpr double kApcaNormBg = 0.56, kApcaNormTxt = 0.57, kApcaRevTxt = 0.62, kApcaRevBg = 0.65;
constexpr double kApcaBlkThrs = 0.022, kApcaBlkClmp = 1.414;
constexpr double kApcaScale = 1.14, kApcaOffset = 0.027, kApcaLoClip = 0.1;
constexpr double kApcaDeltaYmin = 0.0005;

// Lc from text and background luminance; `bridge` adds Bridge-PCA's term
// for reverse polarity.
double apcaFromY(double yTxt, double yBg, bool bridge) {
  const auto clampBlack = [](double y) {
    return y > kApcaBlkThrs ? y : y + std::pow(kApcaBlkThrs - y, kApcaBlkClmp);
  };
  yTxt = clampBlack(yTxt);
  yBg = clampBlack(yBg);
  if (std::fabs(yBg - yTxt) < kApcaDeltaYmin) return 0;
  double out;
  if (yBg > yTxt) {
    const double sapc = (std::pow(yBg, kApcaNormBg) - std::pow(yTxt, kApcaNormTxt)) * kApcaScale;
    out = sapc < kApcaLoClip ? 0 : sapc - kApcaOffset;
  } else {
    const double sapc = (std::pow(yBg, kApcaRevBg) - std::pow(yTxt, kApcaRevTxt)) * kApcaScale;
    const double lift = bridge ? std::max(0.0, yTxt / 0.84 - 1.0) * 0.1414 : 0.0;
    out = sapc > -kApcaLoClip ? 0 : sapc + kApcaOffset + lift;
  }
  return out * 100;
}

}  // namespace

bool registerContrastMetric(const ContrastMetric& m) { return contrastTable().add(m); }
bool registerDifferenceMetric(const DifferenceMetric& m) { return differenceTable().add(m); }
const ContrastMetric* contrastMetric(std::string_view name) { return contrastTable().find(name); }
const DifferenceMetric* differenceMetric(std::string_view name) {
  return differenceTable().find(name);
}
std::vector<std::string> contrastMetricNames() { return contrastTable().names(); }
std::vector<std::string> differenceMetricNames() { return differenceTable().names(); }

void initMetrics() {
  (void)contrastTable();
  (void)differenceTable();
}

// WCAG 2.2 contrast ratio: relative luminance of the (clamped) sRGB colours
// with the sRGB curve, (lighter + 0.05) / (darker + 0.05).
Result<double> contrastWcag22(const Color& text, const Color& background) {
  const auto luminance = [](const Vec3& rgb) {
    const auto lin = [](double v) {
      return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(rgb[0]) + 0.7152 * lin(rgb[1]) + 0.0722 * lin(rgb[2]);
  };
  Result<Vec3> t = displayRgb(text);
  if (!t.ok()) return t.error();
  Result<Vec3> b = displayRgb(background);
  if (!b.ok()) return b.error();
  const double l1 = luminance(t.value());
  const double l2 = luminance(b.value());
  return (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
}

// APCA (0.0.98G-4g): screen luminance with a simple 2.4 exponent, soft black
// clamp, polarity-dependent exponents; Lc is positive for dark text on light.
Result<double> contrastApca(const Color& text, const Color& background) {
  const auto screenY = [](const Vec3& rgb) {
    return 0.2126729 * std::pow(rgb[0], 2.4) + 0.7151522 * std::pow(rgb[1], 2.4) +
           0.0721750 * std::pow(rgb[2], 2.4);
  };
  Result<Vec3> t = displayRgb(text);
  if (!t.ok()) return t.error();
  Result<Vec3> b = displayRgb(background);
  if (!b.ok()) return b.error();
  return apcaFromY(screenY(t.value()), screenY(b.value()), false);
}

// Bridge-PCA 0.1.6: APCA's lightness contrast on a screen luminance with
// its own sRGB coefficients, plus a bridge term for light text on dark
// backgrounds that lines the results up with WCAG 2 ratios.
Result<double> contrastBridgePca(const Color& text, const Color& background) {
  const auto screenY = [](const Vec3& rgb) {
    return 0.2126478133913640 * std::pow(rgb[0], 2.4) +
           0.7151791475336150 * std::pow(rgb[1], 2.4) +
           0.0721730390750208 * std::pow(rgb[2], 2.4);
  };
  Result<Vec3> t = displayRgb(text);
  if (!t.ok()) return t.error();
  Result<Vec3> b = displayRgb(background);
  if (!b.ok()) return b.error();
  return apcaFromY(screenY(t.value()), screenY(b.value()), true);
}

Result<double> deltaE76(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kLab, a, b);
  if (!p.ok()) return p.error();
  return euclid(p.value());
}

double cie94(double l1, double a1, double b1, double l2, double a2, double b2) {
  const double c1 = std::hypot(a1, b1);
  const double c2 = std::hypot(a2, b2);
  const double dl = l1 - l2;
  const double dc = c1 - c2;
  const double da = a1 - a2;
  const double db = b1 - b2;
  const double dh2 = std::max(0.0, da * da + db * db - dc * dc);
  const double sc = 1 + 0.045 * c1;
  const double sh = 1 + 0.015 * c1;
  return std::sqrt(dl * dl + (dc / sc) * (dc / sc) + dh2 / (sh * sh));
}

Result<double> deltaE94(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kLab, a, b);
  if (!p.ok()) return p.error();
  const Pair& v = p.value();
  return cie94(v.a[0], v.a[1], v.a[2], v.b[0], v.b[1], v.b[2]);
}

// CIEDE2000 (Sharma, Wu, Dalal 2005) with kL = kC = kH = 1.
double ciede2000(double l1, double a1, double b1, double l2, double a2, double b2) {
  const double c1 = std::hypot(a1, b1);
  const double c2 = std::hypot(a2, b2);
  const double cBar = (c1 + c2) / 2;
  const double cBar7 = std::pow(cBar, 7);
  const double g = 0.5 * (1 - std::sqrt(cBar7 / (cBar7 + std::pow(25.0, 7))));
  const double ap1 = (1 + g) * a1;
  const double ap2 = (1 + g) * a2;
  const double cp1 = std::hypot(ap1, b1);
  const double cp2 = std::hypot(ap2, b2);
  const auto hueAngle = [](double b, double ap) {
    if (b == 0 && ap == 0) return 0.0;
    double h = degrees(std::atan2(b, ap));
    if (h < 0) h += 360;
    return h;
  };
  const double hp1 = hueAngle(b1, ap1);
  const double hp2 = hueAngle(b2, ap2);
  const double dL = l2 - l1;
  const double dC = cp2 - cp1;
  double dh = 0;
  if (cp1 * cp2 != 0) {
    dh = hp2 - hp1;
    if (dh > 180) dh -= 360;
    if (dh < -180) dh += 360;
  }
  const double dH = 2 * std::sqrt(cp1 * cp2) * std::sin(radians(dh / 2));
  const double lBar = (l1 + l2) / 2;
  const double cpBar = (cp1 + cp2) / 2;
  double hBar = hp1 + hp2;
  if (cp1 * cp2 != 0) {
    if (std::fabs(hp1 - hp2) <= 180) {
      hBar = (hp1 + hp2) / 2;
    } else if (hp1 + hp2 < 360) {
      hBar = (hp1 + hp2 + 360) / 2;
    } else {
      hBar = (hp1 + hp2 - 360) / 2;
    }
  }
  const double t = 1 - 0.17 * std::cos(radians(hBar - 30)) + 0.24 * std::cos(radians(2 * hBar)) +
                   0.32 * std::cos(radians(3 * hBar + 6)) - 0.20 * std::cos(radians(4 * hBar - 63));
  const double dTheta = 30 * std::exp(-((hBar - 275) / 25) * ((hBar - 275) / 25));
  const double cpBar7 = std::pow(cpBar, 7);
  const double rc = 2 * std::sqrt(cpBar7 / (cpBar7 + std::pow(25.0, 7)));
  const double lb50 = (lBar - 50) * (lBar - 50);
  const double sl = 1 + 0.015 * lb50 / std::sqrt(20 + lb50);
  const double sc = 1 + 0.045 * cpBar;
  const double sh = 1 + 0.015 * cpBar * t;
  const double rt = -std::sin(radians(2 * dTheta)) * rc;
  const double tl = dL / sl;
  const double tc = dC / sc;
  const double th = dH / sh;
  return std::sqrt(tl * tl + tc * tc + th * th + rt * tc * th);
}

Result<double> deltaE2000(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kLab, a, b);
  if (!p.ok()) return p.error();
  const Pair& v = p.value();
  return ciede2000(v.a[0], v.a[1], v.a[2], v.b[0], v.b[1], v.b[2]);
}

// CMC l:c (Clarke, McDonald, Rigg 1984), the first colour as reference.
double cmc(double l1, double a1, double b1, double l2, double a2, double b2, double l, double c) {
  const double c1 = std::hypot(a1, b1);
  const double c2 = std::hypot(a2, b2);
  const double dL = l1 - l2;
  const double dC = c1 - c2;
  const double da = a1 - a2;
  const double db = b1 - b2;
  const double dH2 = std::max(0.0, da * da + db * db - dC * dC);
  double h1 = degrees(std::atan2(b1, a1));
  if (h1 < 0) h1 += 360;
  const double c14 = c1 * c1 * c1 * c1;
  const double f = std::sqrt(c14 / (c14 + 1900));
  const double t = (h1 >= 164 && h1 <= 345) ? 0.56 + std::fabs(0.2 * std::cos(radians(h1 + 168)))
                                            : 0.36 + std::fabs(0.4 * std::cos(radians(h1 + 35)));
  const double sl = l1 < 16 ? 0.511 : 0.040975 * l1 / (1 + 0.01765 * l1);
  const double sc = 0.0638 * c1 / (1 + 0.0131 * c1) + 0.638;
  const double sh = sc * (f * t + 1 - f);
  const double tl = dL / (l * sl);
  const double tc = dC / (c * sc);
  return std::sqrt(tl * tl + tc * tc + dH2 / (sh * sh));
}

Result<double> deltaECmc(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kLab, a, b);
  if (!p.ok()) return p.error();
  const Pair& v = p.value();
  return cmc(v.a[0], v.a[1], v.a[2], v.b[0], v.b[1], v.b[2], 2, 1);
}

// Euclidean distance in OKLab, unscaled.
Result<double> deltaEOk(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kOklab, a, b);
  if (!p.ok()) return p.error();
  return euclid(p.value());
}

// ITU-R BT.2124: 720 · sqrt(ΔI² + ΔT² + ΔP²) with T = Ct / 2, P = Cp.
Result<double> deltaEItp(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kIctcp, a, b);
  if (!p.ok()) return p.error();
  const Pair& v = p.value();
  const double di = v.a[0] - v.b[0];
  const double dt = 0.5 * (v.a[1] - v.b[1]);
  const double dp = v.a[2] - v.b[2];
  return 720 * std::sqrt(di * di + dt * dt + dp * dp);
}

// Safdar et al. 2017: sqrt(ΔJz² + ΔCz² + ΔHz²), ΔHz = 2 sqrt(Cz1 Cz2) sin(Δhz / 2).
Result<double> deltaEJz(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kJzazbz, a, b);
  if (!p.ok()) return p.error();
  const Pair& v = p.value();
  const double c1 = std::hypot(v.a[1], v.a[2]);
  const double c2 = std::hypot(v.b[1], v.b[2]);
  const double h1 = std::atan2(v.a[2], v.a[1]);
  const double h2 = std::atan2(v.b[2], v.b[1]);
  const double dj = v.a[0] - v.b[0];
  const double dc = c1 - c2;
  const double dh = 2 * std::sqrt(c1 * c2) * std::sin((h1 - h2) / 2);
  return std::sqrt(dj * dj + dc * dc + dh * dh);
}

// Euclidean distance in CAM16-UCS (Li et al. 2017).
Result<double> deltaECam16Ucs(const Color& a, const Color& b) {
  Result<Pair> p = inSpace(kCam16Ucs, a, b);
  if (!p.ok()) return p.error();
  return euclid(p.value());
}

}  // namespace kd::prismel
