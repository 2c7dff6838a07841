// Image operations on a 12-megapixel photo made in memory (RGB and RGBA,
// and grey for shrinking):
// resampling beside stb_image_resize producing the same output size, crop
// and every rotation beside a plain memcpy of the same number of bytes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "formats/image.h"
#include "process/crop.h"
#include "process/resize.h"
#include "process/rotate.h"

#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb/stb_image_resize.h>

namespace {

using kd::formats::Image;

constexpr int64_t kWidth = 4000;
constexpr int64_t kHeight = 3000;

// Smooth gradients with a little texture and noise, like a photograph.
const Image& photo(int channels) {
  static Image images[5];
  Image& img = images[channels];
  if (img.pixels.empty()) {
    img = kd::formats::newImage(kWidth, kHeight,
                                channels == 1   ? kd::formats::csGray
                                : channels == 3 ? kd::formats::csRgb
                                                : kd::formats::csRgba);
    uint32_t noise = 12345;
    uint8_t* p = img.pixels.data();
    for (int64_t y = 0; y < kHeight; ++y) {
      for (int64_t x = 0; x < kWidth; ++x) {
        for (int c = 0; c < channels; ++c) {
          noise = noise * 1664525u + 1013904223u;
          double v = 128 + 90 * std::sin(x * 0.003 * (c + 1) + y * 0.002) +
                     20 * std::sin(x * 0.05 + y * 0.07 * c) + ((noise >> 24) & 15);
          *p++ = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
      }
    }
  }
  return img;
}

// Args: channels, filter, output width, output height.
void setSizes(benchmark::internal::Benchmark* b) {
  for (int channels : {3, 4}) {
    b->Args({channels, 1, kWidth / 4, kHeight / 4});
    b->Args({channels, 2, kWidth / 4, kHeight / 4});
    b->Args({channels, 1, kWidth * 2, kHeight * 2});
    b->Args({channels, 2, kWidth * 2, kHeight * 2});
  }
  b->Args({1, 1, kWidth / 4, kHeight / 4});
  b->Args({1, 2, kWidth / 4, kHeight / 4});
}

void labelResize(benchmark::State& state) {
  const char* filter = state.range(1) == 0 ? "nearest" : state.range(1) == 1 ? "bilinear" : "box";
  const char* space = state.range(0) == 1 ? "gray " : state.range(0) == 3 ? "rgb " : "rgba ";
  state.SetLabel(std::string(space) + filter + " -> " +
                 std::to_string(state.range(2)) + "x" + std::to_string(state.range(3)));
  state.SetBytesProcessed(state.iterations() * kWidth * kHeight * state.range(0));
}

void BM_ResizeKeldra(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  auto filter = static_cast<kd::process::ResizeFilter>(state.range(1));
  for (auto _ : state) {
    Image out = kd::process::resize(src, state.range(2), state.range(3), filter);
    benchmark::DoNotOptimize(out.pixels.data());
  }
  labelResize(state);
}

void BM_ResizeStb(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  const int channels = static_cast<int>(state.range(0));
  const int ow = static_cast<int>(state.range(2)), oh = static_cast<int>(state.range(3));
  stbir_filter filter = state.range(1) == 1 ? STBIR_FILTER_TRIANGLE : STBIR_FILTER_BOX;
  for (auto _ : state) {
    std::vector<uint8_t> out(static_cast<size_t>(ow) * oh * channels);
    int ok = stbir_resize_uint8_generic(src.pixels.data(), kWidth, kHeight, 0, out.data(), ow, oh,
                                        0, channels, STBIR_ALPHA_CHANNEL_NONE, 0,
                                        STBIR_EDGE_CLAMP, filter, STBIR_COLORSPACE_LINEAR,
                                        nullptr);
    if (!ok) state.SkipWithError("stbir failed");
    benchmark::DoNotOptimize(out.data());
  }
  labelResize(state);
}

BENCHMARK(BM_ResizeKeldra)->Apply(setSizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResizeStb)->Apply(setSizes)->Unit(benchmark::kMillisecond);

void BM_ResizeKeldraNearest(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Image out = kd::process::resize(src, kWidth / 4, kHeight / 4, kd::process::rfNearest);
    benchmark::DoNotOptimize(out.pixels.data());
  }
}
BENCHMARK(BM_ResizeKeldraNearest)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

// Crop of a 3000 x 2000 rectangle from the middle.
void BM_CropKeldra(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Image out = kd::process::crop(src, 500, 500, 3000, 2000);
    benchmark::DoNotOptimize(out.pixels.data());
  }
  state.SetBytesProcessed(state.iterations() * 3000 * 2000 * state.range(0));
}
BENCHMARK(BM_CropKeldra)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

// The same bytes with memcpy: into a buffer allocated once, and into a new
// buffer each time (as every operation returns a new image).
void BM_CropMemcpy(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  const size_t bytes = size_t{3000} * 2000 * static_cast<size_t>(state.range(0));
  std::vector<uint8_t> dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.pixels.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_CropMemcpy)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_MemcpyWhole(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  std::vector<uint8_t> dst(src.pixels.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.pixels.data(), src.pixels.size());
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.pixels.size()));
}
BENCHMARK(BM_MemcpyWhole)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_MemcpyWholeFresh(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    uint8_t* dst = static_cast<uint8_t*>(std::malloc(src.pixels.size()));
    std::memcpy(dst, src.pixels.data(), src.pixels.size());
    benchmark::DoNotOptimize(dst);
    std::free(dst);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.pixels.size()));
}
BENCHMARK(BM_MemcpyWholeFresh)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

// Args: channels, rotate op (0 90, 1 180, 2 270, 3 flip-h, 4 flip-v).
void BM_RotateKeldra(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  auto op = static_cast<kd::process::RotateOp>(state.range(1));
  for (auto _ : state) {
    Image out = kd::process::rotate(src, op);
    benchmark::DoNotOptimize(out.pixels.data());
  }
  static const char* names[] = {"rotate90", "rotate180", "rotate270", "flip-h", "flip-v"};
  state.SetLabel(std::string(state.range(0) == 3 ? "rgb " : "rgba ") + names[state.range(1)]);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.pixels.size()));
}
BENCHMARK(BM_RotateKeldra)
    ->ArgsProduct({{3, 4}, {0, 1, 2, 3, 4}})
    ->Unit(benchmark::kMillisecond);

void BM_OrientationTransposeKeldra(benchmark::State& state) {
  const Image& src = photo(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Image out = kd::process::applyExifOrientation(src, 5);
    benchmark::DoNotOptimize(out.pixels.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.pixels.size()));
}
BENCHMARK(BM_OrientationTransposeKeldra)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
