// Reading the metadata of PNG, WebP, HEIF/AVIF and MP4/QuickTime files held in
// memory into a queryable object plus a text rendering of every value: keldra
// (handle + JSON document) beside exiv2 (Image + readMetadata + print of
// every EXIF, XMP and IPTC datum; exiv2 reports movie metadata as XMP). One
// benchmark per container and library, each pass over the container's
// sample files; items are files. "peak_heap_bytes" is the largest heap growth
// during one file's read, counted through operator new (both libraries
// allocate through it).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_data.h"
#include "keldra/keldra.h"
#include "support/heap_counter.h"

namespace {

using Files = std::vector<std::vector<uint8_t>>;

const Files& folder(int which) {
  static const char* kFolders[] = {"metadata/png", "metadata/webp", "metadata/heif",
                                   "metadata/movie"};
  static Files* cache[4] = {};
  if (cache[which] == nullptr) {
    cache[which] = new Files;
    for (const std::string& p : bench::dataFolder(kFolders[which])) {
      std::ifstream in(p, std::ios::binary);
      cache[which]->emplace_back(std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>());
    }
  }
  return *cache[which];
}

// Runs `read` on every file of the container; reports files/s, the text
// produced per pass and the peak heap growth of one read.
template <class Read>
void run(benchmark::State& state, Read read) {
  const Files& files = folder(static_cast<int>(state.range(0)));
  size_t bytes = 0;
  int64_t peak = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const auto& f : files) {
      kd::test::HeapCounter::resetPeak();
      const int64_t before = kd::test::HeapCounter::live();
      bytes += read(f);
      peak = std::max(peak, kd::test::HeapCounter::peak() - before);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files.size()));
  state.counters["text_bytes_per_pass"] = static_cast<double>(bytes);
  state.counters["peak_heap_bytes"] = static_cast<double>(peak);
}

void BM_Keldra(benchmark::State& state) {
  run(state, [](const std::vector<uint8_t>& f) {
    KdExif* h = nullptr;
    kd_exif_read_buffer(f.data(), f.size(), &h);
    const char* json = kd_exif_to_json(h);
    size_t n = std::char_traits<char>::length(json);
    benchmark::DoNotOptimize(json);
    kd_exif_meta_free(h);
    return n;
  });
}

template <class Data>
void appendAll(std::string& text, const Data& data) {
  for (const auto& d : data) {
    text += d.key();
    text += ": ";
    text += d.print();
    text += '\n';
  }
}

void BM_Exiv2(benchmark::State& state) {
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  Exiv2::enableBMFF();
  run(state, [](const std::vector<uint8_t>& f) {
    std::string text;
    try {
      Exiv2::Image::AutoPtr img = Exiv2::ImageFactory::open(f.data(), static_cast<long>(f.size()));
      img->readMetadata();
      appendAll(text, img->exifData());
      appendAll(text, img->xmpData());
      appendAll(text, img->iptcData());
    } catch (const Exiv2::AnyError&) {
    }
    benchmark::DoNotOptimize(text);
    return text.size();
  });
}

// 0 PNG, 1 WebP, 2 HEIF/AVIF, 3 MP4/QuickTime.
BENCHMARK(BM_Keldra)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Exiv2)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace
