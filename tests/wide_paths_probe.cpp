// Names the shading and ray paths this processor takes, as the stages themselves name them, one
// line each ("shading AVX2", "rays SSE2"). tests/older_processors.sh runs it on emulated
// processors to see that each takes the path it is there for.
#include <cstdio>

#include "raster/shade_paths.h"
#include "rays/ray_paths.h"

int main()
{
    using namespace morvane;
    const RayTarget frame{nullptr, nullptr, 640, 480};
    std::printf("shading %s\nrays %s\n", shade_path(SceneBlock::CodePath::fastest).name,
                ray_path(SceneBlock::CodePath::fastest, frame).name);
    return 0;
}
