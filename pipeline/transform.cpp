// The per-frame point transforms: the spin about the vertical axis, then the zoom and the move
// of the origin to the frame's centre. Both work on packed Vec3 arrays.
#include "pipeline/pipeline.h"

namespace morvane {

void rotate_points(const Vec3* source, Vec3* destination, int count)
{
    // The matrix rows are (S, 0, C), (0, 1, 0), (C, 0, -S): a turn about y and a mirror in
    // depth, which together show the picture unmirrored on both large faces. Each product is
    // rounded before the sum (the build forbids contraction into fused multiply-adds).
    const float c = scene.rotation_table[0];
    const float s = scene.rotation_table[1];
    const float minus_s = scene.rotation_table[3];
    for (int i = 0; i < count; ++i) {
        const Vec3 p = source[i];
        destination[i] = {s * p.x + c * p.z, p.y, c * p.x + minus_s * p.z};
    }
}

void scale_and_offset_points(Vec3* points, int count, const uint16_t centre[4], float scale)
{
    const float cx = centre[0];
    const float cy = centre[1];
    // Nothing moves the depth, but the + 0 is kept: it turns a depth of -0 into +0.
    constexpr float no_depth_offset = 0.0f;
    for (int i = 0; i < count; ++i) {
        Vec3& p = points[i];
        p = {p.x * scale + cx, p.y * scale + cy, p.z * scale + no_depth_offset};
    }
}

} // namespace morvane
