#include "base/cpu.h"

namespace kd::base {

#if KD_X86_SIMD

bool cpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

bool cpuHasPopcnt() {
  static const bool has = __builtin_cpu_supports("popcnt");
  return has;
}

bool cpuHasAvx512() {
  static const bool has = __builtin_cpu_supports("avx512f");
  return has;
}

#else

bool cpuHasAvx2() { return false; }
bool cpuHasPopcnt() { return false; }
bool cpuHasAvx512() { return false; }

#endif

}  // namespace kd::base
