// Shading four pixels at a time with NEON, which every ARM64 processor has: the groups of
// shade_lanes.h in the lanes of lanes_neon.h.
#include "scene/processor.h"

#if MORVANE_NEON

#include "raster/lanes_neon.h"
#include "raster/shade_lanes.h"

namespace morvane {

void shade_span_neon(const SpanRequest& request, DepthRule rule) { shade_span_in_lanes<NeonLanes>(request, rule); }

void shade_span_pair_neon(const SpanRequest& first, const SpanRequest& second, DepthRule rule)
{
    shade_span_pair_in_lanes<NeonLanes>(first, second, rule);
}

} // namespace morvane

#endif // MORVANE_NEON
