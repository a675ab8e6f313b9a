// The instruction sets: which this build compiles for (MORVANE_X86: x86 with SSE2, whose
// intrinsics it then includes; MORVANE_NEON: ARM64) and which of the wider ones the processor runs, asked at run time.
#pragma once

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define MORVANE_X86 1
#include <emmintrin.h>
#else
#define MORVANE_X86 0
#endif

// MORVANE_NEON: 64-bit ARM, whose NEON every processor has, so its paths need no run-time test.
#if defined(__aarch64__) || defined(_M_ARM64)
#define MORVANE_NEON 1
#else
#define MORVANE_NEON 0
#endif

namespace morvane {

// Whether the processor runs the instruction sets the wide paths are compiled for: AVX2, and
// AVX-512 with its F, VL, BW and DQ parts (which implies AVX2). Asked of the processor once.
bool processor_has_avx2();
bool processor_has_avx512();

// The wide sets this build has paths for (MORVANE_HAVE_AVX2_PATH: AVX2 and AVX-512), and how many
// of them the processor runs: 0, 1 (AVX2) or 2. A stage lists its paths narrowest first, so the
// processor runs all but the last built - run of them.
#if MORVANE_HAVE_AVX2_PATH
constexpr int built_wide_sets = 2;
#else
constexpr int built_wide_sets = 0;
#endif
int processor_wide_sets();

} // namespace morvane
