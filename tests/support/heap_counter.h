// Heap bytes held through operator new, with a high-water mark, for tests and
// benchmarks that bound what one call allocates. The header replaces the
// global operator new and delete, so exactly one source file of a program
// includes it. Blocks are counted by their usable size.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace kd::test {

class HeapCounter {
 public:
  // Bytes held right now.
  static int64_t live() { return live_.load(); }
  // Starts a new high-water mark at what is held now.
  static void resetPeak() { peak_ = live_.load(); }
  static int64_t peak() { return peak_.load(); }

  static void noteAllocated(void* p) {
    const auto size = static_cast<int64_t>(malloc_usable_size(p));
    const int64_t now = live_.fetch_add(size) + size;
    int64_t high = peak_.load(std::memory_order_relaxed);
    while (now > high && !peak_.compare_exchange_weak(high, now)) {
    }
  }
  static void noteReleased(void* p) { live_.fetch_sub(static_cast<int64_t>(malloc_usable_size(p))); }

 private:
  static inline std::atomic<int64_t> live_{0};
  static inline std::atomic<int64_t> peak_{0};
};

}  // namespace kd::test

void* operator new(size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  kd::test::HeapCounter::noteAllocated(p);
  return p;
}
// This operator new takes its memory from malloc, so free is the match.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  kd::test::HeapCounter::noteReleased(p);
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
// Every other form goes through the two above, so the sanitizers see one
// allocator and one release for each block.
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }
