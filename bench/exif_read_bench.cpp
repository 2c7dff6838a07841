// Reading the EXIF of camera JPEGs held in memory into a queryable object
// plus a text rendering of every tag: keldra (handle + JSON document) beside
// libexif (ExifData + exif_entry_get_value per entry) and exiv2 (Image +
// readMetadata + toString per datum), maker notes included on both sides.
// Counters report files per second and the process's peak resident size
// (the peers run after keldra, so keldra's figure is its own).
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

const std::vector<std::vector<uint8_t>>& files() {
  static const auto* f = new std::vector<std::vector<uint8_t>>(loadCameraJpegs());
  return *f;
}

void finish(benchmark::State& state, size_t bytes) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files().size()));
  state.counters["text_bytes_per_pass"] = static_cast<double>(bytes);
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_kb"] = static_cast<double>(usage.ru_maxrss);
}

void BM_KeldraReadJson(benchmark::State& state) {
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
  finish(state, bytes);
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

void BM_Libexif(benchmark::State& state) {
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
  finish(state, bytes);
}

void BM_Exiv2(benchmark::State& state) {
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
        for (const Exiv2::Exifdatum& d : img->exifData()) {
          text += d.key();
          text += ": ";
          text += d.print();
          text += '\n';
        }
      } catch (const Exiv2::AnyError&) {
      }
      bytes += text.size();
      benchmark::DoNotOptimize(text);
    }
  }
  finish(state, bytes);
}

BENCHMARK(BM_KeldraReadJson)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Libexif)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Exiv2)->Unit(benchmark::kMicrosecond);

}  // namespace
