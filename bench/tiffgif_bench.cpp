// TIFF and GIF decoding beside their peers, through the exported C call:
// - a 12-megapixel RGB picture (4000x3000, the shared photograph mirrored
//   to size) written by libtiff as LZW and as Deflate strips (predictor 2,
//   the way most tools write them; 16 rows a strip), decoded by libtiff's
//   TIFFReadEncodedStrip into one RGB buffer;
// - the same photograph at 1 and 12 megapixels as LZW and Deflate strips
//   of 8, 80 and 256 rows, with and without predictor 2, as `tiffcp -c lzw`
//   / `-c zip` (with `:2` for the predictor) and `-r N` write them;
// - a 1-megapixel GIF (1000x1000, the photograph reduced to a 6x7x6 colour
//   cube with ordered dithering) written by giflib, decoded to RGBA by
//   giflib (DGifSlurp plus the palette lookup) and by stb_image.
// Each benchmark also reports how far resident memory grows during one
// decode, run in a child process ("peak_MiB").
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <keldra/keldra.h>

#include <array>
#include <map>
#include <string>

#define STB_IMAGE_IMPLEMENTATION
#include "png_support.h"

namespace {

using bench::Bytes;

constexpr int kTiffWidth = 4000, kTiffHeight = 3000;
constexpr int kGifSide = 1000;

// The photograph mirrored (not stretched) to w x h.
Bytes photoAt(int w, int h) {
  const bench::Photo& p = bench::photo();
  Bytes out(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    const int period = 2 * p.height;
    int sy = y % period;
    if (sy >= p.height) sy = period - 1 - sy;
    for (int x = 0; x < w; ++x) {
      int sx = x % (2 * p.width);
      if (sx >= p.width) sx = 2 * p.width - 1 - sx;
      std::memcpy(&out[(size_t(y) * w + x) * 3], &p.rgb[(size_t(sy) * p.width + sx) * 3], 3);
    }
  }
  return out;
}

Bytes tiffFile(uint16_t compression, uint16_t predictor = PREDICTOR_HORIZONTAL, int width = kTiffWidth,
               int height = kTiffHeight, int rowsPerStrip = 16) {
  const Bytes rgb = photoAt(width, height);
  char path[] = "/tmp/keldra_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::exit(1);
  close(fd);
  TIFF* t = TIFFOpen(path, "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  const size_t row = size_t(width) * 3;
  for (int y = 0, s = 0; y < height; y += rowsPerStrip, ++s) {
    const int n = std::min(rowsPerStrip, height - y);
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

Bytes gifFile() {
  const Bytes rgb = photoAt(kGifSide, kGifSide);
  static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  Bytes indices(size_t(kGifSide) * kGifSide);
  for (int y = 0; y < kGifSide; ++y) {
    for (int x = 0; x < kGifSide; ++x) {
      const uint8_t* px = &rgb[(size_t(y) * kGifSide + x) * 3];
      const int levels[3] = {6, 7, 6};
      int q[3];
      for (int c = 0; c < 3; ++c) {
        const int v = px[c] * (levels[c] - 1) * 16 + kBayer[y & 3][x & 3] * 255;
        q[c] = std::min(levels[c] - 1, v / (255 * 16));
      }
      indices[size_t(y) * kGifSide + x] = uint8_t((q[0] * 7 + q[1]) * 6 + q[2]);
    }
  }
  ColorMapObject* map = GifMakeMapObject(256, nullptr);
  for (int i = 0; i < 252; ++i) {
    map->Colors[i] = {uint8_t(i / 42 * 51), uint8_t(i / 6 % 7 * 255 / 6), uint8_t(i % 6 * 51)};
  }
  Bytes out;
  int error = 0;
  GifFileType* g = EGifOpen(&out, appendGif, &error);
  EGifPutScreenDesc(g, kGifSide, kGifSide, 8, 0, map);
  EGifPutImageDesc(g, 0, 0, kGifSide, kGifSide, false, nullptr);
  for (int y = 0; y < kGifSide; ++y) EGifPutLine(g, &indices[size_t(y) * kGifSide], kGifSide);
  EGifCloseFile(g, &error);
  GifFreeMapObject(map);
  return out;
}

const Bytes& input(int which) {
  static const Bytes lzw = tiffFile(COMPRESSION_LZW);
  static const Bytes zip = tiffFile(COMPRESSION_ADOBE_DEFLATE);
  static const Bytes gif = gifFile();
  return which == 0 ? lzw : which == 1 ? zip : gif;
}

const char* labelOf(int which) { return which == 0 ? "tiff lzw" : which == 1 ? "tiff deflate" : "gif"; }

// Growth of resident memory, in MiB, while a child runs f once: the child
// first returns the free heap it inherited, so the decode has to fault in
// every page it touches.
long statusKiB(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  long kib = -1;
  char line[256];
  const size_t n = std::strlen(field);
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0 && std::sscanf(line + n, "%ld", &kib) == 1) break;
  }
  if (f != nullptr) std::fclose(f);
  return kib;
}

template <class F>
double childPeakMiB(F f) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    malloc_trim(0);
    // Resets the high-water mark to the current resident size.
    if (FILE* c = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", c);
      std::fclose(c);
    }
    const long before = statusKiB("VmRSS:");
    f();
    const long grown = statusKiB("VmHWM:") - before;
    if (write(fds[1], &grown, sizeof grown) != sizeof grown) _exit(1);
    _exit(0);
  }
  long grown = -1024;
  if (pid > 0) {
    if (read(fds[0], &grown, sizeof grown) != sizeof grown) grown = -1024;
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  close(fds[1]);
  return double(grown) / 1024;
}

template <class F>
void run(benchmark::State& state, int which, int channels, F decode) {
  const Bytes& f = input(which);
  for (auto _ : state) decode(f);
  const int side = which == 2 ? kGifSide : 0;
  const int64_t pixels = side ? int64_t(side) * side : int64_t(kTiffWidth) * kTiffHeight;
  state.SetBytesProcessed(int64_t(state.iterations()) * pixels * channels);
  state.counters["peak_MiB"] = childPeakMiB([&] { decode(f); });
  state.SetLabel(labelOf(which));
}

void keldraDecode(const Bytes& f) {
  KdImage* img = nullptr;
  if (kd_image_decode_buffer(f.data(), f.size(), KD_FORMAT_AUTO, &img) != KD_IMAGE_OK) std::abort();
  const uint8_t* px = nullptr;
  size_t len = 0;
  kd_image_pixels(img, &px, &len);
  benchmark::DoNotOptimize(px);
  kd_image_free(img);
}

void BM_Keldra(benchmark::State& state) {
  kd_exif_init();
  const int which = int(state.range(0));
  run(state, which, which == 2 ? 4 : 3, keldraDecode);
}

struct MemoryStream {
  const Bytes* data;
  toff_t pos = 0;
};

tmsize_t readStream(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<MemoryStream*>(h);
  const tmsize_t take = std::min<tmsize_t>(n, tmsize_t(m->data->size() - m->pos));
  std::memcpy(buf, m->data->data() + m->pos, size_t(take));
  m->pos += toff_t(take);
  return take;
}
tmsize_t writeStream(thandle_t, void*, tmsize_t) { return 0; }
toff_t seekStream(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<MemoryStream*>(h);
  m->pos = whence == SEEK_SET ? off : whence == SEEK_CUR ? m->pos + off : m->data->size() + off;
  return m->pos;
}
int closeStream(thandle_t) { return 0; }
toff_t sizeStream(thandle_t h) { return static_cast<MemoryStream*>(h)->data->size(); }

// Every strip with TIFFReadEncodedStrip into one RGB buffer, as the
// library's decode fills its picture.
void libtiffDecode(const Bytes& f) {
  MemoryStream m{&f};
  TIFF* t = TIFFClientOpen("bench", "rm", &m, readStream, writeStream, seekStream, closeStream,
                           sizeStream, nullptr, nullptr);
  uint32_t width = 0, height = 0, rowsPerStrip = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  const size_t row = size_t(width) * 3;
  Bytes out(row * height);
  for (tstrip_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
    const size_t y = size_t(s) * rowsPerStrip;
    const size_t n = std::min<size_t>(rowsPerStrip, height - y) * row;
    if (TIFFReadEncodedStrip(t, s, &out[y * row], tmsize_t(n)) < 0) std::abort();
  }
  TIFFClose(t);
  benchmark::DoNotOptimize(out.data());
}

void BM_Libtiff(benchmark::State& state) { run(state, int(state.range(0)), 3, libtiffDecode); }

struct GifReader {
  const Bytes* data;
  size_t pos = 0;
};

int readGif(GifFileType* g, GifByteType* buf, int n) {
  auto* r = static_cast<GifReader*>(g->UserData);
  const size_t take = std::min(size_t(n), r->data->size() - r->pos);
  std::memcpy(buf, r->data->data() + r->pos, take);
  r->pos += take;
  return int(take);
}

void giflibDecode(const Bytes& f) {
  GifReader r{&f};
  int error = 0;
  GifFileType* g = DGifOpen(&r, readGif, &error);
  if (g == nullptr || DGifSlurp(g) != GIF_OK) std::abort();
  const SavedImage& im = g->SavedImages[0];
  const ColorMapObject* map = im.ImageDesc.ColorMap ? im.ImageDesc.ColorMap : g->SColorMap;
  const size_t n = size_t(im.ImageDesc.Width) * im.ImageDesc.Height;
  Bytes out(n * 4);
  for (size_t i = 0; i < n; ++i) {
    const GifColorType& c = map->Colors[im.RasterBits[i]];
    out[4 * i] = c.Red;
    out[4 * i + 1] = c.Green;
    out[4 * i + 2] = c.Blue;
    out[4 * i + 3] = 255;
  }
  DGifCloseFile(g, &error);
  benchmark::DoNotOptimize(out.data());
}

// The strip variants: range(0) compression (0 LZW, 1 Deflate), range(1)
// predictor (1 none, 2 horizontal), range(2) megapixels (1 or 12), range(3)
// rows per strip. Files are made once per variant.
const Bytes& stripFile(const benchmark::State& state) {
  static std::map<std::array<int64_t, 4>, Bytes> files;
  const std::array<int64_t, 4> key = {state.range(0), state.range(1), state.range(2), state.range(3)};
  auto it = files.find(key);
  if (it == files.end()) {
    const bool big = key[2] == 12;
    Bytes f = tiffFile(key[0] == 0 ? COMPRESSION_LZW : COMPRESSION_ADOBE_DEFLATE, uint16_t(key[1]),
                       big ? kTiffWidth : 1000, big ? kTiffHeight : 1000, int(key[3]));
    it = files.emplace(key, std::move(f)).first;
  }
  return it->second;
}

template <void (*Decode)(const Bytes&)>
void stripBench(benchmark::State& state) {
  const Bytes& f = stripFile(state);
  for (auto _ : state) Decode(f);
  const int64_t pixels = state.range(2) == 12 ? int64_t(kTiffWidth) * kTiffHeight : 1000 * 1000;
  state.SetBytesProcessed(int64_t(state.iterations()) * pixels * 3);
  state.SetLabel(std::string(state.range(0) == 0 ? "lzw" : "deflate") +
                 (state.range(1) == 2 ? " pred2 " : " none ") + std::to_string(state.range(2)) + "MP " +
                 std::to_string(state.range(3)) + " rows");
}

void keldraStrips(benchmark::State& state) {
  kd_exif_init();
  stripBench<keldraDecode>(state);
}

// Each variant registered for the library and libtiff one after the other,
// so the two run under the same load.
const bool kStripsRegistered = [] {
  for (int zip : {0, 1}) {
    for (int pred : {1, 2}) {
      for (int mp : {1, 12}) {
        for (int rows : {8, 80, 256}) {
          for (auto* b : {benchmark::RegisterBenchmark("BM_KeldraStrips", keldraStrips),
                          benchmark::RegisterBenchmark("BM_LibtiffStrips", stripBench<libtiffDecode>)}) {
            b->ArgNames({"zip", "pred", "MP", "rows"})->Args({zip, pred, mp, rows});
            b->Unit(benchmark::kMillisecond);
          }
        }
      }
    }
  }
  return true;
}();

void BM_Giflib(benchmark::State& state) { run(state, 2, 4, giflibDecode); }

void stbDecode(const Bytes& f) {
  int w = 0, h = 0, n = 0;
  stbi_uc* px = stbi_load_from_memory(f.data(), int(f.size()), &w, &h, &n, 4);
  if (px == nullptr) std::abort();
  benchmark::DoNotOptimize(px);
  stbi_image_free(px);
}

void BM_StbImage(benchmark::State& state) { run(state, 2, 4, stbDecode); }

}  // namespace

BENCHMARK(BM_Keldra)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libtiff)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Giflib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StbImage)->Unit(benchmark::kMillisecond);
