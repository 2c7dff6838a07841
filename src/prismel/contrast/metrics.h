// Registries of contrast metrics ("wcag22", "apca", "bridgepca") and colour
// difference metrics ("deltaE76" ... "deltaE_cam16Ucs"). Both are filled at
// start-up in that order and sealed; they also fill themselves on first use.
// Colours of any convertible space are accepted: each metric converts its
// inputs into the space it is defined in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "prismel/core/color.h"

namespace kd::prismel {

// Contrast of text (foreground) against a background. WCAG gives a ratio in
// [1, 21]; APCA and Bridge-PCA give a signed lightness contrast Lc (positive
// for dark text on a light background).
using ContrastFn = Result<double> (*)(const Color& text, const Color& background);
// Perceptual distance between two colours (0 for equal colours).
using DifferenceFn = Result<double> (*)(const Color& a, const Color& b);

struct ContrastMetric {
  std::string name;
  ContrastFn fn = nullptr;
};

struct DifferenceMetric {
  std::string name;
  DifferenceFn fn = nullptr;
};

// Refused (false) when sealed (always after start), the name is empty or
// present, or the function is missing.
bool registerContrastMetric(const ContrastMetric& m);
bool registerDifferenceMetric(const DifferenceMetric& m);

// Null when the name is not registered (exact, case-sensitive).
const ContrastMetric* contrastMetric(std::string_view name);
const DifferenceMetric* differenceMetric(std::string_view name);

// Names in registration order.
std::vector<std::string> contrastMetricNames();
std::vector<std::string> differenceMetricNames();

void initMetrics();

// The metrics themselves.
Result<double> contrastWcag22(const Color& text, const Color& background);
Result<double> contrastApca(const Color& text, const Color& background);
Result<double> contrastBridgePca(const Color& text, const Color& background);

Result<double> deltaE76(const Color& a, const Color& b);
Result<double> deltaE94(const Color& a, const Color& b);  // graphic arts weights
Result<double> deltaE2000(const Color& a, const Color& b);
Result<double> deltaECmc(const Color& a, const Color& b);  // l:c = 2:1
Result<double> deltaEOk(const Color& a, const Color& b);
Result<double> deltaEItp(const Color& a, const Color& b);
Result<double> deltaEJz(const Color& a, const Color& b);
Result<double> deltaECam16Ucs(const Color& a, const Color& b);

// The formulas on CIE Lab triples (L, a, b), for callers that already hold Lab.
double ciede2000(double l1, double a1, double b1, double l2, double a2, double b2);
double cie94(double l1, double a1, double b1, double l2, double a2, double b2);
double cmc(double l1, double a1, double b1, double l2, double a2, double b2, double l, double c);

}  // namespace kd::prismel
