// Heap accounting for the benchmarks that report peak memory: every malloc
// of the process passes here (the library's and the peers' alike), so
// exactly one source file of a program includes this header. measure()
// runs a benchmark loop and reports `px` (pixels per second) and `peakMB`
// (the most heap one iteration held at once beyond what it started with).
#pragma once

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {
std::atomic<int64_t> heapNow{0};
std::atomic<int64_t> heapPeak{0};

void noteAlloc(void* p) {
  if (p == nullptr) return;
  const int64_t now = heapNow += static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = heapPeak.load(std::memory_order_relaxed);
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
}
void noteFree(void* p) {
  if (p != nullptr) heapNow -= static_cast<int64_t>(malloc_usable_size(p));
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  noteAlloc(p);
  return p;
}
void* calloc(size_t n, size_t m) {
  void* p = __libc_calloc(n, m);
  noteAlloc(p);
  return p;
}
void* realloc(void* old, size_t n) {
  noteFree(old);
  void* p = __libc_realloc(old, n);
  noteAlloc(p != nullptr ? p : (n == 0 ? nullptr : old));
  return p;
}
void free(void* p) {
  noteFree(p);
  __libc_free(p);
}
void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  noteAlloc(p);
  return p;
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
  *out = memalign(align, n);
  return *out == nullptr ? 12 : 0;
}
}

namespace bench {

// Runs the benchmark loop and reports the heap peak of one iteration.
template <class Body>
void measure(benchmark::State& state, int64_t pixels, Body body) {
  int64_t peak = 0;
  for (auto _ : state) {
    const int64_t base = heapNow.load();
    heapPeak.store(base);
    body();
    peak = std::max(peak, heapPeak.load() - base);
  }
  state.counters["px"] = benchmark::Counter(static_cast<double>(pixels),
                                            benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peakMB"] = static_cast<double>(peak) / (1 << 20);
}

}  // namespace bench
