// Conversions and metrics on arbitrary colour values: any source and target
// tag, any float bit patterns (NaN, infinities, huge values) for the
// components, raw colours that never went through the validating
// constructor. Every call must return a value or a ColorError, never crash,
// and a successful conversion must give finite components.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "prismel/contrast/metrics.h"
#include "prismel/conversion/batch.h"
#include "prismel/conversion/hct.h"
#include "prismel/conversion/hub.h"

using namespace kd::prismel;

namespace {

void requireFinite(const Result<Color>& r) {
  if (!r.ok()) return;
  for (float v : r.value().c) {
    if (!std::isfinite(v)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 + 4 * 4) return 0;
  const SpaceTag source = data[0] % 30;
  const SpaceTag target = data[1] % 30;
  float comps[4];
  std::memcpy(comps, data + 2, sizeof comps);
  const Color raw{{comps[0], comps[1], comps[2]}, comps[3], source};
  requireFinite(to(target, raw));
  requireFinite(shortPath(target, raw));
  (void)toXYZ(raw);
  Result<Color> valid = color(source, comps[0], comps[1], comps[2], 1.0f);
  if (valid.ok()) {
    requireFinite(to(target, valid.value()));
    for (const std::string& name : differenceMetricNames()) {
      (void)differenceMetric(name)->fn(valid.value(), raw);
    }
    for (const std::string& name : contrastMetricNames()) {
      (void)contrastMetric(name)->fn(valid.value(), raw);
    }
  }
  (void)solveToInt(comps[0], comps[1], comps[2]);
  const std::span<const uint8_t> rest(data + 18, size - 18);
  (void)srgb8ToOklab(rest, 1 + data[0] % 4);
  return 0;
}
