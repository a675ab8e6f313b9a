// Steep rays eight at a time with AVX2: the lockstep walk of ray_lanes.h, for processors with
// AVX2. This file is compiled with -mavx2 and only called after a run-time check.
#include "rays/ray_lanes.h"

namespace morvane {

void draw_steep_rays_avx2(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                          const float* depth_buffer, int32_t frame_width)
{
    draw_steep_rays_in_lanes(rays, order, count, colour_buffer, depth_buffer, frame_width);
}

} // namespace morvane
