// The one switch for x86 vector code and the one probe of what the
// processor runs.
//
// KD_X86_SIMD is 1 when x86 intrinsics may be compiled: an x86 target, and
// the build has not turned the vector paths off (KELDRA_SIMD=OFF defines
// KELDRA_NO_SIMD). KD_SSE2 adds the compiler's own promise of SSE2 (always
// there on x86-64). Code under KD_X86_SIMD that needs more than the target
// guarantees (AVX2) is compiled per function with [[gnu::target]] and chosen
// at run time through the probes below; every such path computes the same
// bytes as the plain one beside it, so which one runs never shows.
#pragma once

#if !defined(KELDRA_NO_SIMD) && (defined(__x86_64__) || defined(__i386__))
#define KD_X86_SIMD 1
#else
#define KD_X86_SIMD 0
#endif

#if KD_X86_SIMD && defined(__SSE2__)
#define KD_SSE2 1
#else
#define KD_SSE2 0
#endif

namespace kd::base {

// Whether the processor runs AVX2 code; false when the vector paths are
// compiled out. Asked of the processor once.
bool cpuHasAvx2();

// Whether the processor has the POPCNT instruction; false likewise.
bool cpuHasPopcnt();

// Whether the processor runs AVX-512 foundation code; false likewise.
bool cpuHasAvx512();

}  // namespace kd::base
