// Steep rays eight at a time with AVX2 (scene/wide_code.h), only called after a run-time check.
#define MORVANE_WIDE_AVX512 0
#include "rays/ray_lanes.h"
