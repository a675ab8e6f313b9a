// (stub until the frame driver lands)
#include "pipeline/pipeline.h"
namespace morvane {
void rotate_points(const Vec3*, Vec3*, int) {}
void scale_and_offset_points(Vec3*, int, const uint16_t*, float) {}
} // namespace morvane
