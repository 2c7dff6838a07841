// Decode and encode of a 12-megapixel picture (4000 x 3000, a photo scaled
// up bilinearly) in BMP, QOI, PNM, TGA and PCX, each beside its peer in the
// same run: stb_image / stb_image_write for BMP, PNM and TGA, the QOI
// reference for QOI. PCX and PNM encoding have no in-process peer; a plain
// copy of the same bytes stands beside PNM encoding as the floor.
// Counter px = pixels per second.
#include <benchmark/benchmark.h>
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>
#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_data.h"
#include "formats/codecs.h"

namespace {

using kd::formats::Bytes;
using kd::formats::ByteView;
using kd::formats::Image;

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;

// The photo scaled bilinearly to 4000 x 3000; RGBA gets a soft alpha ramp.
const Image& picture(bool alpha) {
  static const std::array<Image, 2> pictures = [] {
    const std::string path = bench::dataPath("codec/jpeg/irs_cat.jpg");
    int w = 0, h = 0, n = 0;
    stbi_uc* src = stbi_load(path.c_str(), &w, &h, &n, 3);
    if (src == nullptr) std::abort();
    Image rgb = kd::formats::newImage(kWidth, kHeight, kd::formats::csRgb);
    Image rgba = kd::formats::newImage(kWidth, kHeight, kd::formats::csRgba);
    for (int y = 0; y < kHeight; ++y) {
      const float fy = static_cast<float>(y) * static_cast<float>(h - 1) / (kHeight - 1);
      const int y0 = static_cast<int>(fy);
      const int y1 = y0 + 1 < h ? y0 + 1 : y0;
      const float wy = fy - static_cast<float>(y0);
      for (int x = 0; x < kWidth; ++x) {
        const float fx = static_cast<float>(x) * static_cast<float>(w - 1) / (kWidth - 1);
        const int x0 = static_cast<int>(fx);
        const int x1 = x0 + 1 < w ? x0 + 1 : x0;
        const float wx = fx - static_cast<float>(x0);
        const size_t o = static_cast<size_t>(y) * kWidth + static_cast<size_t>(x);
        for (int c = 0; c < 3; ++c) {
          auto at = [&](int yy, int xx) {
            return static_cast<float>(src[(static_cast<size_t>(yy) * w + xx) * 3 + c]);
          };
          const float top = at(y0, x0) + (at(y0, x1) - at(y0, x0)) * wx;
          const float bottom = at(y1, x0) + (at(y1, x1) - at(y1, x0)) * wx;
          const auto v = static_cast<uint8_t>(top + (bottom - top) * wy + 0.5f);
          rgb.pixels[o * 3 + c] = v;
          rgba.pixels[o * 4 + c] = v;
        }
        rgba.pixels[o * 4 + 3] = static_cast<uint8_t>(255 - (x * 64 / kWidth));
      }
    }
    stbi_image_free(src);
    return std::array<Image, 2>{std::move(rgb), std::move(rgba)};
  }();
  return pictures[alpha ? 1 : 0];
}

ByteView viewOf(const Bytes& b) { return ByteView(b.data(), b.size()); }

void setPixels(benchmark::State& state) {
  state.counters["px"] = benchmark::Counter(static_cast<double>(kWidth) * kHeight,
                                            benchmark::Counter::kIsIterationInvariantRate);
}

void appendTo(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
}

// stb_image decodes from memory with the channel count of the file.
void stbDecode(benchmark::State& state, const Bytes& file, int channels) {
  for (auto _ : state) {
    int w = 0, h = 0, n = 0;
    stbi_uc* px = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n,
                                        channels);
    if (px == nullptr) state.SkipWithError("stb_image failed");
    benchmark::DoNotOptimize(px);
    stbi_image_free(px);
  }
  setPixels(state);
}

template <class Decode>
void keldraDecode(benchmark::State& state, const Bytes& file, Decode decode) {
  for (auto _ : state) {
    Image img = decode(viewOf(file));
    benchmark::DoNotOptimize(img.pixels.data());
  }
  setPixels(state);
}

// ---- BMP ----
const Bytes& bmpFile() {
  static const Bytes file = kd::formats::encodeBmp(picture(false));
  return file;
}
void BM_BmpDecode_Keldra(benchmark::State& s) {
  keldraDecode(s, bmpFile(), [](ByteView d) { return kd::formats::decodeBmp(d); });
}
void BM_BmpDecode_Stb(benchmark::State& s) { stbDecode(s, bmpFile(), 3); }
void BM_BmpEncode_Keldra(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(kd::formats::encodeBmp(picture(false)).data());
  setPixels(state);
}
void BM_BmpEncode_Stb(benchmark::State& state) {
  for (auto _ : state) {
    Bytes out;
    stbi_write_bmp_to_func(appendTo, &out, kWidth, kHeight, 3, picture(false).pixels.data());
    benchmark::DoNotOptimize(out.data());
  }
  setPixels(state);
}

// ---- QOI ----
const Bytes& qoiFile(bool alpha) {
  static const Bytes files[2] = {kd::formats::encodeQoi(picture(false)),
                                 kd::formats::encodeQoi(picture(true))};
  return files[alpha ? 1 : 0];
}
void BM_QoiDecode_Keldra(benchmark::State& s) {
  keldraDecode(s, qoiFile(s.range(0) != 0), kd::formats::decodeQoi);
}
void BM_QoiDecode_Reference(benchmark::State& state) {
  const Bytes& file = qoiFile(state.range(0) != 0);
  for (auto _ : state) {
    qoi_desc desc;
    void* px = qoi_decode(file.data(), static_cast<int>(file.size()), &desc, 0);
    if (px == nullptr) state.SkipWithError("qoi_decode failed");
    benchmark::DoNotOptimize(px);
    std::free(px);
  }
  setPixels(state);
}
void BM_QoiEncode_Keldra(benchmark::State& state) {
  const Image& img = picture(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(kd::formats::encodeQoi(img).data());
  setPixels(state);
}
void BM_QoiEncode_Reference(benchmark::State& state) {
  const Image& img = picture(state.range(0) != 0);
  const qoi_desc desc{kWidth, kHeight, static_cast<unsigned char>(img.channels), 0};
  for (auto _ : state) {
    int len = 0;
    void* out = qoi_encode(img.pixels.data(), &desc, &len);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  setPixels(state);
}

// ---- PNM ----
const Bytes& ppmFile() {
  static const Bytes file = kd::formats::encodePnm(picture(false));
  return file;
}
void BM_PnmDecode_Keldra(benchmark::State& s) {
  keldraDecode(s, ppmFile(), [](ByteView d) { return kd::formats::decodePnm(d); });
}
void BM_PnmDecode_Stb(benchmark::State& s) { stbDecode(s, ppmFile(), 3); }
void BM_PnmEncode_Keldra(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(kd::formats::encodePnm(picture(false)).data());
  setPixels(state);
}
void BM_PnmEncode_CopyFloor(benchmark::State& state) {
  const Bytes& pixels = picture(false).pixels;
  for (auto _ : state) {
    Bytes out(pixels.size() + 20);
    std::memcpy(out.data() + 20, pixels.data(), pixels.size());
    benchmark::DoNotOptimize(out.data());
  }
  setPixels(state);
}

// ---- TGA ----
const Bytes& tgaFile(bool rle) {
  static const std::array<Bytes, 2> files = [] {
    Bytes rleFile;
    stbi_write_tga_with_rle = 1;
    stbi_write_tga_to_func(appendTo, &rleFile, kWidth, kHeight, 4, picture(true).pixels.data());
    return std::array<Bytes, 2>{kd::formats::encodeTga(picture(true)), std::move(rleFile)};
  }();
  return files[rle ? 1 : 0];
}
void BM_TgaDecode_Keldra(benchmark::State& s) {
  keldraDecode(s, tgaFile(s.range(0) != 0), kd::formats::decodeTga);
}
void BM_TgaDecode_Stb(benchmark::State& s) { stbDecode(s, tgaFile(s.range(0) != 0), 4); }
void BM_TgaEncode_Keldra(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(kd::formats::encodeTga(picture(true)).data());
  setPixels(state);
}
void BM_TgaEncode_Stb(benchmark::State& state) {
  stbi_write_tga_with_rle = 0;
  for (auto _ : state) {
    Bytes out;
    stbi_write_tga_to_func(appendTo, &out, kWidth, kHeight, 4, picture(true).pixels.data());
    benchmark::DoNotOptimize(out.data());
  }
  setPixels(state);
}

// ---- PCX (no in-process peer) ----
// Three RLE planes per scanline, written here since the library has no PCX
// encoder.
const Bytes& pcxFile() {
  static const Bytes file = [] {
    const Image& img = picture(false);
    Bytes out(128, 0);
    out[0] = 0x0A;
    out[1] = 5;
    out[2] = 1;
    out[3] = 8;
    const int xmax = kWidth - 1, ymax = kHeight - 1;
    out[8] = xmax & 0xFF;
    out[9] = static_cast<uint8_t>(xmax >> 8);
    out[10] = ymax & 0xFF;
    out[11] = static_cast<uint8_t>(ymax >> 8);
    out[65] = 3;
    out[66] = kWidth & 0xFF;
    out[67] = kWidth >> 8;
    for (int y = 0; y < kHeight; ++y) {
      for (int c = 0; c < 3; ++c) {
        const uint8_t* row = img.pixels.data() + static_cast<size_t>(y) * kWidth * 3 + c;
        for (int x = 0; x < kWidth;) {
          int run = 1;
          while (x + run < kWidth && run < 63 && row[3 * (x + run)] == row[3 * x]) ++run;
          if (run > 1 || row[3 * x] >= 0xC0) out.push_back(static_cast<uint8_t>(0xC0 | run));
          out.push_back(row[3 * x]);
          x += run;
        }
      }
    }
    return out;
  }();
  return file;
}
void BM_PcxDecode_Keldra(benchmark::State& s) { keldraDecode(s, pcxFile(), kd::formats::decodePcx); }

}  // namespace

BENCHMARK(BM_BmpDecode_Keldra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpDecode_Stb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpEncode_Keldra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BmpEncode_Stb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QoiDecode_Keldra)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QoiDecode_Reference)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QoiEncode_Keldra)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QoiEncode_Reference)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PnmDecode_Keldra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PnmDecode_Stb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PnmEncode_Keldra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PnmEncode_CopyFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TgaDecode_Keldra)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TgaDecode_Stb)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TgaEncode_Keldra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TgaEncode_Stb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcxDecode_Keldra)->Unit(benchmark::kMillisecond);
