// Lifting a 12-megapixel 8-bit sRGB image into OKLab colours, single
// threaded: the library's batch path beside the hub called per pixel and a
// straightforward loop (pow per sample, cbrt per cone response).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "prismel/conversion/batch.h"
#include "prismel/conversion/hub.h"
#include "prismel/spaces/registry.h"

namespace {

constexpr size_t kWidth = 4000;
constexpr size_t kHeight = 3000;

// A photo-like picture: smooth gradients with noise on top.
const std::vector<uint8_t>& image() {
  static const std::vector<uint8_t> px = [] {
    std::vector<uint8_t> p(kWidth * kHeight * 3);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (size_t y = 0; y < kHeight; ++y) {
      for (size_t x = 0; x < kWidth; ++x) {
        const size_t i = (y * kWidth + x) * 3;
        const int base[3] = {static_cast<int>(x * 255 / kWidth), static_cast<int>(y * 255 / kHeight),
                             static_cast<int>((x + y) * 255 / (kWidth + kHeight))};
        for (int c = 0; c < 3; ++c) {
          p[i + c] = static_cast<uint8_t>(std::clamp(base[c] + noise(rng), 0, 255));
        }
      }
    }
    return p;
  }();
  return px;
}

void setCounters(benchmark::State& state) {
  state.counters["Mpixel/s"] = benchmark::Counter(
      static_cast<double>(kWidth * kHeight) * static_cast<double>(state.iterations()) / 1e6,
      benchmark::Counter::kIsRate);
}

void BM_KeldraBatchLift(benchmark::State& state) {
  const auto& px = image();
  for (auto _ : state) {
    auto out = kd::prismel::srgb8ToOklab(px, 3);
    benchmark::DoNotOptimize(out.value().data());
  }
  setCounters(state);
}
BENCHMARK(BM_KeldraBatchLift)->Unit(benchmark::kMillisecond);

void BM_KeldraHubPerPixel(benchmark::State& state) {
  using namespace kd::prismel;
  const auto& px = image();
  std::vector<Color> out(kWidth * kHeight);
  for (auto _ : state) {
    for (size_t i = 0; i < out.size(); ++i) {
      const Color c = color(kSrgb, static_cast<float>(px[3 * i]) / 255.0f,
                            static_cast<float>(px[3 * i + 1]) / 255.0f,
                            static_cast<float>(px[3 * i + 2]) / 255.0f, 1.0f)
                          .value();
      out[i] = to(kOklab, c).value();
    }
    benchmark::DoNotOptimize(out.data());
  }
  setCounters(state);
}
BENCHMARK(BM_KeldraHubPerPixel)->Unit(benchmark::kMillisecond);

// The textbook loop: decode each sample with pow, OKLab straight from linear
// sRGB with the C library's cbrt.
void BM_PlainFormulaLoop(benchmark::State& state) {
  const auto& px = image();
  std::vector<float> out(kWidth * kHeight * 3);
  const auto decode = [](uint8_t v) {
    const double f = v / 255.0;
    return f <= 0.04045 ? f / 12.92 : std::pow((f + 0.055) / 1.055, 2.4);
  };
  for (auto _ : state) {
    for (size_t i = 0; i < kWidth * kHeight; ++i) {
      const double r = decode(px[3 * i]), g = decode(px[3 * i + 1]), b = decode(px[3 * i + 2]);
      const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
      const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
      const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
      out[3 * i] = static_cast<float>(0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s);
      out[3 * i + 1] = static_cast<float>(1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s);
      out[3 * i + 2] = static_cast<float>(0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s);
    }
    benchmark::DoNotOptimize(out.data());
  }
  setCounters(state);
}
BENCHMARK(BM_PlainFormulaLoop)->Unit(benchmark::kMillisecond);

}  // namespace
