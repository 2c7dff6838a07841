// The quantizer registry and the package-level palette extraction.
#include <mutex>
#include <unordered_map>

#include "prismel/image/quantizer.h"

namespace kd::prismel {

namespace {

struct QuantRegistry {
  std::mutex lock;  // the table is open: registrations may come at any time
  std::unordered_map<std::string, QuantizeAlgo> byName;
};

QuantRegistry& rawRegistry() {
  static auto* registry = new QuantRegistry;  // lives for the whole process
  return *registry;
}

bool insertAlgo(QuantRegistry& reg, const QuantizeAlgo& algo) {
  if (algo.name.empty() || algo.proc == nullptr) return false;
  std::lock_guard<std::mutex> guard(reg.lock);
  return reg.byName.emplace(algo.name, algo).second;
}

Result<Palette> runWu(const ColorImage& img, int64_t n, const QuantizeOpts& opts, const void*) {
  return computeWu(img, n, opts);
}
Result<Palette> runKmeans(const ColorImage& img, int64_t n, const QuantizeOpts& opts,
                          const void*) {
  return computeKmeansImage(img, n, opts, false);
}
Result<Palette> runKmeansPP(const ColorImage& img, int64_t n, const QuantizeOpts& opts,
                            const void*) {
  return computeKmeansImage(img, n, opts, true);
}
Result<Palette> runMedianCut(const ColorImage& img, int64_t n, const QuantizeOpts& opts,
                             const void*) {
  return medianCut(img, n, opts);
}
Result<Palette> runOctree(const ColorImage& img, int64_t n, const QuantizeOpts& opts,
                          const void*) {
  return octree(img, n, opts);
}
Result<Palette> runNeuquant(const ColorImage& img, int64_t n, const QuantizeOpts& opts,
                            const void*) {
  return neuquant(img, n, opts);
}

QuantRegistry& registry() {
  static const bool filled = [] {
    QuantRegistry& reg = rawRegistry();
    insertAlgo(reg, {"wu", runWu, nullptr});
    insertAlgo(reg, {"kmeans", runKmeans, nullptr});
    insertAlgo(reg, {"kmeansPP", runKmeansPP, nullptr});
    insertAlgo(reg, {"medianCut", runMedianCut, nullptr});
    insertAlgo(reg, {"octree", runOctree, nullptr});
    insertAlgo(reg, {"neuquant", runNeuquant, nullptr});
    return true;
  }();
  (void)filled;
  return rawRegistry();
}

}  // namespace

void initQuantizers() { registry(); }

bool registerQuantizeAlgo(const QuantizeAlgo& algo) { return insertAlgo(registry(), algo); }

std::optional<QuantizeAlgo> lookupQuantizeAlgo(std::string_view name) {
  QuantRegistry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.lock);
  auto it = reg.byName.find(std::string(name));
  if (it == reg.byName.end()) return std::nullopt;
  return it->second;
}

Result<Palette> extractPalette(const ColorImage& img, int64_t n, std::string_view algorithm,
                               SpaceTag workSpace, const QuantizeOpts& opts) {
  if (n <= 0) {
    return colorError(ceInvalidArgument, "extractPalette: n must be >= 1, got " + std::to_string(n),
                      "extractPalette");
  }
  std::optional<QuantizeAlgo> algo = lookupQuantizeAlgo(algorithm);
  if (!algo) {
    return colorError(ceUnknownAlgorithm,
                      "unknown quantization algorithm: " + std::string(algorithm),
                      "extractPalette");
  }
  if (workSpace == img.workSpace) return algo->proc(img, n, opts, algo->env);
  Result<ColorImage> converted = toWorkSpace(img, workSpace);
  if (!converted.ok()) return converted.error();
  return algo->proc(converted.value(), n, opts, algo->env);
}

}  // namespace kd::prismel
