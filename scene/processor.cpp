// What the processor offers, for the stages that pick a path at run time.
#include "scene/processor.h"

namespace morvane {

#if MORVANE_X86 && (defined(__GNUC__) || defined(__clang__))
bool processor_has_avx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

bool processor_has_avx512()
{
    static const bool avx512 = processor_has_avx2() && __builtin_cpu_supports("avx512f") &&
                               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                               __builtin_cpu_supports("avx512dq");
    return avx512;
}
#else
// Builds without the wide paths never ask.
bool processor_has_avx2() { return false; }
bool processor_has_avx512() { return false; }
#endif

int processor_wide_sets()
{
#if MORVANE_HAVE_AVX2_PATH
    return processor_has_avx512() ? 2 : (processor_has_avx2() ? 1 : 0);
#else
    return 0;
#endif
}

} // namespace morvane
