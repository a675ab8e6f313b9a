// Code for the wide instruction sets, AVX2 and AVX-512 (F, VL, BW, DQ), in files the program calls
// only after asking the processor (scene/processor.h). Such a file says which set it is for before
// its first #include (`#define MORVANE_WIDE_AVX512 0` for AVX2, 1 for AVX-512), names its entry
// points MORVANE_WIDE_NAME(name) (name_avx2, name_avx512) and encloses its own code, after every
// #include, in MORVANE_WIDE_CODE_BEGIN and MORVANE_WIDE_CODE_END; the file itself is compiled
// with the plain options. Were the whole file compiled for the wide set, an inline function of a
// shared header, a template instance or a library helper could come out of it as a weak
// definition with wide instructions, which the linker may pick for the plain code too: an illegal
// instruction on a processor without the set. The build checks that these files define no weak
// symbol (cmake/check_wide_objects.cmake).
#pragma once

#if !defined(MORVANE_WIDE_AVX512)
#error "define MORVANE_WIDE_AVX512 (0 for AVX2, 1 for AVX-512) before including scene/wide_code.h"
#endif

#if MORVANE_WIDE_AVX512
#define MORVANE_WIDE_TARGET "avx2,avx512f,avx512vl,avx512bw,avx512dq"
#define MORVANE_WIDE_NAME(name) name##_avx512
#else
#define MORVANE_WIDE_TARGET "avx2"
#define MORVANE_WIDE_NAME(name) name##_avx2
#endif

#define MORVANE_WIDE_PRAGMA(text) _Pragma(#text)
#define MORVANE_WIDE_PRAGMA_TARGET(isa) MORVANE_WIDE_PRAGMA(GCC target(isa))
#define MORVANE_WIDE_PRAGMA_ATTRIBUTE(isa) \
    MORVANE_WIDE_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))

#if defined(__clang__)
#define MORVANE_WIDE_CODE_BEGIN MORVANE_WIDE_PRAGMA_ATTRIBUTE(MORVANE_WIDE_TARGET)
#define MORVANE_WIDE_CODE_END MORVANE_WIDE_PRAGMA(clang attribute pop)
#else
#define MORVANE_WIDE_CODE_BEGIN MORVANE_WIDE_PRAGMA(GCC push_options) MORVANE_WIDE_PRAGMA_TARGET(MORVANE_WIDE_TARGET)
#define MORVANE_WIDE_CODE_END MORVANE_WIDE_PRAGMA(GCC pop_options)
#endif
