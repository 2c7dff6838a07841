// Palette quality and speed beside libimagequant. Each photo is scaled to
// about one megapixel; every quantizer and libimagequant extract n = 8 and 16
// colours from it. Counters: dE = mean OKLab distance from each pixel to its
// nearest palette colour (lower is better), px = pixels per second (the time
// per megapixel is 1e6 / px).
// Large pictures: the first photo scaled to 1, 4 and 12 megapixels, 16
// colours through kd_image_extract_palette beside libimagequant at speed 10
// (run with OMP_NUM_THREADS=1 to hold it to one thread, as the library is);
// peakMB = how far resident memory grows during the run above what it held
// before (the free heap given back first).
#include <benchmark/benchmark.h>
#include <libimagequant.h>
#include <malloc.h>
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "bench_data.h"
#include "keldra/keldra.h"
#include "support/peak_memory.h"
#include "prismel/conversion/batch.h"
#include "prismel/conversion/hub.h"
#include "process/quantize.h"

namespace {

using kd::formats::Image;
using kd::prismel::Color;

const char* const kPhotos[] = {"codec/jpeg/irs_cat.jpg", "codec/jpeg/pil_flower2.jpg",
                               "codec/png/pil_hopper.png",
                               "metadata/orientation/ianare_landscape_1.jpg"};
const char* const kAlgorithms[] = {"wu", "kmeans", "kmeansPP", "medianCut", "octree", "neuquant"};

struct Photo {
  std::string name;
  Image rgb;               // about one megapixel
  std::vector<uint8_t> rgba;
  std::vector<Color> lab;  // the pixels in OKLab, for the distance measure
};

// Bilinear upscale of an RGB image to about `pixels` pixels, keeping the
// aspect.
Image toMegapixel(const uint8_t* src, int w, int h, double pixels = 1e6) {
  const double scale = std::sqrt(pixels / (static_cast<double>(w) * h));
  Image out;
  out.width = static_cast<int64_t>(std::lround(w * scale));
  out.height = static_cast<int64_t>(std::lround(h * scale));
  out.channels = 3;
  out.colorspace = kd::formats::csRgb;
  out.pixels.resize(static_cast<size_t>(out.width * out.height * 3));
  for (int64_t y = 0; y < out.height; ++y) {
    const double sy = std::min<double>(h - 1, (y + 0.5) / scale - 0.5 < 0 ? 0 : (y + 0.5) / scale - 0.5);
    const int y0 = static_cast<int>(sy), y1 = std::min(y0 + 1, h - 1);
    const double fy = sy - y0;
    for (int64_t x = 0; x < out.width; ++x) {
      const double sx = std::min<double>(w - 1, (x + 0.5) / scale - 0.5 < 0 ? 0 : (x + 0.5) / scale - 0.5);
      const int x0 = static_cast<int>(sx), x1 = std::min(x0 + 1, w - 1);
      const double fx = sx - x0;
      for (int c = 0; c < 3; ++c) {
        const double top = src[(y0 * w + x0) * 3 + c] * (1 - fx) + src[(y0 * w + x1) * 3 + c] * fx;
        const double bot = src[(y1 * w + x0) * 3 + c] * (1 - fx) + src[(y1 * w + x1) * 3 + c] * fx;
        out.pixels[static_cast<size_t>((y * out.width + x) * 3 + c)] =
            static_cast<uint8_t>(std::lround(top * (1 - fy) + bot * fy));
      }
    }
  }
  return out;
}

std::vector<Photo>& photos() {
  static std::vector<Photo> all = [] {
    std::vector<Photo> v;
    for (const char* rel : kPhotos) {
      const std::string path = bench::dataPath(rel);
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      int w = 0, h = 0, n = 0;
      uint8_t* data =
          stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n, 3);
      if (data == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", path.c_str());
        continue;
      }
      Photo p;
      p.name = std::string(rel).substr(std::string(rel).find_last_of('/') + 1);
      p.rgb = toMegapixel(data, w, h);
      stbi_image_free(data);
      for (size_t i = 0; i < p.rgb.pixels.size(); i += 3) {
        p.rgba.insert(p.rgba.end(),
                      {p.rgb.pixels[i], p.rgb.pixels[i + 1], p.rgb.pixels[i + 2], 255});
      }
      p.lab = kd::prismel::srgb8ToOklab(p.rgb.pixels, 3).value();
      v.push_back(std::move(p));
    }
    return v;
  }();
  return all;
}

double meanDistance(const std::vector<Color>& lab, const std::vector<Color>& pal) {
  double total = 0;
  for (const Color& p : lab) {
    double best = std::numeric_limits<double>::infinity();
    for (const Color& c : pal) {
      const double d0 = p.c[0] - c.c[0], d1 = p.c[1] - c.c[1], d2 = p.c[2] - c.c[2];
      best = std::min(best, d0 * d0 + d1 * d1 + d2 * d2);
    }
    total += std::sqrt(best);
  }
  return total / static_cast<double>(lab.size());
}

void setCounters(benchmark::State& state, const Photo& p, const std::vector<Color>& pal) {
  state.counters["dE"] = meanDistance(p.lab, pal);
  state.counters["colors"] = static_cast<double>(pal.size());
  state.counters["px"] = benchmark::Counter(static_cast<double>(p.lab.size()),
                                            benchmark::Counter::kIsIterationInvariantRate);
}

void benchKeldra(benchmark::State& state, const Photo* p, const char* algo, int n) {
  std::vector<Color> pal;
  for (auto _ : state) {
    auto r = kd::process::extractPalette(p->rgb, n, algo, 15, kd::prismel::defaultQuantizeOpts());
    if (!r.ok()) {
      state.SkipWithError(r.error().msg.c_str());
      return;
    }
    pal = r.value().colors();
    benchmark::DoNotOptimize(pal.data());
  }
  setCounters(state, *p, pal);
}

void benchImagequant(benchmark::State& state, const Photo* p, int n) {
  std::vector<Color> pal;
  for (auto _ : state) {
    liq_attr* attr = liq_attr_create();
    liq_set_max_colors(attr, n);
    liq_image* img = liq_image_create_rgba(attr, p->rgba.data(), static_cast<int>(p->rgb.width),
                                           static_cast<int>(p->rgb.height), 0);
    liq_result* res = nullptr;
    if (liq_image_quantize(img, attr, &res) != LIQ_OK) {
      state.SkipWithError("liq_image_quantize failed");
      return;
    }
    const liq_palette* lp = liq_get_palette(res);
    pal.clear();
    for (unsigned i = 0; i < lp->count; ++i) {
      pal.push_back(Color{{lp->entries[i].r / 255.0f, lp->entries[i].g / 255.0f,
                           lp->entries[i].b / 255.0f},
                          1.0f,
                          1});
    }
    liq_result_destroy(res);
    liq_image_destroy(img);
    liq_attr_destroy(attr);
  }
  for (Color& c : pal) c = kd::prismel::to(15, c).value();
  setCounters(state, *p, pal);
}

// The first photo at about `megapixels` million pixels, RGB.
const Image& largePhoto(int megapixels) {
  static std::vector<std::pair<int, Image>> made;
  for (const auto& [mp, img] : made) {
    if (mp == megapixels) return img;
  }
  const std::string path = bench::dataPath(kPhotos[0]);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int w = 0, h = 0, n = 0;
  uint8_t* data = stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n, 3);
  if (data == nullptr) std::abort();
  made.emplace_back(megapixels, toMegapixel(data, w, h, megapixels * 1e6));
  stbi_image_free(data);
  return made.back().second;
}

void setLargeCounters(benchmark::State& state, const Image& img, const kd::test::PeakMemory& peak) {
  state.counters["peakMB"] = static_cast<double>(peak.growth()) / 1048576.0;
  state.counters["px"] = benchmark::Counter(static_cast<double>(img.width * img.height),
                                            benchmark::Counter::kIsIterationInvariantRate);
  state.SetLabel(std::to_string(img.width) + "x" + std::to_string(img.height));
}

void benchLargeKeldra(benchmark::State& state, const char* algo, int megapixels) {
  const Image& rgb = largePhoto(megapixels);
  KdImage* img = nullptr;
  kd_image_from_pixels(static_cast<int>(rgb.width), static_cast<int>(rgb.height), KD_CS_RGB,
                       rgb.pixels.data(), rgb.pixels.size(), &img);
  malloc_trim(0);
  const kd::test::PeakMemory peak;
  for (auto _ : state) {
    KdPalette* pal = nullptr;
    if (kd_image_extract_palette(img, 16, algo, 0, nullptr, &pal) != 0) state.SkipWithError(algo);
    kd_palette_free(pal);
  }
  setLargeCounters(state, rgb, peak);
  kd_image_free(img);
}

void benchLargeImagequant(benchmark::State& state, int megapixels) {
  const Image& rgb = largePhoto(megapixels);
  std::vector<uint8_t> rgba;
  rgba.reserve(rgb.pixels.size() / 3 * 4);
  for (size_t i = 0; i < rgb.pixels.size(); i += 3) {
    rgba.insert(rgba.end(), {rgb.pixels[i], rgb.pixels[i + 1], rgb.pixels[i + 2], 255});
  }
  malloc_trim(0);
  const kd::test::PeakMemory peak;
  for (auto _ : state) {
    liq_attr* attr = liq_attr_create();
    liq_set_max_colors(attr, 16);
    liq_set_speed(attr, 10);
    liq_image* img = liq_image_create_rgba(attr, rgba.data(), static_cast<int>(rgb.width),
                                           static_cast<int>(rgb.height), 0);
    liq_result* res = nullptr;
    if (liq_image_quantize(img, attr, &res) != LIQ_OK) state.SkipWithError("liq");
    benchmark::DoNotOptimize(liq_get_palette(res));
    liq_result_destroy(res);
    liq_image_destroy(img);
    liq_attr_destroy(attr);
  }
  setLargeCounters(state, rgb, peak);
}

const bool kRegistered = [] {
  for (int mp : {1, 4, 12}) {
    const std::string suffix = "/" + std::to_string(mp) + "MP";
    benchmark::RegisterBenchmark(("large/imagequant-speed10" + suffix).c_str(),
                                 benchLargeImagequant, mp)
        ->Unit(benchmark::kMillisecond);
    for (const char* algo : kAlgorithms) {
      benchmark::RegisterBenchmark(("large/" + std::string(algo) + suffix).c_str(),
                                   benchLargeKeldra, algo, mp)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (const Photo& p : photos()) {
    for (int n : {8, 16}) {
      const std::string suffix = "/" + p.name + "/n" + std::to_string(n);
      benchmark::RegisterBenchmark(("imagequant" + suffix).c_str(), benchImagequant, &p, n)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.2);
      for (const char* algo : kAlgorithms) {
        benchmark::RegisterBenchmark((std::string(algo) + suffix).c_str(), benchKeldra, &p, algo, n)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.2);
      }
    }
  }
  return true;
}();

}  // namespace
