// (stub until the ray overlay lands)
#include "rays/rays.h"
namespace morvane {
void draw_rays() {}
void draw_ray_line(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target)
{
    draw_ray_line_scalar(anchor, far_end, target);
}
void draw_ray_line_scalar(const RayEnd&, const RayEnd&, const RayTarget&) {}
} // namespace morvane
