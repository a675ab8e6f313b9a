// Shading eight pixels at a time with AVX2 (scene/wide_code.h), only called after a run-time check.
#define MORVANE_WIDE_AVX512 0
#include "raster/shade_lanes.h"
