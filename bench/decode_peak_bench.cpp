// What one decode costs in memory, through kd_image_decode_buffer and
// kd_image_decode_ex as a host calls them.
// - Each decoder on a 12-megapixel picture (4000x3000, the shared photograph
//   mirrored to size), written by the library's own encoders (PNG, JPEG q90,
//   BMP, QOI, PNM, TGA), by libtiff (LZW strips, no predictor), giflib (a
//   3-3-2 colour cube), libwebp (lossless and lossy) and a PCX writer here
//   (three run-length coded planes).
// - Two hostile files that declare 16384 x 16384 pixels: a lossless WebP whose
//   every symbol is coded in zero bits, and a PNG of zeros of about 1 MB;
//   refused under a limit of 2^26 pixels, and decoded without one.
// Counters: peakMB = how far resident memory grows during one decode, run in
// a child that first gives back the free heap it inherited; outMB = the
// decoded picture; overMB = peakMB - outMB (the decoder's working set).
// The benchmark's time is that of the decode in this process.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <malloc.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <webp/encode.h>
#include <zlib.h>

#include <keldra/keldra.h>

#include <array>
#include <map>
#include <string>

#define STB_IMAGE_IMPLEMENTATION
#include "png_support.h"
#include "support/peak_memory.h"

namespace {

using bench::Bytes;

constexpr int kWidth = 4000, kHeight = 3000;

// The photograph mirrored (not stretched) to kWidth x kHeight, RGB.
const Bytes& photo12() {
  static const Bytes out = [] {
    const bench::Photo& p = bench::photo();
    Bytes rgb(size_t(kWidth) * kHeight * 3);
    for (int y = 0; y < kHeight; ++y) {
      int sy = y % (2 * p.height);
      if (sy >= p.height) sy = 2 * p.height - 1 - sy;
      for (int x = 0; x < kWidth; ++x) {
        int sx = x % (2 * p.width);
        if (sx >= p.width) sx = 2 * p.width - 1 - sx;
        std::memcpy(&rgb[(size_t(y) * kWidth + x) * 3], &p.rgb[(size_t(sy) * p.width + sx) * 3], 3);
      }
    }
    return rgb;
  }();
  return out;
}

Bytes keldraFile(int format) {
  const Bytes& rgb = photo12();
  KdImage* img = nullptr;
  uint8_t* out = nullptr;
  size_t len = 0;
  if (kd_image_from_pixels(kWidth, kHeight, KD_CS_RGB, rgb.data(), rgb.size(), &img) != 0 ||
      kd_image_encode(img, format, 90, &out, &len) != 0) {
    std::abort();
  }
  Bytes file(out, out + len);
  kd_image_buffer_free(out);
  kd_image_free(img);
  return file;
}

Bytes tiffFile() {
  const Bytes& rgb = photo12();
  char path[] = "/tmp/keldra_peak_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  close(fd);
  TIFF* t = TIFFOpen(path, "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 80);
  const size_t row = size_t(kWidth) * 3;
  for (int y = 0, s = 0; y < kHeight; y += 80, ++s) {
    const int n = std::min(80, kHeight - y);
    TIFFWriteEncodedStrip(t, s, const_cast<uint8_t*>(&rgb[y * row]), tmsize_t(n * row));
  }
  TIFFClose(t);
  Bytes out = bench::readFile(path);
  unlink(path);
  return out;
}

int appendGif(GifFileType* g, const GifByteType* data, int n) {
  auto* out = static_cast<Bytes*>(g->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

// Colours reduced to 3 bits of red and green and 2 of blue.
Bytes gifFile(bool interlaced) {
  const Bytes& rgb = photo12();
  ColorMapObject* map = GifMakeMapObject(256, nullptr);
  for (int i = 0; i < 256; ++i) {
    map->Colors[i] = {uint8_t((i >> 5) * 255 / 7), uint8_t((i >> 2 & 7) * 255 / 7),
                      uint8_t((i & 3) * 255 / 3)};
  }
  Bytes out;
  int error = 0;
  GifFileType* g = EGifOpen(&out, appendGif, &error);
  EGifPutScreenDesc(g, kWidth, kHeight, 8, 0, map);
  EGifPutImageDesc(g, 0, 0, kWidth, kHeight, interlaced, nullptr);
  std::vector<GifByteType> line(kWidth);
  const auto putRow = [&](int y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t* px = &rgb[(size_t(y) * kWidth + x) * 3];
      line[x] = GifByteType((px[0] >> 5) << 5 | (px[1] >> 5) << 2 | px[2] >> 6);
    }
    EGifPutLine(g, line.data(), kWidth);
  };
  if (interlaced) {
    for (auto [first, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}}) {
      for (int y = first; y < kHeight; y += step) putRow(y);
    }
  } else {
    for (int y = 0; y < kHeight; ++y) putRow(y);
  }
  EGifCloseFile(g, &error);
  GifFreeMapObject(map);
  return out;
}

Bytes webpFile(bool lossless) {
  const Bytes& rgb = photo12();
  uint8_t* out = nullptr;
  const size_t len = lossless ? WebPEncodeLosslessRGB(rgb.data(), kWidth, kHeight, kWidth * 3, &out)
                              : WebPEncodeRGB(rgb.data(), kWidth, kHeight, kWidth * 3, 90, &out);
  Bytes file(out, out + len);
  WebPFree(out);
  return file;
}

// ZSoft PCX, version 5: three 8-bit planes per scanline, run-length coded.
Bytes pcxFile() {
  const Bytes& rgb = photo12();
  Bytes out(128, 0);
  out[0] = 0x0A;
  out[1] = 5;
  out[2] = 1;
  out[3] = 8;
  out[8] = uint8_t((kWidth - 1) & 0xFF);
  out[9] = uint8_t((kWidth - 1) >> 8);
  out[10] = uint8_t((kHeight - 1) & 0xFF);
  out[11] = uint8_t((kHeight - 1) >> 8);
  out[65] = 3;
  out[66] = uint8_t(kWidth & 0xFF);
  out[67] = uint8_t(kWidth >> 8);
  out[68] = 1;
  for (int y = 0; y < kHeight; ++y) {
    for (int c = 0; c < 3; ++c) {
      for (int x = 0; x < kWidth;) {
        const uint8_t v = rgb[(size_t(y) * kWidth + x) * 3 + c];
        int run = 1;
        while (x + run < kWidth && run < 63 && rgb[(size_t(y) * kWidth + x + run) * 3 + c] == v) ++run;
        if (run > 1 || v >= 0xC0) out.push_back(uint8_t(0xC0 | run));
        out.push_back(v);
        x += run;
      }
    }
  }
  return out;
}

// A lossless WebP of 16384 x 16384 pixels whose five prefix codes have one
// symbol each, so that every pixel takes zero bits (28 bytes).
// The chunk: signature, 14-bit width - 1 and height - 1, no alpha, version
// 0; then no transform, no cache, no meta codes, and each code "simple, one
// symbol of one bit, 0" (bits 1 0 0 0, least significant first).
Bytes zeroBitWebp() {
  return {'R', 'I', 'F', 'F', 20, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'L', 8, 0, 0, 0,
          0x2F, 0xFF, 0xFF, 0xFF, 0x0F, 0x88, 0x88, 0x08};
}

void putBe32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

void pngChunk(Bytes& out, const char* type, const Bytes& data) {
  putBe32(out, uint32_t(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  putBe32(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

// An RGBA PNG of 16384 x 16384 zero pixels (filter 0 on every row).
Bytes zeroPng() {
  constexpr uint32_t kSide = 16384;
  Bytes ihdr;
  putBe32(ihdr, kSide);
  putBe32(ihdr, kSide);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  Bytes idat(2u << 20);
  z_stream z{};
  deflateInit(&z, 9);
  const Bytes zeros(size_t(kSide) * 4 + 1, 0);
  z.next_out = idat.data();
  z.avail_out = uInt(idat.size());
  for (uint32_t y = 0; y < kSide; ++y) {
    z.next_in = const_cast<uint8_t*>(zeros.data());
    z.avail_in = uInt(zeros.size());
    while (z.avail_in != 0) deflate(&z, Z_NO_FLUSH);
  }
  while (deflate(&z, Z_FINISH) != Z_STREAM_END) {
  }
  idat.resize(z.total_out);
  deflateEnd(&z);
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  pngChunk(png, "IHDR", ihdr);
  pngChunk(png, "IDAT", idat);
  pngChunk(png, "IEND", {});
  return png;
}

struct Input {
  const char* name;
  int format;          // the code passed to the decode call
  bool wide = false;   // only the extended call with KD_DECODE_WIDE decodes it
};

constexpr std::array<Input, 13> kInputs = {{{"png", KD_FORMAT_PNG},
                                            {"jpeg", KD_FORMAT_JPEG},
                                            {"bmp", KD_FORMAT_BMP},
                                            {"qoi", KD_FORMAT_QOI},
                                            {"pnm", KD_FORMAT_PNM},
                                            {"tga", KD_FORMAT_TGA},
                                            {"tiff lzw", KD_FORMAT_TIFF},
                                            {"gif", KD_FORMAT_AUTO},
                                            {"gif interlaced", KD_FORMAT_AUTO},
                                            {"pcx", KD_FORMAT_AUTO},
                                            {"webp lossless", KD_FORMAT_WEBP},
                                            {"webp lossy", KD_FORMAT_WEBP, true},
                                            {"png zeros 16384", KD_FORMAT_PNG}}};

const Bytes& input(size_t which) {
  static std::map<size_t, Bytes> made;
  auto it = made.find(which);
  if (it != made.end()) return it->second;
  Bytes file;
  switch (which) {
    case 0: file = keldraFile(KD_FORMAT_PNG); break;
    case 1: file = keldraFile(KD_FORMAT_JPEG); break;
    case 2: file = keldraFile(KD_FORMAT_BMP); break;
    case 3: file = keldraFile(KD_FORMAT_QOI); break;
    case 4: file = keldraFile(KD_FORMAT_PNM); break;
    case 5: file = keldraFile(KD_FORMAT_TGA); break;
    case 6: file = tiffFile(); break;
    case 7: file = gifFile(false); break;
    case 8: file = gifFile(true); break;
    case 9: file = pcxFile(); break;
    case 10: file = webpFile(true); break;
    case 11: file = webpFile(false); break;
    default: file = zeroPng(); break;
  }
  return made.emplace(which, std::move(file)).first->second;
}

// Growth of resident memory, in MiB, while a child runs f once, and the
// size of what f decoded. The child first gives back the free heap it
// inherited, so the decode has to fault in every page it touches.
struct Peak {
  double peakMiB = -1;
  double outMiB = 0;
};

template <class F>
Peak childPeak(F f) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    malloc_trim(0);
    const kd::test::PeakMemory peak;
    const size_t out = f();
    const int64_t sizes[2] = {peak.measurable() ? peak.growth() : -1, int64_t(out)};
    if (write(fds[1], sizes, sizeof sizes) != sizeof sizes) _exit(1);
    _exit(0);
  }
  int64_t sizes[2] = {-1, 0};
  if (pid > 0) {
    if (read(fds[0], sizes, sizeof sizes) != sizeof sizes) sizes[0] = -1;
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  close(fds[1]);
  return {double(sizes[0]) / 1048576.0, double(sizes[1]) / 1048576.0};
}

// Decodes through the extended call (a limit of 0 is none); returns the
// picture's bytes, 0 when refused.
size_t decode(const Bytes& file, int format, uint64_t maxPixels, uint32_t flags = 0) {
  KdDecodeOpts opts{sizeof(KdDecodeOpts), flags, maxPixels, nullptr, 0};
  KdImage* img = nullptr;
  size_t len = 0;
  if (kd_image_decode_ex(file.data(), file.size(), format, &opts, &img) == 0) {
    const uint8_t* px = nullptr;
    kd_image_pixels(img, &px, &len);
  }
  kd_image_free(img);
  return len;
}

void report(benchmark::State& state, const Peak& p, const Bytes& file, const char* label) {
  state.counters["peakMB"] = p.peakMiB;
  state.counters["outMB"] = p.outMiB;
  state.counters["overMB"] = p.peakMiB - p.outMiB;
  state.counters["inKB"] = double(file.size()) / 1024.0;
  state.SetLabel(label);
}

// One decoder at 12 MP through kd_image_decode_buffer (lossy WebP through
// kd_image_decode_ex with KD_DECODE_WIDE).
void BM_DecodePeak(benchmark::State& state) {
  const Input& in = kInputs[size_t(state.range(0))];
  const Bytes& file = input(size_t(state.range(0)));
  const auto once = [&] {
    if (in.wide) return decode(file, in.format, 0, KD_DECODE_WIDE);
    KdImage* img = nullptr;
    size_t len = 0;
    if (kd_image_decode_buffer(file.data(), file.size(), in.format, &img) == 0) {
      const uint8_t* px = nullptr;
      kd_image_pixels(img, &px, &len);
    }
    kd_image_free(img);
    return len;
  };
  for (auto _ : state) {
    if (once() == 0) state.SkipWithError("decode failed");
  }
  report(state, childPeak(once), file, in.name);
}

// The hostile files: range(0) 0 is the zero-bit WebP, 1 the PNG of zeros;
// range(1) is the pixel limit (0: none).
void BM_HostileDecode(benchmark::State& state) {
  static const Bytes webp = zeroBitWebp();
  const bool isWebp = state.range(0) == 0;
  const Bytes& file = isWebp ? webp : input(kInputs.size() - 1);
  const int format = isWebp ? KD_FORMAT_WEBP : KD_FORMAT_PNG;
  const uint64_t limit = uint64_t(state.range(1));
  for (auto _ : state) {
    const size_t len = decode(file, format, limit);
    if ((len == 0) != (limit != 0)) state.SkipWithError("unexpected outcome");
  }
  report(state, childPeak([&] { return decode(file, format, limit); }), file,
         limit != 0 ? (isWebp ? "zero-bit webp, limit 2^26" : "png of zeros, limit 2^26")
                    : (isWebp ? "zero-bit webp, no limit" : "png of zeros, no limit"));
}

}  // namespace

BENCHMARK(BM_DecodePeak)->DenseRange(0, int(kInputs.size()) - 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileDecode)
    ->Args({0, int64_t{1} << 26})
    ->Args({1, int64_t{1} << 26})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HostileDecode)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
