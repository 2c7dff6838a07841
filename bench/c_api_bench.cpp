// The jobs of the speed work as a host sees them: through the exported C
// functions (kd_image_decode_buffer, kd_image_encode, kd_image_extract_palette),
// each beside its peer in the same run, on a photograph at 1 and 12
// megapixels (3264x2448 camera photo scaled bilinearly to 1155x866 and
// 4000x3000), RGB and RGBA (alpha: a soft vignette).
// Counters: px = pixels per second; peakMB = the resident high-water mark of
// the run above the resident size before it (inputs are made before, and the
// heap freed by earlier runs is returned to the system first so that reusing
// it does not hide a peak); outMB = an encoder's output.
// libimagequant spreads its work over OpenMP threads; run with
// OMP_NUM_THREADS=1 to hold it to one thread as the library is.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <spng.h>
#include <libimagequant.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>
#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "keldra/keldra.h"
#include "png_support.h"

namespace {

using bench::Bytes;

// Resident high-water mark, reset at construction (Linux /proc).
class PeakMemory {
 public:
  PeakMemory() {
    malloc_trim(0);
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", f);
      std::fclose(f);
    }
    start_ = field("VmRSS:");
  }
  double megabytes() const { return static_cast<double>(field("VmHWM:") - start_) / 1048576.0; }

 private:
  static int64_t field(const char* name) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    int64_t kb = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::strncmp(line, name, std::strlen(name)) == 0) kb = std::atoll(line + std::strlen(name));
    }
    std::fclose(f);
    return kb * 1024;
  }
  int64_t start_ = 0;
};

struct Picture {
  int width = 0;
  int height = 0;
  int channels = 0;
  Bytes pixels;
  Bytes png;  // written by libpng, adaptive filters, level 6
};

Bytes writePng(const Picture& p) {
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, bench::appendToBytes, nullptr);
  png_set_IHDR(png, info, p.width, p.height, 8,
               p.channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  for (int y = 0; y < p.height; ++y) {
    png_write_row(png, &p.pixels[size_t(y) * p.width * p.channels]);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

// megapixels 1 or 12; channels 3 or 4.
const Picture& picture(int megapixels, int channels) {
  static std::map<std::pair<int, int>, Picture> cache;
  auto key = std::make_pair(megapixels, channels);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  const bench::Photo& photo = bench::photo();
  KdImage* src = nullptr;
  KdImage* scaled = nullptr;
  kd_image_from_pixels(photo.width, photo.height, KD_CS_RGB, photo.rgb.data(), photo.rgb.size(),
                       &src);
  Picture p;
  p.width = megapixels == 1 ? 1155 : 4000;
  p.height = megapixels == 1 ? 866 : 3000;
  p.channels = channels;
  if (kd_image_resize(src, p.width, p.height, KD_FILTER_BILINEAR, &scaled) != 0) std::abort();
  const uint8_t* rgb = nullptr;
  size_t len = 0;
  kd_image_pixels(scaled, &rgb, &len);
  p.pixels.resize(size_t(p.width) * p.height * channels);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const size_t i = size_t(y) * p.width + x;
      std::memcpy(&p.pixels[i * channels], rgb + i * 3, 3);
      if (channels == 4) {
        const int64_t dx = x - p.width / 2, dy = y - p.height / 2;
        p.pixels[i * 4 + 3] = static_cast<uint8_t>(
            255 - (dx * dx + dy * dy) * 200 /
                      (int64_t(p.width) * p.width / 4 + int64_t(p.height) * p.height / 4));
      }
    }
  }
  kd_image_free(scaled);
  kd_image_free(src);
  p.png = writePng(p);
  return cache.emplace(key, std::move(p)).first->second;
}

void finish(benchmark::State& state, const Picture& p, const PeakMemory& peak,
            size_t outBytes = 0) {
  state.counters["px"] = benchmark::Counter(static_cast<double>(p.width) * p.height,
                                            benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peakMB"] = peak.megabytes();
  if (outBytes != 0) state.counters["outMB"] = static_cast<double>(outBytes) / 1048576.0;
  state.SetLabel(std::to_string(state.range(0)) + "MP " + (p.channels == 3 ? "rgb" : "rgba"));
}

// ---- PNG decode --------------------------------------------------------------

void BM_PngDecode_Keldra(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  PeakMemory peak;
  for (auto _ : state) {
    KdImage* img = nullptr;
    if (kd_image_decode_buffer(p.png.data(), p.png.size(), KD_FORMAT_PNG, &img) != 0) {
      state.SkipWithError("decode");
    }
    kd_image_free(img);
  }
  finish(state, p, peak);
}

struct Reader {
  const Bytes* data;
  size_t pos;
};

void readMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* r = static_cast<Reader*>(png_get_io_ptr(png));
  std::memcpy(out, r->data->data() + r->pos, n);
  r->pos += n;
}

void BM_PngDecode_Libpng(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  PeakMemory peak;
  for (auto _ : state) {
    Reader r{&p.png, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_read_fn(png, &r, readMemory);
    png_read_info(png, info);
    const size_t h = png_get_image_height(png, info);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    Bytes out(rowBytes * h);
    std::vector<png_bytep> rows(h);
    for (size_t y = 0; y < h; ++y) rows[y] = out.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, p, peak);
}

void BM_PngDecode_Spng(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  const int fmt = p.channels == 3 ? SPNG_FMT_RGB8 : SPNG_FMT_RGBA8;
  PeakMemory peak;
  for (auto _ : state) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, p.png.data(), p.png.size());
    size_t size = 0;
    spng_decoded_image_size(ctx, fmt, &size);
    Bytes out(size);
    if (spng_decode_image(ctx, out.data(), size, fmt, 0) != 0) state.SkipWithError("spng");
    spng_ctx_free(ctx);
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, p, peak);
}

// ---- encoders ------------------------------------------------------------------

void keldraEncode(benchmark::State& state, int format) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  KdImage* img = nullptr;
  kd_image_from_pixels(p.width, p.height, p.channels == 3 ? KD_CS_RGB : KD_CS_RGBA,
                       p.pixels.data(), p.pixels.size(), &img);
  PeakMemory peak;
  size_t outBytes = 0;
  for (auto _ : state) {
    uint8_t* out = nullptr;
    size_t len = 0;
    if (kd_image_encode(img, format, 90, &out, &len) != 0) state.SkipWithError("encode");
    benchmark::DoNotOptimize(out);
    kd_image_buffer_free(out);
    outBytes = len;
  }
  finish(state, p, peak, outBytes);
  kd_image_free(img);
}

void BM_QoiEncode_Keldra(benchmark::State& state) { keldraEncode(state, KD_FORMAT_QOI); }
void BM_BmpEncode_Keldra(benchmark::State& state) { keldraEncode(state, KD_FORMAT_BMP); }
void BM_TgaEncode_Keldra(benchmark::State& state) { keldraEncode(state, KD_FORMAT_TGA); }
void BM_PngEncode_Keldra(benchmark::State& state) { keldraEncode(state, KD_FORMAT_PNG); }

void BM_QoiEncode_Reference(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  qoi_desc desc{unsigned(p.width), unsigned(p.height), static_cast<unsigned char>(p.channels),
                QOI_SRGB};
  PeakMemory peak;
  size_t outBytes = 0;
  for (auto _ : state) {
    int len = 0;
    void* out = qoi_encode(p.pixels.data(), &desc, &len);
    benchmark::DoNotOptimize(out);
    QOI_FREE(out);
    outBytes = static_cast<size_t>(len);
  }
  finish(state, p, peak, outBytes);
}

void appendBytes(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

template <int (*Write)(stbi_write_func*, void*, int, int, int, const void*)>
void stbEncode(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  stbi_write_tga_with_rle = 0;
  PeakMemory peak;
  size_t outBytes = 0;
  for (auto _ : state) {
    Bytes out;
    Write(appendBytes, &out, p.width, p.height, p.channels, p.pixels.data());
    benchmark::DoNotOptimize(out.data());
    outBytes = out.size();
  }
  finish(state, p, peak, outBytes);
}

void BM_BmpEncode_Stb(benchmark::State& state) { stbEncode<stbi_write_bmp_to_func>(state); }
void BM_TgaEncode_Stb(benchmark::State& state) { stbEncode<stbi_write_tga_to_func>(state); }

void BM_PngEncode_Libpng(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  PeakMemory peak;
  size_t outBytes = 0;
  for (auto _ : state) {
    Bytes out = writePng(p);
    benchmark::DoNotOptimize(out.data());
    outBytes = out.size();
  }
  finish(state, p, peak, outBytes);
}

// ---- palette: "wu", 16 colours ----------------------------------------------------

void BM_PaletteWu16_Keldra(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), int(state.range(1)));
  KdImage* img = nullptr;
  kd_image_from_pixels(p.width, p.height, p.channels == 3 ? KD_CS_RGB : KD_CS_RGBA,
                       p.pixels.data(), p.pixels.size(), &img);
  PeakMemory peak;
  for (auto _ : state) {
    KdPalette* pal = nullptr;
    if (kd_image_extract_palette(img, 16, "wu", 0, nullptr, &pal) != 0) state.SkipWithError("wu");
    benchmark::DoNotOptimize(kd_palette_len(pal));
    kd_palette_free(pal);
  }
  finish(state, p, peak);
  kd_image_free(img);
}

void BM_PaletteWu16_Libimagequant(benchmark::State& state) {
  const Picture& p = picture(int(state.range(0)), 4);
  PeakMemory peak;
  for (auto _ : state) {
    liq_attr* attr = liq_attr_create();
    liq_set_max_colors(attr, 16);
    liq_set_speed(attr, 10);
    liq_image* img = liq_image_create_rgba(attr, p.pixels.data(), p.width, p.height, 0);
    liq_result* res = nullptr;
    if (liq_image_quantize(img, attr, &res) != LIQ_OK) state.SkipWithError("liq");
    benchmark::DoNotOptimize(liq_get_palette(res));
    liq_result_destroy(res);
    liq_image_destroy(img);
    liq_attr_destroy(attr);
  }
  finish(state, p, peak);
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int mp : {1, 12}) {
    for (int ch : {3, 4}) b->Args({mp, ch});
  }
  b->Unit(benchmark::kMillisecond);
}

void rgbaSizes(benchmark::internal::Benchmark* b) {
  for (int mp : {1, 12}) b->Args({mp, 4});
  b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_PngDecode_Keldra)->Apply(sizes);
BENCHMARK(BM_PngDecode_Libpng)->Apply(sizes);
BENCHMARK(BM_PngDecode_Spng)->Apply(sizes);
BENCHMARK(BM_QoiEncode_Keldra)->Apply(sizes);
BENCHMARK(BM_QoiEncode_Reference)->Apply(sizes);
BENCHMARK(BM_BmpEncode_Keldra)->Apply(sizes);
BENCHMARK(BM_BmpEncode_Stb)->Apply(sizes);
BENCHMARK(BM_TgaEncode_Keldra)->Apply(sizes);
BENCHMARK(BM_TgaEncode_Stb)->Apply(sizes);
BENCHMARK(BM_PngEncode_Keldra)->Apply(sizes);
BENCHMARK(BM_PngEncode_Libpng)->Apply(sizes);
BENCHMARK(BM_PaletteWu16_Keldra)->Apply(rgbaSizes);
BENCHMARK(BM_PaletteWu16_Libimagequant)->Apply(rgbaSizes);
