// Shading four pixels at a time with NEON, which every ARM64 processor has, in plain code.
#include "scene/processor.h"

#if MORVANE_NEON
#include "raster/shade_lanes.h"
#endif
