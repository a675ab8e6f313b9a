// Shading eight pixels at a time, the groups of shade_lanes.h in the lanes of lanes_avx2.h
// compiled for AVX-512 (F, VL, BW, DQ): still 256-bit vectors and the same instructions, but 32
// vector registers instead of 16. Two rows shaded side by side keep their values in registers
// instead of spilling them to the stack, which makes a worker's pass 10-15 % faster on a frame
// where the slab is near. Only the code below the includes is compiled for AVX-512
// (scene/wide_code.h), and it is only called after a run-time check.
#define MORVANE_WIDE_AVX512 1
#include "raster/lanes_avx2.h"
#include "raster/shade_lanes.h"

MORVANE_LANES_BEGIN

namespace morvane {

void shade_span_avx512(const SpanRequest& request, DepthRule rule) { shade_span_in_lanes<Avx2Lanes>(request, rule); }

void shade_span_pair_avx512(const SpanRequest& first, const SpanRequest& second, DepthRule rule)
{
    shade_span_pair_in_lanes<Avx2Lanes>(first, second, rule);
}

} // namespace morvane

MORVANE_LANES_END
