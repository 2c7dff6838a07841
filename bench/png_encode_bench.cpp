// PNG encoding of a 3264x2448 photograph (RGB) through kd_image_encode_ex
// at levels 1 and 6, beside libpng at zlib levels 1 and 6 with its default
// adaptive filters, writing to memory. The counter "bytes" is the file size.
#include <benchmark/benchmark.h>

#define STB_IMAGE_IMPLEMENTATION
#include "png_support.h"

#include "keldra/keldra.h"

namespace {

using bench::Bytes;

void BM_KeldraEncode(benchmark::State& state) {
  const bench::Photo& p = bench::photo();
  KdImage* img = nullptr;
  if (kd_image_from_pixels(p.width, p.height, KD_CS_RGB, p.rgb.data(), p.rgb.size(), &img) != 0) {
    state.SkipWithError("kd_image_from_pixels");
    return;
  }
  const KdEncodeOpts opts{sizeof(KdEncodeOpts), 0, int32_t(state.range(0)), 0};
  size_t size = 0;
  for (auto _ : state) {
    uint8_t* out = nullptr;
    if (kd_image_encode_ex(img, KD_FORMAT_PNG, &opts, &out, &size) != 0) state.SkipWithError("encode");
    kd_image_buffer_free(out);
  }
  kd_image_free(img);
  state.counters["bytes"] = double(size);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.rgb.size()));
}

void BM_LibpngEncode(benchmark::State& state) {
  const bench::Photo& p = bench::photo();
  size_t size = 0;
  for (auto _ : state) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, bench::appendToBytes, nullptr);
    png_set_IHDR(png, info, p.width, p.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, int(state.range(0)));
    png_write_info(png, info);
    for (int y = 0; y < p.height; ++y) {
      png_write_row(png, const_cast<png_bytep>(&p.rgb[size_t(y) * p.width * 3]));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = double(size);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.rgb.size()));
}

BENCHMARK(BM_KeldraEncode)->Arg(1)->Arg(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibpngEncode)->Arg(1)->Arg(6)->Unit(benchmark::kMillisecond);

}  // namespace
