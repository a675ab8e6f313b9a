// Shading eight pixels at a time with AVX2: the groups of shade_lanes.h, for processors with
// AVX2. This file is compiled with -mavx2 and only called after a run-time check.
#include "raster/shade_lanes.h"

namespace morvane {

void shade_span_avx2(const SpanRequest& request, DepthRule rule) { shade_span_in_lanes(request, rule); }

void shade_span_pair_avx2(const SpanRequest& first, const SpanRequest& second, DepthRule rule)
{
    shade_span_pair_in_lanes(first, second, rule);
}

} // namespace morvane
