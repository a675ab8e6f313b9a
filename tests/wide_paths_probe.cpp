// Names the shading and ray paths this processor takes, as the stages themselves choose them,
// one line each ("shading AVX2", "rays SSE2"). tests/older_processors.sh runs it on emulated
// processors to see that each takes the path it is there for.
#include <cstdio>

#include "raster/shade_paths.h"
#include "rays/ray_paths.h"

int main()
{
    using namespace morvane;
    const char* const narrow = MORVANE_X86 ? "SSE2" : "scalar";
    const char* shading = narrow;
    if (avx512_shading_available()) {
        shading = "AVX-512";
    } else if (avx2_shading_available()) {
        shading = "AVX2";
    }
    const char* rays = narrow;
#if MORVANE_HAVE_AVX2_PATH
    if (avx2_rays_available()) rays = widest_wide_isa() == WideIsa::avx512 ? "AVX-512" : "AVX2";
#endif
    std::printf("shading %s\nrays %s\n", shading, rays);
    return 0;
}
