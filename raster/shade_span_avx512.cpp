// Shading eight pixels at a time, the AVX2 code compiled for AVX-512 (F, VL, BW, DQ): still 256-bit
// vectors and the same instructions, but 32 vector registers instead of 16. Two rows shaded side
// by side keep their values in registers instead of spilling them to the stack, which makes a
// worker's pass 10-15 % faster on a frame where the slab is near. Only called after a run-time
// check (scene/wide_code.h).
#define MORVANE_WIDE_AVX512 1
#include "raster/shade_lanes.h"
