// Shading eight pixels at a time with AVX2: the groups of shade_lanes.h in the lanes of
// lanes_avx2.h, for processors with AVX2. Only the code below the includes is compiled for AVX2
// (scene/wide_code.h), and it is only called after a run-time check.
#define MORVANE_WIDE_AVX512 0
#include "raster/lanes_avx2.h"
#include "raster/shade_lanes.h"

MORVANE_LANES_BEGIN

namespace morvane {

void shade_span_avx2(const SpanRequest& request, DepthRule rule) { shade_span_in_lanes<Avx2Lanes>(request, rule); }

void shade_span_pair_avx2(const SpanRequest& first, const SpanRequest& second, DepthRule rule)
{
    shade_span_pair_in_lanes<Avx2Lanes>(first, second, rule);
}

} // namespace morvane

MORVANE_LANES_END
