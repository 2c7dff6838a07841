// Reading the EXIF of camera JPEGs held in memory into a queryable object
// plus a text rendering of every tag: keldra (handle + JSON document) beside
// libexif (ExifData + exif_entry_get_value per entry) and exiv2 (Image +
// readMetadata + print() per EXIF, IPTC and XMP datum), maker notes included
// on all sides. Two inputs: the camera files of the test data, and one
// 12-megapixel photo carrying a Canon EXIF block with its maker note, an XMP
// packet and IPTC (the "Photo" rows). Counters report files per second and
// the process's peak resident size (the peers run after keldra, so keldra's
// figure is its own).
#include <benchmark/benchmark.h>
#include <libexif/exif-data.h>
#include <sys/resource.h>

#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_data.h"
#include "keldra/keldra.h"

namespace {

std::vector<std::vector<uint8_t>> loadCameraJpegs() {
  std::vector<std::vector<uint8_t>> files;
  for (const char* folder :
       {"metadata/jpeg-exif", "metadata/gps", "metadata/orientation", "metadata/makernote-apple",
        "metadata/makernote-canon", "metadata/makernote-casio", "metadata/makernote-fujifilm",
        "metadata/makernote-minolta", "metadata/makernote-nikon", "metadata/makernote-olympus",
        "metadata/makernote-panasonic", "metadata/makernote-pentax", "metadata/makernote-sigma"}) {
    for (const std::string& p : bench::dataFolder(folder)) {
      std::ifstream in(p, std::ios::binary);
      files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  return files;
}

using Files = std::vector<std::vector<uint8_t>>;

const Files& cameraFiles() {
  static const auto* f = new Files(loadCameraJpegs());
  return *f;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The APPn segments of a JPEG file (after SOI, up to the first other marker)
// for which `keep(marker)` holds.
template <class Keep>
void appendAppSegments(std::vector<uint8_t>& out, const std::vector<uint8_t>& jpeg, Keep keep) {
  size_t p = 2;
  while (p + 4 <= jpeg.size() && jpeg[p] == 0xFF && jpeg[p + 1] >= 0xE0 && jpeg[p + 1] <= 0xEF) {
    const size_t end = p + 2 + static_cast<size_t>(jpeg[p + 2] << 8 | jpeg[p + 3]);
    if (end > jpeg.size()) break;
    if (keep(jpeg[p + 1])) out.insert(out.end(), jpeg.begin() + p, jpeg.begin() + end);
    p = end;
  }
}

// SOI, the Canon 40D's APP segments (JFIF, EXIF with its maker note), the
// XMP APP1 and IPTC APP13 of another file, then a 4000x3000 picture.
std::vector<uint8_t> makePhoto() {
  const int w = 4000, h = 3000;
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
  uint32_t seed = 12345;
  for (size_t i = 0; i < px.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    const size_t pixel = i / 3, x = pixel % w, y = pixel / w;
    px[i] = static_cast<uint8_t>((x * (i % 3 + 1) + y * 2) / 16 + (seed >> 28));
  }
  KdImage* img = nullptr;
  uint8_t* enc = nullptr;
  size_t encLen = 0;
  if (kd_image_from_pixels(w, h, 1, px.data(), px.size(), &img) != 0 ||
      kd_image_encode(img, KD_FORMAT_JPEG, 90, &enc, &encLen) != 0) {
    std::fprintf(stderr, "cannot encode the benchmark photo\n");
    std::exit(1);
  }
  kd_image_free(img);
  std::vector<uint8_t> out = {0xFF, 0xD8};
  appendAppSegments(out, readFile(bench::dataPath("metadata/jpeg-exif/ianare_Canon_40D.jpg")),
                    [](uint8_t) { return true; });
  appendAppSegments(out, readFile(bench::dataPath("metadata/xmp/ianare_BlueSquare.jpg")),
                    [](uint8_t m) { return m == 0xE1 || m == 0xED; });
  out.insert(out.end(), enc + 2, enc + encLen);
  kd_image_buffer_free(enc);
  return out;
}

const Files& photoFiles() {
  static const auto* f = new Files{makePhoto()};
  return *f;
}

void finish(benchmark::State& state, const Files& files, size_t bytes) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files.size()));
  state.counters["text_bytes_per_pass"] = static_cast<double>(bytes);
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_kb"] = static_cast<double>(usage.ru_maxrss);
}

void BM_KeldraReadJson(benchmark::State& state, const Files& (*files)()) {
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const auto& f : files()) {
      KdExif* h = nullptr;
      kd_exif_read_buffer(f.data(), f.size(), &h);
      const char* json = kd_exif_to_json(h);
      bytes += std::char_traits<char>::length(json);
      benchmark::DoNotOptimize(json);
      kd_exif_meta_free(h);
    }
  }
  finish(state, files(), bytes);
}

void appendLibexifEntry(ExifEntry* e, void* user) {
  auto* out = static_cast<std::string*>(user);
  char buf[1024];
  const char* name = exif_tag_get_name_in_ifd(e->tag, exif_entry_get_ifd(e));
  *out += name != nullptr ? name : "?";
  *out += ": ";
  *out += exif_entry_get_value(e, buf, sizeof buf);
  *out += '\n';
}

void appendLibexifContent(ExifContent* c, void* user) {
  exif_content_foreach_entry(c, appendLibexifEntry, user);
}

void BM_Libexif(benchmark::State& state, const Files& (*files)()) {
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const auto& f : files()) {
      ExifData* d = exif_data_new_from_data(f.data(), static_cast<unsigned>(f.size()));
      std::string text;
      if (d != nullptr) {
        exif_data_foreach_content(d, appendLibexifContent, &text);
        exif_data_unref(d);
      }
      bytes += text.size();
      benchmark::DoNotOptimize(text);
    }
  }
  finish(state, files(), bytes);
}

template <class Data>
void appendExiv2(std::string& text, const Data& data) {
  for (const auto& d : data) {
    text += d.key();
    text += ": ";
    text += d.print();
    text += '\n';
  }
}

void BM_Exiv2(benchmark::State& state, const Files& (*files)()) {
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const auto& f : files()) {
      std::string text;
      try {
        Exiv2::Image::AutoPtr img =
            Exiv2::ImageFactory::open(f.data(), static_cast<long>(f.size()));
        img->readMetadata();
        appendExiv2(text, img->exifData());
        appendExiv2(text, img->iptcData());
        appendExiv2(text, img->xmpData());
      } catch (const Exiv2::AnyError&) {
      }
      bytes += text.size();
      benchmark::DoNotOptimize(text);
    }
  }
  finish(state, files(), bytes);
}

BENCHMARK_CAPTURE(BM_KeldraReadJson, Camera, cameraFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Libexif, Camera, cameraFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Exiv2, Camera, cameraFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KeldraReadJson, Photo, photoFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Libexif, Photo, photoFiles)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Exiv2, Photo, photoFiles)->Unit(benchmark::kMicrosecond);

}  // namespace
