// Inflate throughput (MB/s of output) beside zlib and libdeflate on the same
// zlib streams: the IDAT stream of a photographic PNG, the IDAT stream of a
// large flat-colour PNG from the shared files, and 8 MB of C++ header text
// compressed by zlib at level 6.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <filesystem>

#define STB_IMAGE_IMPLEMENTATION
#include "png_support.h"

#include "compress/inflate.h"
#include "compress/zlib.h"

namespace {

using bench::Bytes;

struct Stream {
  Bytes zlib;
  size_t rawSize = 0;
};

Stream fromRaw(const Bytes& raw) {
  Stream s;
  s.rawSize = raw.size();
  s.zlib.resize(compressBound(raw.size()));
  uLongf len = s.zlib.size();
  compress2(s.zlib.data(), &len, raw.data(), raw.size(), 6);
  s.zlib.resize(len);
  return s;
}

Stream fromZlib(Bytes z) {
  Stream s;
  s.zlib = std::move(z);
  s.rawSize = kd::compress::zlibInflate(s.zlib, SIZE_MAX / 2).size();
  return s;
}

const Stream& stream(int which) {
  static Stream streams[3] = {
      fromZlib(bench::idatStream(bench::photoPng(3))),
      fromZlib(bench::idatStream(
          bench::readFile(bench::dataPath("metadata/png/pil_itxt_chunks.png")))),
      [] {
        Bytes text;
        for (const auto& e : std::filesystem::recursive_directory_iterator("/usr/include/c++")) {
          if (!e.is_regular_file()) continue;
          Bytes f = bench::readFile(e.path().string());
          text.insert(text.end(), f.begin(), f.end());
          if (text.size() >= (8u << 20)) break;
        }
        text.resize(std::min<size_t>(text.size(), 8u << 20));
        return fromRaw(text);
      }()};
  return streams[which];
}

const char* kNames[] = {"photo_idat", "flat_idat", "text"};

void finish(benchmark::State& state, const Stream& s) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.rawSize));
  state.counters["ratio"] = double(s.rawSize) / double(s.zlib.size());
}

void BM_Keldra(benchmark::State& state) {
  const Stream& s = stream(int(state.range(0)));
  state.SetLabel(kNames[state.range(0)]);
  for (auto _ : state) {
    Bytes out = kd::compress::zlibInflate(s.zlib, s.rawSize, true);
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, s);
}

// The same decode into a buffer reused from call to call, as the peers below
// do (and as the TIFF decoder does for its strips).
void BM_KeldraReused(benchmark::State& state) {
  const Stream& s = stream(int(state.range(0)));
  state.SetLabel(kNames[state.range(0)]);
  Bytes out;
  for (auto _ : state) {
    const size_t n = kd::compress::zlibInflateInto(s.zlib, s.rawSize, out);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, s);
}

void BM_Zlib(benchmark::State& state) {
  const Stream& s = stream(int(state.range(0)));
  state.SetLabel(kNames[state.range(0)]);
  Bytes out(s.rawSize);
  for (auto _ : state) {
    uLongf len = out.size();
    if (uncompress(out.data(), &len, s.zlib.data(), s.zlib.size()) != Z_OK) state.SkipWithError("zlib");
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, s);
}

void BM_Libdeflate(benchmark::State& state) {
  const Stream& s = stream(int(state.range(0)));
  state.SetLabel(kNames[state.range(0)]);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  Bytes out(s.rawSize);
  for (auto _ : state) {
    size_t got = 0;
    if (libdeflate_zlib_decompress(d, s.zlib.data(), s.zlib.size(), out.data(), out.size(), &got) !=
        LIBDEFLATE_SUCCESS) {
      state.SkipWithError("libdeflate");
    }
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_decompressor(d);
  finish(state, s);
}

BENCHMARK(BM_Keldra)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeldraReused)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Zlib)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libdeflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
