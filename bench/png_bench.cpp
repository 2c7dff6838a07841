// PNG decoding of a 3264x2448 photograph saved by libpng as RGB and as RGBA
// (adaptive filters, zlib level 6), beside libpng, spng and stb_image
// decoding the same file in memory to 8-bit samples. The Adam7-interlaced
// RGB form of the photo goes through kd_image_decode_ex with KD_DECODE_WIDE
// beside libpng and spng, with peak memory (malloc_peak.h).
#include <benchmark/benchmark.h>
#include <spng.h>

#define STB_IMAGE_IMPLEMENTATION
#include "png_support.h"

#include "formats/codecs.h"
#include "keldra/keldra.h"
#include "malloc_peak.h"

namespace {

using bench::Bytes;

const Bytes& file(int channels) {
  static Bytes rgb = bench::photoPng(3);
  static Bytes rgba = bench::photoPng(4);
  return channels == 3 ? rgb : rgba;
}

void finish(benchmark::State& state, int channels) {
  const bench::Photo& p = bench::photo();
  state.SetBytesProcessed(int64_t(state.iterations()) * p.width * p.height * channels);
  state.SetLabel(channels == 3 ? "rgb" : "rgba");
}

void BM_Keldra(benchmark::State& state) {
  const int channels = int(state.range(0));
  const Bytes& f = file(channels);
  for (auto _ : state) {
    kd::formats::Image img = kd::formats::decodePng(f);
    benchmark::DoNotOptimize(img.pixels.data());
  }
  finish(state, channels);
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

void BM_Libpng(benchmark::State& state) {
  const int channels = int(state.range(0));
  const Bytes& f = file(channels);
  for (auto _ : state) {
    Reader r{&f, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_read_fn(png, &r, readMemory);
    png_read_info(png, info);
    const size_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    Bytes out(rowBytes * h);
    std::vector<png_bytep> rows(h);
    for (size_t y = 0; y < h; ++y) rows[y] = out.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(w);
  }
  finish(state, channels);
}

void BM_Spng(benchmark::State& state) {
  const int channels = int(state.range(0));
  const Bytes& f = file(channels);
  const int fmt = channels == 3 ? SPNG_FMT_RGB8 : SPNG_FMT_RGBA8;
  for (auto _ : state) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, f.data(), f.size());
    size_t size = 0;
    spng_decoded_image_size(ctx, fmt, &size);
    Bytes out(size);
    if (spng_decode_image(ctx, out.data(), size, fmt, 0) != 0) state.SkipWithError("spng");
    spng_ctx_free(ctx);
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, channels);
}

void BM_StbImage(benchmark::State& state) {
  const int channels = int(state.range(0));
  const Bytes& f = file(channels);
  for (auto _ : state) {
    int w, h, n;
    uint8_t* px = stbi_load_from_memory(f.data(), int(f.size()), &w, &h, &n, channels);
    benchmark::DoNotOptimize(px);
    stbi_image_free(px);
  }
  finish(state, channels);
}

const Bytes& adam7File() {
  static Bytes rgb = bench::photoPng(3, PNG_INTERLACE_ADAM7);
  return rgb;
}

int64_t photoPixels() { return int64_t{bench::photo().width} * bench::photo().height; }

void BM_Adam7Keldra(benchmark::State& state) {
  const Bytes& f = adam7File();
  KdDecodeOpts opts{};
  opts.size = sizeof opts;
  opts.flags = KD_DECODE_WIDE;
  bench::measure(state, photoPixels(), [&] {
    KdImage* img = nullptr;
    if (kd_image_decode_ex(f.data(), f.size(), KD_FORMAT_AUTO, &opts, &img) != 0) std::abort();
    kd_image_free(img);
  });
  state.SetLabel("adam7 rgb");
}

void BM_Adam7Libpng(benchmark::State& state) {
  const Bytes& f = adam7File();
  bench::measure(state, photoPixels(), [&] {
    Reader r{&f, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_read_fn(png, &r, readMemory);
    png_read_info(png, info);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t h = png_get_image_height(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    Bytes out(rowBytes * h);
    std::vector<png_bytep> rows(h);
    for (size_t y = 0; y < h; ++y) rows[y] = out.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(out.data());
  });
  state.SetLabel("adam7 rgb");
}

void BM_Adam7Spng(benchmark::State& state) {
  const Bytes& f = adam7File();
  bench::measure(state, photoPixels(), [&] {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, f.data(), f.size());
    size_t size = 0;
    spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size);
    Bytes out(size);
    if (spng_decode_image(ctx, out.data(), size, SPNG_FMT_RGB8, 0) != 0) std::abort();
    spng_ctx_free(ctx);
    benchmark::DoNotOptimize(out.data());
  });
  state.SetLabel("adam7 rgb");
}

BENCHMARK(BM_Adam7Keldra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Adam7Libpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Adam7Spng)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_Keldra)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libpng)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Spng)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StbImage)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
