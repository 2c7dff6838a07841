// Baseline JPEG through the exported functions beside libjpeg-turbo (float
// and integer IDCT/FDCT, chroma replicated like ours: no fancy upsampling)
// and stb_image, in one run:
//   decode of 1- and 12-megapixel photos at 4:2:0 and 4:4:4 (quality 90);
//   encode of the 1- and 12-megapixel photos at quality 90, 4:4:4;
//   the embedded EXIF preview of a camera file beside decoding the whole
//   picture.
// Progressive JPEG (libjpeg's standard progression, 4:2:0, quality 90) at
// 1 and 12 megapixels through kd_image_decode_ex with KD_DECODE_WIDE,
// beside libjpeg-turbo's float path and stb_image.
// The photo is a real picture scaled up with a little grain, encoded once
// by libjpeg-turbo. Counters: px = pixels per second, peakMB = the most
// heap the job held at once beyond what it started with (every malloc of
// the process is counted, the peers' included).
#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <keldra/keldra.h>
#include <malloc.h>

#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_data.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

// After every system header: it defines malloc and its kin.
#include "malloc_peak.h"

namespace {

using bench::measure;

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Raw {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// A real photo scaled bilinearly to width x height with +-4 of grain.
Raw photo(int width, int height) {
  const std::vector<uint8_t> file = readAll(bench::dataPath("codec/jpeg/pil_flower2.jpg"));
  int w = 0, h = 0, n = 0;
  stbi_uc* src = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 3);
  if (src == nullptr) std::abort();
  Raw out{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
  uint32_t noise = 7;
  for (int y = 0; y < height; ++y) {
    const float fy = static_cast<float>(y) * static_cast<float>(h - 1) / static_cast<float>(height - 1);
    const int y0 = static_cast<int>(fy), y1 = std::min(y0 + 1, h - 1);
    const float wy = fy - static_cast<float>(y0);
    for (int x = 0; x < width; ++x) {
      const float fx = static_cast<float>(x) * static_cast<float>(w - 1) / static_cast<float>(width - 1);
      const int x0 = static_cast<int>(fx), x1 = std::min(x0 + 1, w - 1);
      const float wx = fx - static_cast<float>(x0);
      for (int c = 0; c < 3; ++c) {
        auto at = [&](int yy, int xx) { return static_cast<float>(src[(static_cast<size_t>(yy) * w + xx) * 3 + c]); };
        const float top = at(y0, x0) + (at(y0, x1) - at(y0, x0)) * wx;
        const float bottom = at(y1, x0) + (at(y1, x1) - at(y1, x0)) * wx;
        noise = noise * 1664525u + 1013904223u;
        const float v = top + (bottom - top) * wy + static_cast<float>(static_cast<int>(noise >> 29) - 4);
        out.rgb[(static_cast<size_t>(y) * width + x) * 3 + static_cast<size_t>(c)] =
            static_cast<uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f));
      }
    }
  }
  stbi_image_free(src);
  return out;
}

struct Trap {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void onError(j_common_ptr info) { std::longjmp(reinterpret_cast<Trap*>(info->err)->jump, 1); }

enum Dct { kFloat, kInteger };

std::vector<uint8_t> libjpegEncode(const Raw& img, int quality, bool subsample, Dct dct,
                                   bool progressive = false) {
  jpeg_compress_struct info;
  Trap trap;
  info.err = jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = onError;
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  if (setjmp(trap.jump)) std::abort();
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buf, &size);
  info.image_width = static_cast<JDIMENSION>(img.width);
  info.image_height = static_cast<JDIMENSION>(img.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  info.dct_method = dct == kFloat ? JDCT_FLOAT : JDCT_ISLOW;
  info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = subsample ? 2 : 1;
  if (progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(img.rgb.data()) + static_cast<size_t>(info.next_scanline) * img.width * 3;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> out(buf, buf + size);
  std::free(buf);
  return out;
}

std::vector<uint8_t> libjpegDecode(const std::vector<uint8_t>& file, Dct dct) {
  jpeg_decompress_struct info;
  Trap trap;
  info.err = jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = onError;
  if (setjmp(trap.jump)) std::abort();
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&info, TRUE);
  info.dct_method = dct == kFloat ? JDCT_FLOAT : JDCT_ISLOW;
  info.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&info);
  const size_t stride = static_cast<size_t>(info.output_width) * info.output_components;
  std::vector<uint8_t> out(stride * info.output_height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[16];
    for (int i = 0; i < 16; ++i) rows[i] = out.data() + std::min<size_t>(info.output_scanline + i, info.output_height - 1) * stride;
    jpeg_read_scanlines(&info, rows, 16);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return out;
}

// Photos: index 0/1 = 1 MP at 4:2:0 / 4:4:4, 2/3 = 12 MP at 4:2:0 / 4:4:4.
struct Inputs {
  Raw small = photo(1152, 864);
  Raw large = photo(4000, 3000);
  std::vector<uint8_t> files[4] = {
      libjpegEncode(small, 90, true, kInteger), libjpegEncode(small, 90, false, kInteger),
      libjpegEncode(large, 90, true, kInteger), libjpegEncode(large, 90, false, kInteger)};
  // 1 MP and 12 MP, progressive 4:2:0.
  std::vector<uint8_t> progressive[2] = {libjpegEncode(small, 90, true, kInteger, true),
                                         libjpegEncode(large, 90, true, kInteger, true)};
};

const Inputs& inputs() {
  static const Inputs in;
  return in;
}

const char* kLabels[4] = {"1MP 4:2:0", "1MP 4:4:4", "12MP 4:2:0", "12MP 4:4:4"};

int64_t pixelsOf(int index) {
  const Raw& r = index < 2 ? inputs().small : inputs().large;
  return static_cast<int64_t>(r.width) * r.height;
}

void BM_DecodeKeldra(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& file = inputs().files[i];
  measure(state, pixelsOf(i), [&] {
    KdImage* img = nullptr;
    if (kd_image_decode_buffer(file.data(), file.size(), KD_FORMAT_AUTO, &img) != 0) std::abort();
    kd_image_free(img);
  });
  state.SetLabel(kLabels[i]);
}

void BM_DecodeLibjpegFloat(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  measure(state, pixelsOf(i), [&] { benchmark::DoNotOptimize(libjpegDecode(inputs().files[i], kFloat)); });
  state.SetLabel(kLabels[i]);
}

void BM_DecodeLibjpegInteger(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  measure(state, pixelsOf(i), [&] { benchmark::DoNotOptimize(libjpegDecode(inputs().files[i], kInteger)); });
  state.SetLabel(kLabels[i]);
}

void BM_DecodeStbImage(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& file = inputs().files[i];
  measure(state, pixelsOf(i), [&] {
    int w = 0, h = 0, n = 0;
    stbi_uc* px = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 3);
    if (px == nullptr) std::abort();
    stbi_image_free(px);
  });
  state.SetLabel(kLabels[i]);
}

BENCHMARK(BM_DecodeKeldra)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLibjpegFloat)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLibjpegInteger)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeStbImage)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

const char* kProgressiveLabels[2] = {"1MP progressive 4:2:0", "12MP progressive 4:2:0"};

void BM_ProgressiveKeldra(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& file = inputs().progressive[i];
  KdDecodeOpts opts{};
  opts.size = sizeof opts;
  opts.flags = KD_DECODE_WIDE;
  measure(state, pixelsOf(2 * i), [&] {
    KdImage* img = nullptr;
    if (kd_image_decode_ex(file.data(), file.size(), KD_FORMAT_AUTO, &opts, &img) != 0) std::abort();
    kd_image_free(img);
  });
  state.SetLabel(kProgressiveLabels[i]);
}

void BM_ProgressiveLibjpegFloat(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  measure(state, pixelsOf(2 * i),
          [&] { benchmark::DoNotOptimize(libjpegDecode(inputs().progressive[i], kFloat)); });
  state.SetLabel(kProgressiveLabels[i]);
}

void BM_ProgressiveStbImage(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& file = inputs().progressive[i];
  measure(state, pixelsOf(2 * i), [&] {
    int w = 0, h = 0, n = 0;
    stbi_uc* px = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 3);
    if (px == nullptr) std::abort();
    stbi_image_free(px);
  });
  state.SetLabel(kProgressiveLabels[i]);
}

BENCHMARK(BM_ProgressiveKeldra)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgressiveLibjpegFloat)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgressiveStbImage)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);

// Encode at quality 90, 4:4:4: index 0 = 1 MP, 1 = 12 MP.
const char* kEncodeLabels[2] = {"1MP 4:4:4 q90", "12MP 4:4:4 q90"};
const Raw& encodeInput(int index) { return index == 0 ? inputs().small : inputs().large; }

void BM_EncodeKeldra(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  const Raw& raw = encodeInput(i);
  KdImage* img = nullptr;
  if (kd_image_from_pixels(raw.width, raw.height, KD_CS_RGB, raw.rgb.data(), raw.rgb.size(), &img) != 0) {
    std::abort();
  }
  measure(state, pixelsOf(2 * i), [&] {
    uint8_t* out = nullptr;
    size_t len = 0;
    if (kd_image_encode(img, KD_FORMAT_JPEG, 90, &out, &len) != 0) std::abort();
    kd_image_buffer_free(out);
  });
  kd_image_free(img);
  state.SetLabel(kEncodeLabels[i]);
}

void BM_EncodeLibjpegFloat(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  measure(state, pixelsOf(2 * i),
          [&] { benchmark::DoNotOptimize(libjpegEncode(encodeInput(i), 90, false, kFloat)); });
  state.SetLabel(kEncodeLabels[i]);
}

void BM_EncodeLibjpegInteger(benchmark::State& state) {
  const auto i = static_cast<int>(state.range(0));
  measure(state, pixelsOf(2 * i),
          [&] { benchmark::DoNotOptimize(libjpegEncode(encodeInput(i), 90, false, kInteger)); });
  state.SetLabel(kEncodeLabels[i]);
}

BENCHMARK(BM_EncodeKeldra)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeLibjpegFloat)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeLibjpegInteger)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);

// A camera file: the iPhone photo of the corpus (3264 x 2448, 160 x 120
// preview) when one is configured, else the repository's camera sample
// (800 x 600, 160 x 120 preview).
struct Camera {
  std::string name;
  std::vector<uint8_t> file;
  int64_t pixels;
};

const Camera& cameraFile() {
  static const Camera camera = [] {
    for (const auto& root : bench::dataRoots()) {
      const auto path = root / "metadata/makernote-apple/ianare_iphone_hdr_NO.jpg";
      std::error_code ec;
      if (std::filesystem::is_regular_file(path, ec)) {
        return Camera{"ianare_iphone_hdr_NO.jpg", readAll(path.string()), 3264 * 2448};
      }
    }
    return Camera{"canon_s330.jpg", readAll(std::string(KELDRA_SOURCE_DIR) + "/samples/canon_s330.jpg"),
                  800 * 600};
  }();
  return camera;
}

void BM_ThumbnailKeldra(benchmark::State& state) {
  const std::vector<uint8_t>& file = cameraFile().file;
  measure(state, 160 * 120, [&] {
    KdImage* img = nullptr;
    if (kd_image_thumbnail(file.data(), file.size(), &img) != 0) std::abort();
    kd_image_free(img);
  });
  state.SetLabel(cameraFile().name + " preview");
}

void BM_ThumbnailFullDecodeKeldra(benchmark::State& state) {
  const std::vector<uint8_t>& file = cameraFile().file;
  measure(state, cameraFile().pixels, [&] {
    KdImage* img = nullptr;
    if (kd_image_decode_buffer(file.data(), file.size(), KD_FORMAT_AUTO, &img) != 0) std::abort();
    kd_image_free(img);
  });
  state.SetLabel(cameraFile().name + " whole picture");
}

BENCHMARK(BM_ThumbnailKeldra)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThumbnailFullDecodeKeldra)->Unit(benchmark::kMicrosecond);

}  // namespace
