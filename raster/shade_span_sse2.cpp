// Shading four pixels at a time with SSE2, which every x86-64 processor has: the groups of
// shade_lanes.h in the lanes of lanes_sse2.h, in plain code.
#include "scene/processor.h"

#if MORVANE_X86

#include "raster/lanes_sse2.h"
#include "raster/shade_lanes.h"

namespace morvane {

void shade_span_sse2(const SpanRequest& request, DepthRule rule) { shade_span_in_lanes<Sse2Lanes>(request, rule); }

void shade_span_pair_sse2(const SpanRequest& first, const SpanRequest& second, DepthRule rule)
{
    shade_span_pair_in_lanes<Sse2Lanes>(first, second, rule);
}

} // namespace morvane

#endif // MORVANE_X86
