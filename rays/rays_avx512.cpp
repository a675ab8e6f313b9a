// Steep rays eight at a time with AVX-512 (F, VL, BW, DQ; scene/wide_code.h): the lane sets live
// in mask registers, which saves the masking operations of the AVX2 form. Only called after a
// run-time check.
#define MORVANE_WIDE_AVX512 1
#include "rays/ray_lanes.h"
