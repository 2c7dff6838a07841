#include "base/memory.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kd::base {

void adviseHugePages([[maybe_unused]] const void* data, [[maybe_unused]] size_t len) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr size_t kThreshold = size_t{8} << 20;
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  if (len < kThreshold) return;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (begin + len) & ~(kHugePage - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace kd::base
