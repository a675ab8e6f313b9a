// Shading four pixels at a time with SSE2, which every x86-64 processor has, in plain code.
#include "scene/processor.h"

#if MORVANE_X86
#include "raster/shade_lanes.h"
#endif
