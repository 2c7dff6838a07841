#include "prismel/palette/kmeans.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "prismel/conversion/batch.h"
#include "prismel/palette/lloyd.h"

namespace kd::prismel {

namespace {

constexpr SpaceTag kOklab = 15;

ColorError kmeansError(const std::string& msg) { return colorError(ceInvalidValue, msg, "kmeans"); }

std::optional<ColorError> checkConfig(size_t pointCount, const KmeansConfig& config) {
  const auto count = static_cast<int64_t>(pointCount);
  if (count == 0) return kmeansError("kmeans: empty point set");
  if (config.k < 1) return kmeansError("kmeans: k must be >= 1, got " + std::to_string(config.k));
  if (config.k > count) {
    return kmeansError("kmeans: k (" + std::to_string(config.k) + ") > number of points (" +
                       std::to_string(count) + ")");
  }
  if (config.maxIter < 0) {
    return kmeansError("kmeans: maxIter must be >= 0, got " + std::to_string(config.maxIter));
  }
  if (config.threads < 1) {
    return kmeansError("kmeans: threads must be >= 1, got " + std::to_string(config.threads));
  }
  return std::nullopt;
}

struct KmeansRegistry {
  std::mutex lock;
  std::unordered_map<std::string, KmeansProc> byName;
};

KmeansRegistry& kmeansRegistry() {
  static auto* reg = [] {
    auto* r = new KmeansRegistry;  // lives for the whole process
    r->byName.emplace("kmeans", &kmeans);
    return r;
  }();
  return *reg;
}

}  // namespace

double deltaE_ok(const Color& a, const Color& b) { return std::sqrt(sqDist(a, b)); }

std::vector<Color> randomInit(SplitMix64& gen, const std::vector<Color>& points, int64_t k) {
  std::vector<Color> centroids;
  centroids.reserve(static_cast<size_t>(k));
  for (int64_t i = 0; i < k; ++i) centroids.push_back(points[gen.nextIndex(points.size())]);
  return centroids;
}

std::vector<Color> kppInit(SplitMix64& gen, const std::vector<Color>& points, int64_t k) {
  const size_t count = points.size();
  std::vector<Color> centroids;
  centroids.reserve(static_cast<size_t>(k));
  centroids.push_back(points[gen.nextIndex(count)]);
  // nearest[j]: squared distance from point j to its nearest centroid so far.
  // Taking the minimum as centroids arrive equals recomputing it each round.
  std::vector<double> nearest(count, std::numeric_limits<double>::infinity());
  for (int64_t i = 1; i < k; ++i) {
    const Color& last = centroids.back();
    double total = 0.0;
    for (size_t j = 0; j < count; ++j) {
      const double d = sqDist(points[j], last);
      if (d < nearest[j]) nearest[j] = d;
      total += nearest[j];
    }
    if (total <= 0) {  // every point sits on a centroid
      centroids.push_back(points[gen.nextIndex(count)]);
      continue;
    }
    const double r = total * gen.nextFloat();
    size_t pick = count - 1;
    double running = 0.0;
    for (size_t j = 0; j < count; ++j) {
      running += nearest[j];
      if (r <= running) {
        pick = j;
        break;
      }
    }
    centroids.push_back(points[pick]);
  }
  return centroids;
}

Result<KmeansResult> kmeans(const std::vector<Color>& points, const KmeansConfig& config) {
  if (std::optional<ColorError> bad = checkConfig(points.size(), config)) return *bad;
  Result<std::vector<Color>> converted = convertColors(points, kOklab);
  if (!converted.ok()) return converted.error();
  const std::vector<Color>& lab = converted.value();
  SplitMix64 gen = initSplitMix64(config.seed ^ kSplitMixIncrement);
  std::vector<Color> start =
      config.plusPlus ? kppInit(gen, lab, config.k) : randomInit(gen, lab, config.k);
  Result<LloydRun> run =
      lloydRefine(lab, std::move(start), {}, config.maxIter, config.tol,
                  colorError(ceInvalidValue, "component NaN/Inf at bounds", "kmeans"));
  if (!run.ok()) return run.error();
  Result<Palette> pal =
      palette(kQuantizedPaletteTag, std::move(run.value().centroids), 0, config.seed);
  if (!pal.ok()) return pal.error();
  return KmeansResult{std::move(pal.value()), std::move(run.value().labels)};
}

bool registerKmeansAlgo(const std::string& name, KmeansProc proc) {
  if (name.empty() || proc == nullptr) return false;
  KmeansRegistry& reg = kmeansRegistry();
  std::lock_guard<std::mutex> guard(reg.lock);
  return reg.byName.emplace(name, proc).second;
}

std::optional<KmeansProc> kmeansByName(std::string_view name) {
  KmeansRegistry& reg = kmeansRegistry();
  std::lock_guard<std::mutex> guard(reg.lock);
  auto it = reg.byName.find(std::string(name));
  if (it == reg.byName.end()) return std::nullopt;
  return it->second;
}

void initKmeans() { kmeansRegistry(); }

}  // namespace kd::prismel
