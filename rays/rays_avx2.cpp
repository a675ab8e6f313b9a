// Steep rays eight at a time with AVX2: the lockstep walk of ray_lanes.h, for processors with
// AVX2. Only the code below the includes is compiled for AVX2 (scene/wide_code.h), and it is
// only called after a run-time check.
#define MORVANE_WIDE_AVX512 0
#include "rays/ray_lanes.h"

MORVANE_WIDE_CODE_BEGIN

namespace morvane {

void draw_steep_rays_avx2(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                          const float* depth_buffer, int32_t frame_width)
{
    draw_steep_rays_in_lanes(rays, order, count, colour_buffer, depth_buffer, frame_width);
}

} // namespace morvane

MORVANE_WIDE_CODE_END
