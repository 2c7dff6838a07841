// Lossless WebP decode through kd_image_decode_buffer beside libwebp's
// WebPDecodeRGBA, on three pictures encoded once by libwebp (lossless,
// method 4): a photo scaled to 1 and to 12 megapixels, and a synthetic
// screenshot (flat panels, text-like glyph rows, a few gradients) of
// 1920 x 1080. Lossy WebP decode through kd_image_decode_ex with
// KD_DECODE_WIDE beside WebPDecodeRGBA, on the photo at 1 and 12
// megapixels encoded by libwebp at quality 75. Counter px = pixels per second; peakMiB = resident memory a
// single decode adds, measured in a forked child.
#include <benchmark/benchmark.h>
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <keldra/keldra.h>
#include <stb/stb_image.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_data.h"

namespace {

struct Input {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> file;
};

std::vector<uint8_t> encodeLossless(const std::vector<uint8_t>& rgba, int w, int h) {
  uint8_t* out = nullptr;
  const size_t n = WebPEncodeLosslessRGBA(rgba.data(), w, h, w * 4, &out);
  if (n == 0) std::abort();
  std::vector<uint8_t> file(out, out + n);
  WebPFree(out);
  return file;
}

// The photo scaled bilinearly to w x h, opaque.
std::vector<uint8_t> photo(int width, int height) {
  const std::string path = bench::dataPath("codec/jpeg/irs_cat.jpg");
  int w = 0, h = 0, n = 0;
  stbi_uc* src = stbi_load(path.c_str(), &w, &h, &n, 3);
  if (src == nullptr) std::abort();
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    const float fy = static_cast<float>(y) * static_cast<float>(h - 1) / static_cast<float>(height - 1);
    const int y0 = static_cast<int>(fy);
    const int y1 = y0 + 1 < h ? y0 + 1 : y0;
    const float wy = fy - static_cast<float>(y0);
    for (int x = 0; x < width; ++x) {
      const float fx = static_cast<float>(x) * static_cast<float>(w - 1) / static_cast<float>(width - 1);
      const int x0 = static_cast<int>(fx);
      const int x1 = x0 + 1 < w ? x0 + 1 : x0;
      const float wx = fx - static_cast<float>(x0);
      const size_t o = static_cast<size_t>(y) * width + static_cast<size_t>(x);
      for (int c = 0; c < 3; ++c) {
        auto at = [&](int yy, int xx) {
          return static_cast<float>(src[(static_cast<size_t>(yy) * w + xx) * 3 + c]);
        };
        const float top = at(y0, x0) + (at(y0, x1) - at(y0, x0)) * wx;
        const float bottom = at(y1, x0) + (at(y1, x1) - at(y1, x0)) * wx;
        rgba[o * 4 + c] = static_cast<uint8_t>(top + (bottom - top) * wy + 0.5f);
      }
      rgba[o * 4 + 3] = 255;
    }
  }
  stbi_image_free(src);
  return rgba;
}

// Window chrome, panels, rows of glyph-like marks and a gradient strip.
std::vector<uint8_t> screenshot(int width, int height) {
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  uint32_t state = 7;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint32_t c = 0xF3F3F3;
      if (y < 32) c = 0x2B2D31;
      else if (x < 260) c = 0xE4E6EB;
      else if (y > height - 120) c = 0x101010 * static_cast<uint32_t>((x >> 6) & 15) + 0x203040;
      const int line = (y - 60) / 22, inLine = (y - 60) % 22;
      if (y >= 60 && inLine >= 4 && inLine < 16 && y < height - 140 && x > 280 && x < width - 80) {
        const int glyph = (x - 280) / 9;
        state = static_cast<uint32_t>(glyph * 2654435761u + static_cast<uint32_t>(line) * 40503u);
        const int col = (x - 280) % 9;
        const bool space = (state >> 7) % 7 == 0;
        if (!space && col < 7 && ((state >> (col + (inLine - 4) % 12)) & 1)) c = 0x1F2328;
      }
      if (x >= 20 && x < 240 && y > 50 && y < height - 140 && (y - 50) % 40 < 28) c = 0x3B82F6;
      const size_t o = (static_cast<size_t>(y) * width + x) * 4;
      rgba[o] = static_cast<uint8_t>(c >> 16);
      rgba[o + 1] = static_cast<uint8_t>(c >> 8);
      rgba[o + 2] = static_cast<uint8_t>(c);
      rgba[o + 3] = 255;
    }
  }
  return rgba;
}

std::vector<uint8_t> encodeLossy(const std::vector<uint8_t>& rgba, int w, int h) {
  uint8_t* out = nullptr;
  const size_t n = WebPEncodeRGBA(rgba.data(), w, h, w * 4, 75.0f, &out);
  if (n == 0) std::abort();
  std::vector<uint8_t> file(out, out + n);
  WebPFree(out);
  return file;
}

const Input& input(int which) {
  static std::map<int, Input> inputs;
  auto it = inputs.find(which);
  if (it != inputs.end()) return it->second;
  Input in;
  if (which == 0) in.width = 1155, in.height = 866;
  if (which == 1) in.width = 4000, in.height = 3000;
  if (which == 2) in.width = 1920, in.height = 1080;
  if (which == 3) in.width = 1155, in.height = 866;
  if (which == 4) in.width = 4000, in.height = 3000;
  const std::vector<uint8_t> rgba =
      which == 2 ? screenshot(in.width, in.height) : photo(in.width, in.height);
  in.file = which >= 3 ? encodeLossy(rgba, in.width, in.height)
                       : encodeLossless(rgba, in.width, in.height);
  return inputs.emplace(which, std::move(in)).first->second;
}

// Resident memory a call adds at its peak: in a forked child, reset the
// heap's free pages, reset the high-water mark (clear_refs 5), note the resident size, call, and report
// the new high-water mark above it through the exit pipe.
long statusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return 0;
}

template <class F>
double peakMiB(F&& f) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    malloc_trim(0);  // what earlier iterations freed must not serve this call
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKiB("VmRSS:");
    f();
    const long added = statusKiB("VmHWM:") - before;
    if (write(fds[1], &added, sizeof added) != sizeof added) _exit(1);
    _exit(0);
  }
  long added = -1;
  if (read(fds[0], &added, sizeof added) != sizeof added) added = -1;
  close(fds[0]);
  close(fds[1]);
  waitpid(pid, nullptr, 0);
  return static_cast<double>(added) / 1024.0;
}

void decodeKeldra(const Input& in) {
  KdImage* img = nullptr;
  if (kd_image_decode_buffer(in.file.data(), in.file.size(), KD_FORMAT_AUTO, &img) != KD_IMAGE_OK) {
    std::abort();
  }
  benchmark::DoNotOptimize(img);
  kd_image_free(img);
}

void decodeKeldraWide(const Input& in) {
  KdDecodeOpts opts{};
  opts.size = sizeof opts;
  opts.flags = KD_DECODE_WIDE;
  KdImage* img = nullptr;
  if (kd_image_decode_ex(in.file.data(), in.file.size(), KD_FORMAT_AUTO, &opts, &img) !=
      KD_IMAGE_OK) {
    std::abort();
  }
  benchmark::DoNotOptimize(img);
  kd_image_free(img);
}

void decodeLibwebp(const Input& in) {
  int w = 0, h = 0;
  uint8_t* px = WebPDecodeRGBA(in.file.data(), in.file.size(), &w, &h);
  if (px == nullptr) std::abort();
  benchmark::DoNotOptimize(px);
  WebPFree(px);
}

template <void (*Decode)(const Input&)>
void bmDecode(benchmark::State& state) {
  kd_exif_init();
  const Input& in = input(static_cast<int>(state.range(0)));
  for (auto _ : state) Decode(in);
  state.counters["px"] = benchmark::Counter(static_cast<double>(in.width) * in.height,
                                            benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peakMiB"] = peakMiB([&] { Decode(in); });
  state.counters["fileKiB"] = static_cast<double>(in.file.size()) / 1024.0;
}

// 0: photo 1 MP, 1: photo 12 MP, 2: screenshot 1920 x 1080; each beside
// libwebp so the pair shares the machine's state.
BENCHMARK(bmDecode<decodeKeldra>)->Name("webp_decode/keldra/photo_1mp")->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeLibwebp>)->Name("webp_decode/libwebp/photo_1mp")->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeKeldra>)->Name("webp_decode/keldra/photo_12mp")->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeLibwebp>)->Name("webp_decode/libwebp/photo_12mp")->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeKeldra>)->Name("webp_decode/keldra/screenshot")->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeLibwebp>)->Name("webp_decode/libwebp/screenshot")->Arg(2)->Unit(benchmark::kMillisecond);
// 3: lossy photo 1 MP, 4: lossy photo 12 MP.
BENCHMARK(bmDecode<decodeKeldraWide>)->Name("webp_lossy_decode/keldra/photo_1mp")->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeLibwebp>)->Name("webp_lossy_decode/libwebp/photo_1mp")->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeKeldraWide>)->Name("webp_lossy_decode/keldra/photo_12mp")->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(bmDecode<decodeLibwebp>)->Name("webp_lossy_decode/libwebp/photo_12mp")->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
