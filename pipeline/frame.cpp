// The frame driver: clear, spin, transform, zoom, two rasteriser workers, rays, in that
// order, once per presented frame; and the animation state's step without drawing.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "pipeline/pipeline.h"
#include "raster/raster.h"
#include "rays/rays.h"

namespace morvane {

namespace {

constexpr Pixel colour_clear = 0;
constexpr uint32_t depth_clear_bits = std::bit_cast<uint32_t>(depth_clear);

// The zoom breathing turns from growing to shrinking when a frame starts at this count and
// back when it starts at 0: 912 steps of 1.0017 are a factor of about 4.7.
constexpr uint16_t zoom_counter_top = 912;

using Clock = std::chrono::steady_clock;

int64_t nanoseconds_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

} // namespace

void clear_frame()
{
    const int64_t cells = int64_t{scene.frame_width} * scene.frame_height;
    const auto fill = fill_path(scene.code_path).fill;
    fill(scene.colour_buffer, cells, colour_clear);
    // The depth buffer is filled with the bit pattern of 60000.0: IEEE single precision on
    // every platform the renderer supports (scene.h asserts the pattern).
    // cppcheck-suppress invalidPointerCast
    fill(reinterpret_cast<uint32_t*>(scene.depth_buffer), cells, depth_clear_bits);
}

void build_rotation_table(int32_t frame_counter)
{
    // The angle in double precision: as a float the product would lose the low bits of the
    // angle once the count grows large.
    const double a = static_cast<double>(frame_counter) * static_cast<double>(scene.angle_step);
    const float c = static_cast<float>(std::cos(a));
    const float s = static_cast<float>(std::sin(a));
    scene.rotation_table[0] = c;
    scene.rotation_table[1] = s;
    scene.rotation_table[2] = -c;
    scene.rotation_table[3] = -s;
}

void advance_zoom()
{
    // The test comes before the step, so the counter reaches both ends and turns there.
    if (scene.zoom_counter == zoom_counter_top) scene.zoom_shrinking = 1;
    if (scene.zoom_counter == 0) scene.zoom_shrinking = 0;
    const bool growing = scene.zoom_shrinking == 0;
    scene.zoom_scale = scene.zoom_scale * (growing ? scene.zoom_grow_factor : scene.zoom_shrink_factor);
    scene.zoom_counter = static_cast<uint16_t>(scene.zoom_counter + (growing ? 1 : -1));
}

void transform_frame()
{
    build_rotation_table(scene.frame_counter);
    rotate_points(scene.model_vertices, scene.screen_vertices, scene.vertex_count);
    rotate_points(scene.vertex_normals, scene.view_normals, scene.vertex_count);
    rotate_points(scene.ray_points, scene.screen_ray_points, scene.ray_end_count + 2);
    advance_zoom();
    // Normals stay unit vectors in view space: only the points are scaled and moved.
    scale_and_offset_points(scene.screen_vertices, scene.vertex_count, scene.screen_centre, scene.zoom_scale);
    scale_and_offset_points(scene.screen_ray_points, scene.ray_end_count + 2, scene.screen_centre,
                            scene.zoom_scale);
}

void rasterise_frame(const PlatformServices& platform)
{
    // Thread creation orders the transforms before the workers' reads, and the join orders
    // the workers' writes before the rays.
    platform.run_worker_pair(raster_worker);
}

void render_frame(const PlatformServices& platform, FrameTimings* timings)
{
    // The clock is read only when the timings are wanted.
    const Clock::time_point start = timings != nullptr ? Clock::now() : Clock::time_point{};
    Clock::time_point last = start;
    const auto lap = [&](int64_t FrameTimings::*stage) {
        if (timings == nullptr) return;
        const Clock::time_point now = Clock::now();
        timings->*stage = nanoseconds_between(last, now);
        last = now;
    };
    clear_frame();
    lap(&FrameTimings::clear_ns);
    transform_frame();
    lap(&FrameTimings::transform_ns);
    rasterise_frame(platform);
    lap(&FrameTimings::raster_ns);
    draw_rays();
    lap(&FrameTimings::rays_ns);
    if (timings != nullptr) timings->total_ns = nanoseconds_between(start, last);
}

void advance_frame_counter()
{
    scene.frame_counter = static_cast<int32_t>(static_cast<uint32_t>(scene.frame_counter) + 1u);
}

void skip_frames(int64_t frames)
{
    // A drawn frame changes only the zoom state and, through the host, frame_counter; the
    // rotation table and the screen arrays are rebuilt from scratch by the next frame.
    for (int64_t i = 0; i < frames; ++i) {
        advance_zoom();
        advance_frame_counter();
    }
}

} // namespace morvane
