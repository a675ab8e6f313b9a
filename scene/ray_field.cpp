// The ray field: two anchors on the picture and 1600 pseudo-random end points in four
// clusters, in front of the slab and behind it, and the table of rays joining them.
#include "scene/scene.h"

namespace morvane {

int32_t next_random_in_range(int32_t low, int32_t high)
{
    // Add 0x9248 and rotate right by 3 within 16 bits: a permutation of the 65536 states.
    uint16_t s = static_cast<uint16_t>(scene.random_state + 0x9248u);
    s = static_cast<uint16_t>(s >> 3 | s << 13);
    scene.random_state = s;
    // The high half of span x s lies in 0..span - 1; the 16-bit sum with low is read as a
    // signed 16-bit value, which is what makes negative ranges work.
    const uint16_t span = static_cast<uint16_t>(high - low);
    const uint16_t t = static_cast<uint16_t>((uint32_t{span} * s) >> 16);
    return static_cast<int16_t>(static_cast<uint16_t>(t + low));
}

namespace {

// One cluster of end points: entries first..last of ray_points and the (low, high) of the
// three draws that make each of them.
struct EndPointRun {
    int first, last;
    int32_t x_low, x_high, y_low, y_high, z_low, z_high;
};

// Clusters near the right edge (x 180..255) and the left edge (x 1..84) of the picture, in
// front of the slab (z 0..52) for anchor 0 and behind it for anchor 1. The ranges are not
// symmetric (250 against 246, -70 against -73), and that is the field.
constexpr EndPointRun end_point_runs[] = {
    {2, 399, 180, 256, 250, 420, 0, 53},
    {400, 799, 1, 85, 246, 420, 0, 53},
    {800, 1199, 180, 256, 250, 420, -70, -20},
    {1200, 1601, 1, 85, 246, 420, -73, -20},
};

} // namespace

void build_ray_field()
{
    scene.ray_points[0] = scene.ray_anchors[0];
    scene.ray_points[1] = scene.ray_anchors[1];
    for (const EndPointRun& run : end_point_runs) {
        for (int i = run.first; i <= run.last; ++i) {
            Vec3& p = scene.ray_points[i];
            p.x = static_cast<float>(next_random_in_range(run.x_low, run.x_high));
            p.y = static_cast<float>(next_random_in_range(run.y_low, run.y_high));
            p.z = static_cast<float>(next_random_in_range(run.z_low, run.z_high));
        }
    }
    // Rays 0..797 join anchor 0 with end points 2..799, rays 798..1597 anchor 1 with end
    // points 800..1599. Rays 1598 and 1599 keep (0, 0): one pixel at anchor 0.
    for (int k = 0; k < 1598; ++k) {
        scene.ray_lines[k] = {static_cast<uint16_t>(k < 798 ? 0 : 1), static_cast<uint16_t>(k + 2)};
    }
}

} // namespace morvane
